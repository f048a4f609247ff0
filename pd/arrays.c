/* Pd arrays in and out: "loadBuffer NAME" reads the array NAME, or, when
 * there is none, the pair NAME-l and NAME-r as a stereo sound; the
 * resynthesis goes to NAME_out, or NAME_out-l and NAME_out-r. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include "korvane_pd.h"

static t_garray *kv_findArray(const char *name)
{
    return (t_garray *)pd_findbyclass(gensym(name), garray_class);
}

/* the array's samples, or NULL when there is no such array */
static t_word *kv_arrayWords(t_garray *a, int *n)
{
    t_word *w = NULL;
    *n = 0;
    if (!a || !garray_getfloatwords(a, n, &w)) return NULL;
    return w;
}

/* the sound of NAME or of NAME-l and NAME-r, interleaved, in *samples */
static int kv_gather(t_korvane *x, const char *name, float **samples, int *channels, int *frames)
{
    char nl[MAXPDSTRING], nr[MAXPDSTRING];
    t_word *w[2] = {NULL, NULL};
    int n[2] = {0, 0};
    *channels = *frames = 0;
    *samples = NULL;
    if ((w[0] = kv_arrayWords(kv_findArray(name), &n[0])) != NULL) {
        *channels = 1;
    } else {
        snprintf(nl, sizeof nl, "%s-l", name);
        snprintf(nr, sizeof nr, "%s-r", name);
        w[0] = kv_arrayWords(kv_findArray(nl), &n[0]);
        w[1] = kv_arrayWords(kv_findArray(nr), &n[1]);
        if (!w[0] || !w[1]) return -1;
        if (n[0] != n[1]) {
            kv_error(x, "Error: arrays %s and %s differ in length (%d and %d samples).", nl, nr,
                     n[0], n[1]);
            *channels = 2;
            *frames = n[0];
            return -2;
        }
        *channels = 2;
    }
    *frames = n[0];
    size_t count = (size_t)n[0] * (size_t)*channels;
    *samples = kve_malloc(count ? count * sizeof(float) : 1);
    if (!*samples) return -3;
    for (int c = 0; c < *channels; c++)
        for (int i = 0; i < n[0]; i++) (*samples)[(size_t)i * *channels + c] = w[c][i].w_float;
    return 0;
}

int kv_loadArrays(t_korvane *x, t_symbol *name)
{
    if (!name) name = &s_;
    float *samples = NULL;
    int channels = 0, frames = 0;
    int got = kv_gather(x, name->s_name, &samples, &channels, &frames);
    double rate = got == 0 ? sys_getsr() : 0.0;
    kv_post("read buffer: %ld channels, %ld samples, %f sr", (long)channels, (long)frames, rate);

    kve_status st = got == -3 ? KVE_NO_MEMORY : KVE_NO_SOUND;
    if (got == 0) st = kve_loadSound(&x->eng, samples, channels, frames, rate);
    free(samples);
    if (st != KVE_OK) {
        if (st == KVE_NO_MEMORY) {
            kv_error(x, "Error: out of memory.");
        } else {
            kv_error(x, "Buffer read error.\n");
            if (st == KVE_NOT_FINITE)
                kv_error(x, "Error: buffer %s holds samples that are not finite numbers.",
                         name->s_name);
        }
        return -1;
    }
    x->inName = name;
    x->stereo = channels == 2;
    return 0;
}

/* resizes the array to n and writes v into it */
static void kv_fillArray(t_garray *a, const double *v, int n)
{
    int size = 0;
    t_word *w = NULL;
    garray_resize_long(a, n);
    if (!garray_getfloatwords(a, &size, &w)) return;
    for (int i = 0; i < n && i < size; i++) w[i].w_float = (t_float)v[i];
    garray_redraw(a);
}

int kv_writeOutput(t_korvane *x, char *bad, size_t badSize)
{
    const kve_engine *e = &x->eng;
    const double *right = e->numChannels > 1 ? e->outR : e->outL;
    const double *v[2] = {e->outL, right};
    const char *suffix[2] = {x->stereo ? "_out-l" : "_out", "_out-r"};
    int channels = x->stereo ? 2 : 1;
    t_garray *a[2] = {NULL, NULL};
    /* both arrays are found before either is touched */
    for (int c = 0; c < channels; c++) {
        char name[MAXPDSTRING];
        snprintf(name, sizeof name, "%s%s", x->inName->s_name, suffix[c]);
        a[c] = kv_findArray(name);
        int size = 0;
        t_word *w = NULL;
        if (!a[c] || !garray_getfloatwords(a[c], &size, &w)) {
            snprintf(bad, badSize, "%s", name);
            return -1;
        }
    }
    for (int c = 0; c < channels; c++) kv_fillArray(a[c], v[c], e->numSamples);
    return 0;
}
