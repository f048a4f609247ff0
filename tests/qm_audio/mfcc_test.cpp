// Mel scale, filterbank and DCT against hand-computed values; MFCC against
// a triple-loop product with logarithms.
#include "qm_audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

TEST(Mel, ConversionsOfKnownPoints) {
    EXPECT_EQ(qm_freq2mel(0), 0.0);
    EXPECT_NEAR(qm_freq2mel(700), 1127 * std::log(2.0), 1e-12);
    EXPECT_NEAR(qm_freq2mel(700), 781.1769, 1e-4);
    EXPECT_NEAR(qm_freq2mel(1000), 999.9907, 1e-4);
    EXPECT_EQ(qm_mel2freq(0), 0.0);
    for (double f : {10.0, 440.0, 8000.0}) EXPECT_NEAR(qm_mel2freq(qm_freq2mel(f)), f, 1e-9 * f);
}

TEST(Mel, FilterbankOfNineBins) {
    std::vector<double> fb(3 * 9, -1), dct(2 * 3, -1);
    qm_initMFCC(2, 3, 16000, 9, 0, 8000, fb.data(), dct.data());
    const double want[3][9] = {{0, 0.6656, 0, 0, 0, 0, 0, 0, 0},
                               {0, 0.3344, 0.8928, 0.4311, 0, 0, 0, 0, 0},
                               {0, 0, 0.1072, 0.5689, 0.9837, 0.7377, 0.4918, 0.2459, 0}};
    for (int j = 0; j < 3; j++)
        for (int k = 0; k < 9; k++)
            EXPECT_NEAR(fb[j * 9 + k], want[j][k], 0.5e-4) << j << "," << k;  // four places

    // a range beyond the Nyquist frequency is clamped to it
    std::vector<double> fb2(3 * 9, -1);
    qm_initMFCC(2, 3, 16000, 9, 0, 12000, fb2.data(), dct.data());
    EXPECT_EQ(fb2, fb);
}

TEST(Mel, TrianglesPeakAtOneAndStayInRange) {
    const int bins = 513, filters = 40;
    std::vector<double> fb(size_t(filters) * bins), dct(13 * filters);
    qm_initMFCC(13, filters, 44100, bins, 20, 22050, fb.data(), dct.data());
    for (int j = 0; j < filters; j++) {
        double peak = 0;
        int nonzero = 0;
        for (int k = 0; k < bins; k++) {
            double w = fb[size_t(j) * bins + k];
            ASSERT_GE(w, 0.0);
            ASSERT_LE(w, 1.0);
            peak = std::max(peak, w);
            nonzero += w > 0;
        }
        EXPECT_GT(nonzero, 0) << j;
        // bins are 43 Hz apart; even the narrowest triangle reaches past 0.5
        EXPECT_GT(peak, 0.5) << j;
    }
}

TEST(Mel, DctMatrix) {
    std::vector<double> fb(2 * 9), dct(4, -1);
    qm_initMFCC(2, 2, 16000, 9, 0, 8000, fb.data(), dct.data());
    EXPECT_NEAR(dct[0], 1.0, 1e-15);
    EXPECT_NEAR(dct[1], 1.0, 1e-15);
    EXPECT_NEAR(dct[2], std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(dct[3], -std::sqrt(0.5), 1e-15);
}

TEST(Mel, ArgumentsOutOfRangeWriteNothing) {
    std::vector<double> fb(4 * 9, -1), dct(4 * 4, -1);
    qm_initMFCC(2, 3, 16000, 1, 0, 8000, fb.data(), dct.data());      // one bin
    qm_initMFCC(2, 0, 16000, 9, 0, 8000, fb.data(), dct.data());      // no filters
    qm_initMFCC(0, 3, 16000, 9, 0, 8000, fb.data(), dct.data());      // no coefficients
    qm_initMFCC(2, 3, 16000, 9, 5000, 5000, fb.data(), dct.data());   // min not below max
    qm_initMFCC(2, 3, 16000, 9, 9000, 12000, fb.data(), dct.data());  // min above Nyquist
    qm_initMFCC(2, 3, NAN, 9, 0, 8000, fb.data(), dct.data());
    qm_initMFCC(2, 3, 16000, 9, 0, INFINITY, fb.data(), dct.data());
    for (double v : fb) EXPECT_EQ(v, -1);
    for (double v : dct) EXPECT_EQ(v, -1);
}

TEST(Mel, NarrowBandsBetweenBinsStayWithinTheRow) {
    // two bins (0 and 8000 Hz) and many filters squeezed near the top: the
    // scans must stop at the last bin and write only this matrix
    const int filters = 6, bins = 2;
    std::vector<double> fb(size_t(filters) * bins + 4, -7), dct(filters, 0);
    qm_initMFCC(1, filters, 16000, bins, 7900, 8000, fb.data(), dct.data());
    for (int i = 0; i < filters * bins; i++) {
        EXPECT_GE(fb[i], 0.0);
        EXPECT_LE(fb[i], 1.0);
    }
    for (int i = filters * bins; i < filters * bins + 4; i++) EXPECT_EQ(fb[i], -7);
}

TEST(Mfcc, IsDctOfLogOfFilteredSpectrum) {
    const int bins = 33, frames = 6, filters = 8, ceps = 5;
    std::vector<double> fb(filters * bins), dct(ceps * filters), spectrogram(bins * frames);
    qm_initMFCC(ceps, filters, 8000, bins, 100, 4000, fb.data(), dct.data());
    for (int i = 0; i < bins * frames; i++) spectrogram[i] = 0.1 + std::fabs(std::sin(0.7 * i));
    std::vector<double> mfcc(ceps * frames, -1);
    qm_MFCC(spectrogram.data(), fb.data(), dct.data(), bins, frames, ceps, filters, mfcc.data());
    for (int i = 0; i < ceps; i++)
        for (int t = 0; t < frames; t++) {
            double want = 0;
            for (int j = 0; j < filters; j++) {
                double mel = 0;
                for (int k = 0; k < bins; k++)
                    mel += fb[j * bins + k] * spectrogram[k * frames + t];
                want += dct[i * filters + j] * std::log(mel);
            }
            // sums of a few dozen terms of size about 1
            EXPECT_NEAR(mfcc[i * frames + t], want, 1e-12);
        }
}

TEST(Mfcc, SilentFrameIsNotFinite) {
    const int bins = 9, frames = 2, filters = 3, ceps = 2;
    std::vector<double> fb(filters * bins), dct(ceps * filters), spectrogram(bins * frames, 1.0);
    qm_initMFCC(ceps, filters, 16000, bins, 0, 8000, fb.data(), dct.data());
    for (int k = 0; k < bins; k++) spectrogram[k * frames + 1] = 0.0;
    std::vector<double> mfcc(ceps * frames);
    qm_MFCC(spectrogram.data(), fb.data(), dct.data(), bins, frames, ceps, filters, mfcc.data());
    EXPECT_TRUE(std::isfinite(mfcc[0]));
    EXPECT_FALSE(std::isfinite(mfcc[1]));
}
