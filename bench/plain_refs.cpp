#include "plain_refs.hpp"

#include <cmath>
#include <cstddef>
#include <fftw3.h>
#include <vector>

namespace plain {

namespace {

constexpr double kEps = 2.220446049250313e-16;

// C (m x n) = A (m x p) B (p x n)
void mul(const double *A, const double *B, size_t m, size_t n, size_t p, double *C) {
    for (size_t i = 0; i < m; i++) {
        double *c = C + i * n;
        for (size_t j = 0; j < n; j++) c[j] = 0.0;
        for (size_t k = 0; k < p; k++) {
            const double a = A[i * p + k];
            const double *b = B + k * n;
            for (size_t j = 0; j < n; j++) c[j] += a * b[j];
        }
    }
}

// C (m x n) = A' B with A (p x m), B (p x n)
void mulTA(const double *A, const double *B, size_t m, size_t n, size_t p, double *C) {
    for (size_t i = 0; i < m * n; i++) C[i] = 0.0;
    for (size_t k = 0; k < p; k++)
        for (size_t i = 0; i < m; i++) {
            const double a = A[k * m + i];
            const double *b = B + k * n;
            double *c = C + i * n;
            for (size_t j = 0; j < n; j++) c[j] += a * b[j];
        }
}

// C (m x n) = A B' with A (m x p), B (n x p)
void mulTB(const double *A, const double *B, size_t m, size_t n, size_t p, double *C) {
    for (size_t i = 0; i < m; i++)
        for (size_t j = 0; j < n; j++) {
            double s = 0.0;
            for (size_t k = 0; k < p; k++) s += A[i * p + k] * B[j * p + k];
            C[i * n + j] = s;
        }
}

std::vector<double> sqrtBlackman(int N) {
    std::vector<double> g(N);
    for (int n = 0; n < N; n++) {
        double b = 0.42 - 0.5 * std::cos(2.0 * M_PI * n / N) + 0.08 * std::cos(4.0 * M_PI * n / N);
        g[n] = std::sqrt(b > 0.0 ? b : 0.0);
    }
    return g;
}

}  // namespace

void klIterate(const double *V, int F, int T, int K, int iter, double *W, double *H) {
    const size_t nF = F, nT = T, nK = K;
    const size_t big = nF > nT ? nF : nT;
    std::vector<double> Q(nF * nT), ones(nF * nT, 1.0), num(nK * big), den(nK * big);
    for (int i = 0; i < iter; i++) {
        // Q = V ./ (W H + eps), the reciprocal first
        mul(W, H, nF, nT, nK, Q.data());
        for (size_t e = 0; e < nF * nT; e++) Q[e] = (ones[e] / (Q[e] + kEps)) * V[e];
        mulTA(W, Q.data(), nK, nT, nF, num.data());
        mulTA(W, ones.data(), nK, nT, nF, den.data());
        for (size_t e = 0; e < nK * nT; e++) H[e] *= num[e] / (den[e] + kEps);

        mul(W, H, nF, nT, nK, Q.data());
        for (size_t e = 0; e < nF * nT; e++) Q[e] = (ones[e] / (Q[e] + kEps)) * V[e];
        mulTB(Q.data(), H, nF, nK, nT, num.data());
        mulTB(ones.data(), H, nF, nK, nT, den.data());
        for (size_t e = 0; e < nF * nK; e++) W[e] *= num[e] / (den[e] + kEps);
    }
}

void euclIterate(const double *V, int F, int T, int K, int iter, double *W, double *H) {
    const size_t nF = F, nT = T, nK = K;
    const size_t big = nF > nT ? nF : nT;
    std::vector<double> num(nK * big), fac(nK * big), G(nK * nK), Ht(nT * nK);
    for (int i = 0; i < iter; i++) {
        mulTA(W, V, nK, nT, nF, num.data());
        mulTA(W, W, nK, nK, nF, G.data());
        mul(G.data(), H, nK, nT, nK, fac.data());
        for (size_t e = 0; e < nK * nT; e++) H[e] *= num[e] / (fac[e] + kEps);

        mulTB(V, H, nF, nK, nT, num.data());
        mulTB(H, H, nK, nK, nT, G.data());
        mul(W, G.data(), nF, nK, nK, fac.data());
        for (size_t e = 0; e < nF * nK; e++) W[e] *= num[e] / (fac[e] + kEps);
    }
}

void stft(const double *x, int N, int frames, int hop, double *re, double *im) {
    const size_t n = N, h = n / 2, cols = frames;
    std::vector<double> g = sqrtBlackman(N);
    double *in = fftw_alloc_real(n);
    fftw_complex *spectrum = fftw_alloc_complex(h + 1);
    fftw_plan p = fftw_plan_dft_r2c_1d(N, in, spectrum, FFTW_ESTIMATE);
    for (size_t t = 0; t < cols; t++) {
        const double *s = x + t * (size_t)hop;
        for (size_t k = 0; k < n; k++) in[k] = g[k] * s[k];
        fftw_execute(p);
        for (size_t b = 0; b <= h; b++) {
            re[b * cols + t] = spectrum[b][0];
            im[b * cols + t] = b == 0 || b == h ? 0.0 : spectrum[b][1];
        }
    }
    fftw_destroy_plan(p);
    fftw_free(spectrum);
    fftw_free(in);
}

void wienerResynth(const double *mask, const double *model, const double *re, const double *im, int frames, int N,
                   int hop, double *out) {
    const size_t n = N, h = n / 2, cols = frames;
    std::vector<double> g = sqrtBlackman(N);
    double *y = fftw_alloc_real(n);
    fftw_complex *spectrum = fftw_alloc_complex(h + 1);
    fftw_plan p = fftw_plan_dft_c2r_1d(N, spectrum, y, FFTW_ESTIMATE);
    const double scale = 1.0 / N;
    for (size_t t = 0; t < cols; t++) {
        for (size_t b = 0; b <= h; b++) {
            const size_t e = b * cols + t;
            const double gain = mask[e] / (model[e] + 0.1);
            spectrum[b][0] = gain * re[e];
            spectrum[b][1] = b == 0 || b == h ? 0.0 : gain * im[e];
        }
        fftw_execute(p);
        double *o = out + t * (size_t)hop;
        for (size_t k = 0; k < n; k++) o[k] += g[k] * (y[k] * scale);
    }
    fftw_destroy_plan(p);
    fftw_free(spectrum);
    fftw_free(y);
}

}  // namespace plain
