// Packed real FFT against a naive DFT.
#include <Accelerate/Accelerate.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using cd = std::complex<double>;

std::vector<cd> naive_dft(const std::vector<double> &x) {
    const size_t n = x.size();
    std::vector<cd> X(n);
    for (size_t k = 0; k < n; k++) {
        cd s = 0;
        for (size_t t = 0; t < n; t++)
            s += x[t] * std::polar(1.0, -2.0 * M_PI * double((k * t) % n) / double(n));
        X[k] = s;
    }
    return X;
}

std::vector<double> noise(size_t n, unsigned seed) {
    std::vector<double> x(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        x[i] = double((seed >> 8) & 0xffff) / 32768.0 - 1.0;
    }
    return x;
}

struct Packed {
    std::vector<double> re, im;
    DSPDoubleSplitComplex z;
    explicit Packed(size_t h) : re(h), im(h), z{re.data(), im.data()} {}
};

// Rounding of an n-point FFT grows like log2(n) eps times the signal's norm;
// 1e-12 times n leaves plenty of room for n up to 2^11.
double tol(size_t n) {
    return 1e-12 * double(n);
}

}  // namespace

TEST(Fft, ForwardIsTwiceTheDftPacked) {
    FFTSetupD s = vDSP_create_fftsetupD(11, kFFTRadix2);
    ASSERT_NE(s, nullptr);
    for (vDSP_Length log2n = 1; log2n <= 11; log2n++) {
        const size_t n = size_t(1) << log2n, h = n / 2;
        std::vector<double> x = noise(n, unsigned(log2n));
        std::vector<cd> X = naive_dft(x);
        Packed p(h);
        vDSP_ctozD(reinterpret_cast<const DSPDoubleComplex *>(x.data()), 2, &p.z, 1, h);
        vDSP_fft_zripD(s, &p.z, 1, log2n, kFFTDirection_Forward);
        EXPECT_NEAR(p.re[0], 2 * X[0].real(), tol(n)) << n;
        EXPECT_NEAR(p.im[0], 2 * X[h].real(), tol(n)) << n;
        for (size_t k = 1; k < h; k++) {
            EXPECT_NEAR(p.re[k], 2 * X[k].real(), tol(n)) << n << " bin " << k;
            EXPECT_NEAR(p.im[k], 2 * X[k].imag(), tol(n)) << n << " bin " << k;
        }
    }
    vDSP_destroy_fftsetupD(s);
}

TEST(Fft, InverseIsNTimesTheInverseDftOfTheHermitianSpectrum) {
    FFTSetupD s = vDSP_create_fftsetupD(10, kFFTRadix2);
    ASSERT_NE(s, nullptr);
    for (vDSP_Length log2n = 1; log2n <= 10; log2n++) {
        const size_t n = size_t(1) << log2n, h = n / 2;
        // an arbitrary half spectrum; DC and Nyquist real
        std::vector<double> a = noise(n, 100 + unsigned(log2n));
        std::vector<cd> X(h + 1);
        X[0] = a[0];
        X[h] = a[1];
        for (size_t k = 1; k < h; k++) X[k] = cd(a[2 * k], a[2 * k + 1]);
        std::vector<double> ref(n);
        for (size_t t = 0; t < n; t++) {
            cd sum = 0;
            for (size_t k = 0; k < n; k++) {
                cd v = k <= h ? X[k] : std::conj(X[n - k]);
                sum += v * std::polar(1.0, 2.0 * M_PI * double((k * t) % n) / double(n));
            }
            ref[t] = sum.real();
        }
        Packed p(h);
        p.re[0] = X[0].real();
        p.im[0] = X[h].real();
        for (size_t k = 1; k < h; k++) {
            p.re[k] = X[k].real();
            p.im[k] = X[k].imag();
        }
        vDSP_fft_zripD(s, &p.z, 1, log2n, kFFTDirection_Inverse);
        std::vector<double> y(n);
        vDSP_ztocD(&p.z, 1, reinterpret_cast<DSPDoubleComplex *>(y.data()), 2, h);
        for (size_t t = 0; t < n; t++) EXPECT_NEAR(y[t], ref[t], tol(n)) << n << " sample " << t;
    }
    vDSP_destroy_fftsetupD(s);
}

TEST(Fft, NonUnitStrideMatchesUnitStride) {
    const vDSP_Length log2n = 6;
    const size_t n = 64, h = 32, st = 3;
    FFTSetupD s = vDSP_create_fftsetupD(log2n, kFFTRadix2);
    std::vector<double> x = noise(n, 11);
    Packed p(h);
    vDSP_ctozD(reinterpret_cast<const DSPDoubleComplex *>(x.data()), 2, &p.z, 1, h);
    std::vector<double> sre(h * st, -1.0), sim(h * st, -1.0);
    for (size_t k = 0; k < h; k++) {
        sre[k * st] = p.re[k];
        sim[k * st] = p.im[k];
    }
    DSPDoubleSplitComplex sz{sre.data(), sim.data()};
    vDSP_fft_zripD(s, &p.z, 1, log2n, kFFTDirection_Forward);
    vDSP_fft_zripD(s, &sz, vDSP_Stride(st), log2n, kFFTDirection_Forward);
    for (size_t k = 0; k < h; k++) {
        EXPECT_DOUBLE_EQ(sre[k * st], p.re[k]);
        EXPECT_DOUBLE_EQ(sim[k * st], p.im[k]);
        EXPECT_EQ(sre[k * st + 1], -1.0);  // gaps untouched
    }
    vDSP_destroy_fftsetupD(s);
}

