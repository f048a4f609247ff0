/* The packed real FFT of one precision, included by vdsp_fft.c (double)
 * and vdsp_fft_float.c (float) with:
 *   KV_R         the real type
 *   KV_W(name)   FFTW's name for it (fftw_name, fftwf_name)
 *   KV_SETUP     the setup, with maxLog2, buf, fwd[] and inv[]
 *   KV_SPLIT     the split complex type
 *   KV_ZRIP      the name of the packed real FFT
 * and planner_lock, buf_split and buf_len defined before. */

static KV_W(plan) get_plan(KV_SETUP s, vDSP_Length log2n, int forward) {
    _Atomic(KV_W(plan)) *slot = forward ? &s->fwd[log2n] : &s->inv[log2n];
    KV_W(plan) p = atomic_load_explicit(slot, memory_order_acquire);
    if (p) return p;
    pthread_mutex_lock(&planner_lock);
    p = atomic_load_explicit(slot, memory_order_relaxed);
    if (!p) {
        int n = 1 << log2n;
        /* estimated, not measured: the same plan, hence the same bits, on every run */
        KV_R *tmp = KV_W(malloc)(buf_len(log2n) * sizeof(KV_R));
        if (tmp) {
            KV_R *real = tmp + buf_split(log2n);
            if (forward)
                p = KV_W(plan_dft_r2c_1d)(n, tmp, (KV_W(complex) *)tmp, FFTW_ESTIMATE);
            else
                p = KV_W(plan_dft_c2r_1d)(n, (KV_W(complex) *)tmp, real, FFTW_ESTIMATE);
            KV_W(free)(tmp);
            atomic_store_explicit(slot, p, memory_order_release);
        }
    }
    pthread_mutex_unlock(&planner_lock);
    return p;
}

/* copies of the packing loops in wider vectors, chosen when the program
 * loads: they only move values (and double them, exactly), so every copy
 * gives the same bits */
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define KV_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KV_CLONES
#endif

/* b = re[0], im[0], re[1], im[1], ... over h pairs */
KV_CLONES static void interleave(KV_R *restrict b, const KV_R *restrict re, const KV_R *restrict im, size_t h) {
    for (size_t k = 0; k < h; k++) {
        b[2 * k] = re[k];
        b[2 * k + 1] = im[k];
    }
}

/* the reverse, times s (1 or 2) */
KV_CLONES static void deinterleave(KV_R *restrict re, KV_R *restrict im, const KV_R *restrict b, size_t h, KV_R s) {
    for (size_t k = 0; k < h; k++) {
        re[k] = s * b[2 * k];
        im[k] = s * b[2 * k + 1];
    }
}

static void fft_unit(KV_SETUP s, KV_R *re, KV_R *im, vDSP_Length log2n, FFTDirection dir) {
    size_t n = (size_t)1 << log2n, h = n / 2;
    int forward = dir == kFFTDirection_Forward;
    KV_W(plan) p = get_plan(s, log2n, forward);
    if (!p) return;
    KV_R *own = atomic_exchange(&s->buf, NULL);
    KV_R *b = own ? own : KV_W(malloc)(buf_len(log2n) * sizeof(KV_R));
    if (!b) return;
    if (forward) {
        interleave(b, re, im, h);
        KV_W(execute_dft_r2c)(p, b, (KV_W(complex) *)b);
        /* b holds X[0 .. n/2] as interleaved pairs */
        const KV_R nyquist = b[n];
        deinterleave(re, im, b, h, (KV_R)2);
        im[0] = (KV_R)2 * nyquist;
    } else {
        interleave(b, re, im, h);
        b[1] = 0;
        b[n] = im[0];
        b[n + 1] = 0;
        KV_R *real = b + buf_split(log2n);
        KV_W(execute_dft_c2r)(p, (KV_W(complex) *)b, real);
        deinterleave(re, im, real, h, (KV_R)1);
    }
    if (own)
        atomic_store(&s->buf, own);
    else
        KV_W(free)(b);
}

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
#undef KV_W
#undef KV_SETUP
#undef KV_SPLIT
#undef KV_ZRIP
