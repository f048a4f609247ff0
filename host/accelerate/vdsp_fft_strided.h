/* The packed real FFT's entry in one precision, included by vdsp_fft.c
 * (double) and vdsp_fft_float.c (float) after their fft_unit, with:
 *   KV_R      the real type
 *   KV_SETUP  the setup, with maxLog2
 *   KV_SPLIT  the split complex type
 *   KV_ZRIP   the name of the packed real FFT
 * Other strides than 1 go through a copy at unit stride. */

void KV_ZRIP(KV_SETUP setup, const KV_SPLIT *c, vDSP_Stride stride, vDSP_Length log2n, FFTDirection dir) {
    if (!setup || !c || log2n < 1 || log2n > setup->maxLog2 || stride == 0) return;
    if (dir != kFFTDirection_Forward && dir != kFFTDirection_Inverse) return;
    if (stride == 1) {
        fft_unit(setup, c->realp, c->imagp, log2n, dir);
        return;
    }
    size_t h = ((size_t)1 << log2n) / 2;
    KV_R *re = malloc(2 * h * sizeof(KV_R));
    if (!re) return;
    KV_R *im = re + h;
    for (size_t k = 0; k < h; k++) {
        re[k] = c->realp[(ptrdiff_t)k * stride];
        im[k] = c->imagp[(ptrdiff_t)k * stride];
    }
    fft_unit(setup, re, im, log2n, dir);
    for (size_t k = 0; k < h; k++) {
        c->realp[(ptrdiff_t)k * stride] = re[k];
        c->imagp[(ptrdiff_t)k * stride] = im[k];
    }
    free(re);
}

#undef KV_R
#undef KV_SETUP
#undef KV_SPLIT
#undef KV_ZRIP