TEST(Fft, SetupRefusesOtherRadicesAndLargerSizes) {
    EXPECT_EQ(vDSP_create_fftsetupD(8, kFFTRadix3), nullptr);
    FFTSetupD s = vDSP_create_fftsetupD(4, kFFTRadix2);
    std::vector<double> re(16, 1.0), im(16, 1.0);
    DSPDoubleSplitComplex z{re.data(), im.data()};
    vDSP_fft_zripD(s, &z, 1, 5, kFFTDirection_Forward);  // beyond the setup: ignored
    EXPECT_EQ(re[0], 1.0);
    EXPECT_EQ(im[15], 1.0);
    vDSP_destroy_fftsetupD(s);
    vDSP_destroy_fftsetupD(nullptr);
}

TEST(Fft, ConcurrentUseOfOneSetupAndOfSeveral) {
    // planning is lazy and shared; many threads hitting fresh sizes at once
    // must each get the naive DFT's answer
    FFTSetupD shared = vDSP_create_fftsetupD(10, kFFTRadix2);
    std::vector<std::thread> threads;
    std::vector<int> bad(8, 0);
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&, t] {
            FFTSetupD own = vDSP_create_fftsetupD(10, kFFTRadix2);
            for (int rep = 0; rep < 12; rep++) {
                const vDSP_Length log2n = 3 + vDSP_Length((t + rep) % 7);
                const size_t n = size_t(1) << log2n, h = n / 2;
                std::vector<double> x = noise(n, unsigned(t * 100 + rep));
                std::vector<cd> X = naive_dft(x);
                Packed p(h);
                vDSP_ctozD(reinterpret_cast<const DSPDoubleComplex *>(x.data()), 2, &p.z, 1, h);
                vDSP_fft_zripD(rep % 2 ? own : shared, &p.z, 1, log2n, kFFTDirection_Forward);
                for (size_t k = 1; k < h; k++)
                    if (std::abs(cd(p.re[k], p.im[k]) - 2.0 * X[k]) > tol(n)) bad[t]++;
            }
            vDSP_destroy_fftsetupD(own);
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 8; t++) EXPECT_EQ(bad[t], 0) << "thread " << t;
    vDSP_destroy_fftsetupD(shared);
}

namespace {

std::vector<cd> naive_cdft(const std::vector<cd> &x, double sign) {
    const size_t n = x.size();
    std::vector<cd> X(n);
    for (size_t k = 0; k < n; k++)
        for (size_t t = 0; t < n; t++)
            X[k] += x[t] * std::polar(1.0, sign * 2.0 * M_PI * double((k * t) % n) / double(n));
    return X;
}

// the complex in-place FFT, both directions, against the naive DFT: arrays
// as fftw_malloc aligns them, one double off, and two apart
void expectComplexFft(size_t offset, vDSP_Stride stride) {
    FFTSetupD s = vDSP_create_fftsetupD(10, kFFTRadix2);
    ASSERT_NE(s, nullptr);
    for (vDSP_Length log2n = 0; log2n <= 10; log2n++) {
        const size_t n = size_t(1) << log2n, st = size_t(stride);
        const std::vector<double> a = noise(2 * n, 300 + unsigned(log2n));
        std::vector<cd> x(n);
        for (size_t t = 0; t < n; t++) x[t] = cd(a[2 * t], a[2 * t + 1]);
        for (FFTDirection dir : {kFFTDirection_Forward, kFFTDirection_Inverse}) {
            std::vector<cd> X = naive_cdft(x, dir == kFFTDirection_Forward ? -1.0 : 1.0);
            std::vector<double> re(offset + n * st, -1.0), im(offset + n * st, -1.0);
            for (size_t t = 0; t < n; t++) {
                re[offset + t * st] = x[t].real();
                im[offset + t * st] = x[t].imag();
            }
            DSPDoubleSplitComplex z{re.data() + offset, im.data() + offset};
            vDSP_fft_zipD(s, &z, stride, log2n, dir);
            for (size_t k = 0; k < n; k++) {
                EXPECT_NEAR(re[offset + k * st], X[k].real(), tol(n))
                    << n << ' ' << dir << ' ' << k;
                EXPECT_NEAR(im[offset + k * st], X[k].imag(), tol(n))
                    << n << ' ' << dir << ' ' << k;
                if (st > 1) {
                    EXPECT_EQ(re[offset + k * st + 1], -1.0);  // gaps untouched
                }
            }
        }
    }
    vDSP_destroy_fftsetupD(s);
}

}  // namespace

