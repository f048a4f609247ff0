// Framing, refusals and the streamed magnitudes against a naive DFT of the
// padded frames and against qm_STFT away from the edges.
#include "dft_reference.hpp"
#include "qm_audio.h"
#include "stream_fixtures.hpp"

#include <climits>
#include <cmath>
#include <cstdint>

namespace {

kve_streamShape shape(double sec, float hop, double rate, long L, int ch, kve_rows mode = KVE_SUM) {
    kve_streamShape s;
    EXPECT_EQ(kve_streamShapeOf(sec, hop, rate, L, ch, mode, &s), KVE_OK);
    return s;
}

std::vector<double> analyse(const kve_streamShape &s, const kvt::Chans &x, int threads = 2) {
    kvt::Source src{x};
    std::vector<double> V(size_t(s.rows) * size_t(s.frames), -1.0);
    EXPECT_EQ(kve_streamAnalyse(&s, src.source(), V.data(), threads), KVE_OK);
    return V;
}

// frame t of the sound with the padding, as bins x frames magnitudes
std::vector<double> naive_magnitudes(const kve_streamShape &s, const std::vector<double> &x) {
    std::vector<double> padded(size_t(s.lead), 0.0);
    padded.insert(padded.end(), x.begin(), x.end());
    padded.resize(size_t(s.frames - 1) * s.hop + s.N, 0.0);
    std::vector<double> re, im, mag;
    ref::stft(padded, s.N, int(s.frames), s.hop, re, im);
    for (size_t i = 0; i < re.size(); i++) mag.push_back(std::hypot(re[i], im[i]));
    return mag;
}

}  // namespace

TEST(StreamShape, SizesOfTheWindowAndFramesOverEverySample) {
    // 0.08 s at 44.1 kHz: a window of 3528 samples zero-padded to an FFT of
    // 4096, the hop a quarter of the window
    kve_streamShape s = shape(0.08, 0.25f, 44100, 44100 * 3, 2, KVE_STACK);
    EXPECT_EQ(s.window, 3528);
    EXPECT_EQ(s.N, 4096);
    EXPECT_EQ(s.hop, 882);
    EXPECT_EQ(s.lead, 3 * 882);
    EXPECT_EQ(s.bins, 2049);
    EXPECT_EQ(s.rows, 2 * 2049);
    const int hops[] = {1, 3, 8, 13, 24, 28};
    for (long L : {32L, 33L, 100L, 1000L})
        for (int hop : hops) {
            s = shape(32, float(hop) / 32.0f, 1.0, L, 1);
            ASSERT_EQ(s.hop, hop);
            const long first = -s.lead, last = (s.frames - 1) * hop - s.lead;
            EXPECT_GT(first + s.window, 0) << "the first frame overlaps the sound";
            EXPECT_LE(first + s.window - hop, 0) << "a frame before it would see only zeros";
            EXPECT_LE(last, L - 1) << "the last frame overlaps the sound";
            EXPECT_GT(last + hop, L - 1) << "a frame after it would see only zeros";
            EXPECT_EQ(s.lead % hop, 0);
        }
    // --fft: a larger power of two at or above the window, else refused
    EXPECT_EQ(kve_streamShapeFft(0.08, 0.25f, 16384, 44100, 44100, 1, KVE_SUM, &s), KVE_OK);
    EXPECT_EQ(s.window, 3528);
    EXPECT_EQ(s.N, 16384);
    EXPECT_EQ(s.bins, 8193);
    EXPECT_EQ(kve_streamShapeFft(0.08, 0.25f, 2048, 44100, 44100, 1, KVE_SUM, &s),
              KVE_BAD_ARGUMENT);
    EXPECT_EQ(kve_streamShapeFft(0.08, 0.25f, 5000, 44100, 44100, 1, KVE_SUM, &s),
              KVE_BAD_ARGUMENT);
}

