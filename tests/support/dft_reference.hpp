// Naive references for the spectral tests: the window from its formula, a
// windowed DFT per frame and the windowed overlap-add of inverse DFTs.
#pragma once

#include <Accelerate/Accelerate.h>

#include <cmath>
#include <complex>
#include <memory>
#include <vector>

namespace ref {

using cd = std::complex<double>;

inline std::vector<double> sqrt_blackman(int N) {
    std::vector<double> g(N);
    for (int n = 0; n < N; n++) {
        double b = 0.42 - 0.5 * std::cos(2 * M_PI * n / N) + 0.08 * std::cos(4 * M_PI * n / N);
        g[n] = std::sqrt(std::max(b, 0.0));
    }
    return g;
}

// X_t[b] for b = 0 .. N/2, as bins x frames
inline void stft(const std::vector<double> &x, int N, int frames, int hop, std::vector<double> &re,
                 std::vector<double> &im) {
    const int bins = N / 2 + 1;
    std::vector<double> g = sqrt_blackman(N);
    re.assign(size_t(bins) * frames, 0);
    im.assign(size_t(bins) * frames, 0);
    for (int t = 0; t < frames; t++)
        for (int b = 0; b < bins; b++) {
            cd s = 0;
            for (int n = 0; n < N; n++)
                s += g[n] * x[size_t(t) * hop + n] *
                     std::polar(1.0, -2 * M_PI * double((b * n) % N) / N);
            re[size_t(b) * frames + t] = s.real();
            im[size_t(b) * frames + t] = s.imag();
        }
}

// out += sum over frames of g * inverse DFT of the Hermitian-extended column;
// the imaginary parts of DC and Nyquist are ignored
inline void istft(const std::vector<double> &re, const std::vector<double> &im, int N, int frames,
                  int hop, std::vector<double> &out) {
    const int h = N / 2;
    std::vector<double> g = sqrt_blackman(N);
    for (int t = 0; t < frames; t++)
        for (int n = 0; n < N; n++) {
            double y = re[t] + re[size_t(h) * frames + t] * ((n % 2) ? -1.0 : 1.0);
            for (int b = 1; b < h; b++) {
                cd X(re[size_t(b) * frames + t], im[size_t(b) * frames + t]);
                y += 2 * (X * std::polar(1.0, 2 * M_PI * double((b * n) % N) / N)).real();
            }
            out[size_t(t) * hop + n] += g[n] * y / N;
        }
}

inline std::vector<double> noise(size_t n, unsigned seed, double amp = 1.0) {
    std::vector<double> x(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        x[i] = amp * (double((seed >> 8) & 0xffff) / 32768.0 - 1.0);
    }
    return x;
}

struct Setup {
    FFTSetupD s;
    explicit Setup(int log2n) : s(vDSP_create_fftsetupD(vDSP_Length(log2n), kFFTRadix2)) {}
    ~Setup() { vDSP_destroy_fftsetupD(s); }
    Setup(const Setup &) = delete;
    Setup &operator=(const Setup &) = delete;
    operator FFTSetupD() const { return s; }
};

}  // namespace ref