TEST(Fft, ComplexInPlaceIsTheUnscaledDftBothWays) {
    expectComplexFft(0, 1);
    expectComplexFft(1, 1);
    expectComplexFft(0, 2);
}

TEST(Fft, ComplexTwoRealSignalsInOneInverse) {
    // Z = X1 + i X2 of two Hermitian spectra: real part n x1, imaginary n x2
    const vDSP_Length log2n = 7;
    const size_t n = 128;
    FFTSetupD s = vDSP_create_fftsetupD(log2n, kFFTRadix2);
    const std::vector<double> x1 = noise(n, 41), x2 = noise(n, 42);
    const std::vector<cd> X1 = naive_dft(x1), X2 = naive_dft(x2);
    std::vector<double> re(n), im(n);
    for (size_t k = 0; k < n; k++) {
        const cd z = X1[k] + cd(0, 1) * X2[k];
        re[k] = z.real();
        im[k] = z.imag();
    }
    DSPDoubleSplitComplex z{re.data(), im.data()};
    vDSP_fft_zipD(s, &z, 1, log2n, kFFTDirection_Inverse);
    for (size_t t = 0; t < n; t++) {
        EXPECT_NEAR(re[t], double(n) * x1[t], tol(n)) << t;
        EXPECT_NEAR(im[t], double(n) * x2[t], tol(n)) << t;
    }
    vDSP_destroy_fftsetupD(s);
}

TEST(Fft, ComplexGivesTheSameForEveryLayoutOfItsArrays) {
    // the stand-in keeps a plan per distance between the real and imaginary
    // arrays; more layouts than it keeps must still transform correctly
    const vDSP_Length log2n = 9;
    const size_t n = 512;
    FFTSetupD s = vDSP_create_fftsetupD(log2n, kFFTRadix2);
    const std::vector<double> a = noise(2 * n, 7);
    std::vector<cd> x(n);
    for (size_t t = 0; t < n; t++) x[t] = cd(a[t], a[n + t]);
    const std::vector<cd> X = naive_cdft(x, -1.0);
    std::vector<double> buf(40 * n);
    int bad = 0;
    for (size_t gap = 0; gap < 30; gap++) {
        double *re = buf.data() + gap, *im = re + n + 3 * gap;
        std::copy(a.begin(), a.begin() + long(n), re);
        std::copy(a.begin() + long(n), a.end(), im);
        DSPDoubleSplitComplex z{re, im};
        vDSP_fft_zipD(s, &z, 1, log2n, kFFTDirection_Forward);
        for (size_t k = 0; k < n; k++) bad += std::abs(cd(re[k], im[k]) - X[k]) > tol(n);
    }
    EXPECT_EQ(bad, 0);
    vDSP_destroy_fftsetupD(s);
}

// The single-precision packed FFT: the double one's layout and scaling to
// float's rounding, both ways, at unit and wider strides; the same radix
// and size refusals.
TEST(FftSingle, FollowsTheDoublePackedFftBothWays) {
    FFTSetupD sd = vDSP_create_fftsetupD(11, kFFTRadix2);
    FFTSetup sf = vDSP_create_fftsetup(11, kFFTRadix2);
    ASSERT_TRUE(sd && sf);
    EXPECT_EQ(vDSP_create_fftsetup(11, kFFTRadix3), nullptr);
    EXPECT_EQ(vDSP_create_fftsetup(31, kFFTRadix2), nullptr);
    for (vDSP_Length log2n : {1ul, 4ul, 11ul})
        for (vDSP_Stride stride : {1l, 3l}) {
            const size_t h = (size_t(1) << log2n) / 2;
            const std::vector<double> x = noise(2 * h * size_t(stride), unsigned(log2n));
            std::vector<double> dre(x.begin(), x.begin() + long(h * stride)),
                dim(x.begin() + long(h * stride), x.end());
            std::vector<float> fre(dre.begin(), dre.end()), fim(dim.begin(), dim.end());
            DSPDoubleSplitComplex zd{dre.data(), dim.data()};
            DSPSplitComplex zf{fre.data(), fim.data()};
            for (FFTDirection dir : {kFFTDirection_Forward, kFFTDirection_Inverse}) {
                vDSP_fft_zripD(sd, &zd, stride, log2n, dir);
                vDSP_fft_zrip(sf, &zf, stride, log2n, dir);
                double err = 0, mag = 0;
                for (size_t k = 0; k < h; k++) {
                    const size_t i = k * size_t(stride);
                    err = std::max({err, std::fabs(fre[i] - dre[i]), std::fabs(fim[i] - dim[i])});
                    mag = std::max({mag, std::fabs(dre[i]), std::fabs(dim[i])});
                }
                EXPECT_LT(err, 1e-5 * mag)
                    << "2^" << log2n << " stride " << stride << " dir " << dir;
            }
        }
    vDSP_destroy_fftsetup(sf);
    vDSP_destroy_fftsetupD(sd);
}