TEST(StreamShape, RefusalsGiveTheNumbersToChange) {
    kve_streamShape s;
    EXPECT_EQ(kve_streamShapeOf(1.0 / 44100, 0.25f, 44100, 1000, 1, KVE_SUM, &s),
              KVE_WINDOW_TOO_SHORT);
    EXPECT_EQ(kve_streamShapeOf(0.08, 0.0001f, 44100, 44100, 1, KVE_SUM, &s), KVE_HOP_TOO_SHORT);
    // 0.05 s of sound with a 0.08 s window
    EXPECT_EQ(kve_streamShapeOf(0.08, 0.25f, 44100, 2205, 1, KVE_SUM, &s), KVE_SOUND_TOO_SHORT);
    EXPECT_DOUBLE_EQ(s.shortestSound, 3528.0 / 44100);
    EXPECT_DOUBLE_EQ(s.longestWindow, 0.05);
    EXPECT_EQ(kve_streamShapeOf(s.longestWindow, 0.25f, 44100, 2205, 1, KVE_SUM, &s), KVE_OK);
    // a window past any FFT size, on a sound shorter still: the sound is what to change
    EXPECT_EQ(kve_streamShapeOf(1e9, 0.25f, 44100, 44100, 1, KVE_SUM, &s), KVE_SOUND_TOO_SHORT);
    EXPECT_DOUBLE_EQ(s.longestWindow, 1.0);
    // a hop of a whole window leaves the window's zero uncovered
    EXPECT_EQ(kve_streamShapeOf(0.08, 1.0f, 44100, 44100, 1, KVE_SUM, &s), KVE_HOP_TOO_LONG);
    const double longest = s.longestHop;
    EXPECT_GT(longest, 0.75);
    EXPECT_LT(longest, 1.0);
    EXPECT_EQ(kve_streamShapeOf(0.08, float(longest), 44100, 44100, 1, KVE_SUM, &s), KVE_OK);
    EXPECT_EQ(kve_streamShapeOf(0.08, float(longest + 1.0 / 4096), 44100, 44100, 1, KVE_SUM, &s),
              KVE_HOP_TOO_LONG);
    // hops beyond any whole number of samples, or infinite, are too long too
    for (float far : {1e20f, INFINITY})
        EXPECT_EQ(kve_streamShapeOf(0.08, far, 44100, 44100, 1, KVE_SUM, &s), KVE_HOP_TOO_LONG)
            << far;
    EXPECT_EQ(kve_streamShapeOf(0.08, 0.25f, 44100, 0, 1, KVE_SUM, &s), KVE_BAD_ARGUMENT);
    EXPECT_EQ(kve_streamShapeOf(0.08, 0.25f, 44100, 44100, 0, KVE_SUM, &s), KVE_BAD_ARGUMENT);
    EXPECT_EQ(kve_streamShapeOf(0.08, 0.25f, 44100, 44100, KVE_MOST_CHANNELS + 1, KVE_SUM, &s),
              KVE_BAD_ARGUMENT);
    // every channel is kept: stacked rows are a block of bins each
    EXPECT_EQ(kve_streamShapeOf(0.08, 0.25f, 44100, 44100, 7, KVE_STACK, &s), KVE_OK);
    EXPECT_EQ(s.rows, 7 * s.bins);
    EXPECT_EQ(kve_streamShapeOf(0.08, 0.25f, 44100, LONG_MAX, 1, KVE_SUM, &s), KVE_TOO_LARGE);
}

