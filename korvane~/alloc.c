/* The object's allocations, with a switch that makes them fail on purpose so
 * that every out-of-memory path can be exercised. */
#include <stdlib.h>

#include "korvane_private.h"

/* allocations left before failing; negative: never fail */
static long kv_allocsLeft = -1;

static int kv_allocMayProceed(void)
{
    if (kv_allocsLeft < 0) return 1;
    if (kv_allocsLeft == 0) return 0;
    kv_allocsLeft--;
    return 1;
}

void kv_setAllocFailure(long n)
{
    kv_allocsLeft = n;
}

/* never asks for 0 bytes, so NULL always means failure */
void *kv_malloc(size_t n)
{
    if (!kv_allocMayProceed()) return NULL;
    return malloc(n ? n : 1);
}

void *kv_calloc(size_t count, size_t size)
{
    if (!kv_allocMayProceed()) return NULL;
    if (count == 0 || size == 0) count = size = 1;
    return calloc(count, size);
}
