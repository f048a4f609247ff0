/* The engine's allocations, with a switch that makes them fail on purpose so
 * that every out-of-memory path can be exercised. */
#include <stdint.h>
#include <stdlib.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "kv_engine.h"

/* allocations left before failing; negative: never fail */
static long kve_allocsLeft = -1;

static int kve_allocMayProceed(void)
{
    if (kve_allocsLeft < 0) return 1;
    if (kve_allocsLeft == 0) return 0;
    kve_allocsLeft--;
    return 1;
}

void kve_setAllocFailure(long n)
{
    kve_allocsLeft = n;
}

/* never asks for 0 bytes, so NULL always means failure */
void *kve_malloc(size_t n)
{
    if (!kve_allocMayProceed()) return NULL;
    return malloc(n ? n : 1);
}

void *kve_calloc(size_t count, size_t size)
{
    if (!kve_allocMayProceed()) return NULL;
    if (count == 0 || size == 0) count = size = 1;
    return calloc(count, size);
}

/* a first touch of a page costs a fault; 2 MB pages cut a large buffer's
 * faults 512-fold where the system gives them on request */
void kve_adviseLarge(void *p, size_t n)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const uintptr_t huge = (uintptr_t)2 << 20;
    if (!p || n < 2 * huge) return;
    const uintptr_t a = ((uintptr_t)p + huge - 1) & ~(huge - 1),
                    e = ((uintptr_t)p + n) & ~(huge - 1);
    if (e > a) (void)madvise((void *)a, e - a, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}