TEST(StreamShape, MemoryEstimateCountsTheMatricesAndStaysSmallBeyondThem) {
    // an hour of stereo at 44.1 kHz, summed rows
    const kve_streamShape s = shape(0.08, 0.25f, 44100, 44100L * 3600, 2);
    const size_t vwh = (size_t(s.rows) * size_t(s.frames) + size_t(s.rows + s.frames) * 10) * 8;
    const size_t m = kve_streamMemory(&s, 10, 10, 8);
    EXPECT_GE(m, vwh);
    EXPECT_LT(m, vwh + (64u << 20)) << "the scratch is blocks, not spectrograms";
    EXPECT_EQ(kve_streamMemory(&s, 0, 10, 8), SIZE_MAX);
    const size_t vf = size_t(s.rows) * size_t(s.frames) * 4;
    EXPECT_EQ(kve_streamMemory(&s, 10, 10, 4), m - vf) << "V as floats takes half";
}

TEST(StreamAnalysis, MatchesNaiveDftOfThePaddedFrames) {
    // frame counts below, at and across blocks; hops N/4, N/8, 3N/4
    const struct {
        int N, hop;
        long L;
    } cases[] = {{16, 4, 40}, {32, 4, 300}, {64, 48, 2000}, {32, 8, 1000}};
    for (auto &c : cases)
        for (int ch : {1, 2})
            for (kve_rows mode : {KVE_SUM, KVE_STACK}) {
                const kve_streamShape s = shape(c.N, float(c.hop) / float(c.N), 1.0, c.L, ch, mode);
                const kvt::Chans x = kvt::sound(ch, c.L, unsigned(c.N + ch));
                const std::vector<double> V = analyse(s, x);
                std::vector<double> ref;
                if (ch == 2 && mode == KVE_STACK) {
                    ref = naive_magnitudes(s, x[0]);
                    const std::vector<double> r = naive_magnitudes(s, x[1]);
                    ref.insert(ref.end(), r.begin(), r.end());
                } else {
                    std::vector<double> sum = x[0];
                    for (size_t n = 0; ch == 2 && n < sum.size(); n++) sum[n] += x[1][n];
                    ref = naive_magnitudes(s, sum);
                }
                ASSERT_EQ(V.size(), ref.size());
                // sums of N terms of size about 1, as in the qm STFT tests
                for (size_t i = 0; i < V.size(); i++)
                    ASSERT_NEAR(V[i], ref[i], 1e-12 * c.N)
                        << "N " << c.N << " ch " << ch << " mode " << mode << " cell " << i;
            }
}

TEST(StreamAnalysis, AgreesWithQmStftInsideTheSoundAndOnEitherThreadCount) {
    const long L = 5000;
    const kve_streamShape s = shape(0.016, 0.25f, 8000, L, 2, KVE_STACK);  // N 128, hop 32
    const kvt::Chans x = kvt::sound(2, L, 5);
    const std::vector<double> V = analyse(s, x, 2);
    EXPECT_EQ(analyse(s, x, 1), V) << "bit for bit on one thread";
    kvt::Source src{x};
    std::vector<float> Vf(V.size(), -1.0f);
    ASSERT_EQ(kve_streamAnalyseFloat(&s, src.source(), Vf.data(), 2), KVE_OK);
    for (size_t i = 0; i < V.size(); i++)
        ASSERT_EQ(Vf[i], float(V[i])) << "the float rows are the doubles rounded, cell " << i;
    const int inner = int((L - s.N) / s.hop) + 1;  // frames of qm_STFT from sample 0
    const long t_first = s.lead / s.hop;           // our frame that starts at sample 0
    ref::Setup fft(7);
    std::vector<double> re(size_t(s.bins) * inner), im(re.size());
    for (int c = 0; c < 2; c++) {
        ASSERT_EQ(qm_STFT(fft, x[size_t(c)].data(), s.N, inner, s.hop, re.data(), im.data()), 0);
        for (int b = 0; b < s.bins; b++)
            for (int t = 0; t < inner; t++) {
                const double v = V[size_t(c * s.bins + b) * size_t(s.frames) + size_t(t_first + t)];
                const double q = std::hypot(re[size_t(b) * inner + t], im[size_t(b) * inner + t]);
                ASSERT_NEAR(v, q, 1e-13 * s.N) << "rounding only";
            }
    }
}
