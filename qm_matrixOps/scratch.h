/* Element counts and scratch blocks in 64-bit arithmetic, so that products of
 * two int dimensions never wrap; a size that cannot be formed is no memory. */
#ifndef QM_SCRATCH_H
#define QM_SCRATCH_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

/* a*b elements, 0 when either count is not positive */
static inline size_t qm_count(int a, int b)
{
    if (a <= 0 || b <= 0)
        return 0;
    return (size_t)a * (size_t)b;
}

/* *total += n; returns 0 when the sum would wrap */
static inline int qm_addCount(size_t *total, size_t n)
{
    if (n > SIZE_MAX - *total)
        return 0;
    *total += n;
    return 1;
}

/* room for n doubles (at least one, so n = 0 is not a failure); NULL when
 * the byte count would wrap or the heap refuses */
static inline double *qm_allocDoubles(size_t n)
{
    if (n > SIZE_MAX / sizeof(double))
        return NULL;
    return malloc((n ? n : 1) * sizeof(double));
}

#endif
