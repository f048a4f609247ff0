/* Index sort: a stable merge sort of the index array by the values it points at. */
#include <Accelerate/Accelerate.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

/* true when value a must come before value b; NaN is the lowest value */
static int before(double a, double b, int order) {
    if (isnan(a) || isnan(b)) {
        if (isnan(a) && isnan(b)) return 0;
        return order > 0 ? isnan(a) : isnan(b);
    }
    return order > 0 ? a < b : a > b;
}

static void merge_sort(const double *v, vDSP_Length *x, vDSP_Length *t, size_t n, int order) {
    if (n < 2) return;
    size_t h = n / 2;
    merge_sort(v, x, t, h, order);
    merge_sort(v, x + h, t, n - h, order);
    if (!before(v[x[h]], v[x[h - 1]], order)) return;
    memcpy(t, x, h * sizeof *x);
    size_t i = 0, j = h, k = 0;
    while (i < h && j < n) {
        /* the right run wins only when strictly before: equal values keep their order */
        if (before(v[x[j]], v[t[i]], order))
            x[k++] = x[j++];
        else
            x[k++] = t[i++];
    }
    while (i < h) x[k++] = t[i++];
}

void vDSP_vsortiD(const double *c, vDSP_Length *i, vDSP_Length *tmp, vDSP_Length n, int order) {
    (void)tmp; /* unused, as on the platform */
    if (n < 2 || (order != 1 && order != -1)) return;
    vDSP_Length *t = malloc((n / 2 + 1) * sizeof *t);
    if (t) {
        merge_sort(c, i, t, n, order);
        free(t);
        return;
    }
    /* no memory: stable insertion sort in place */
    for (size_t k = 1; k < n; k++) {
        vDSP_Length x = i[k];
        size_t j = k;
        while (j > 0 && before(c[x], c[i[j - 1]], order)) {
            i[j] = i[j - 1];
            j--;
        }
        i[j] = x;
    }
}
