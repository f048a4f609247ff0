// Mask resynthesis against the naive overlap-add of the filtered spectrum.
#include "qm_audio.h"
#include "dft_reference.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Case {
    static constexpr int N = 64, hop = 16, frames = 19, bins = N / 2 + 1;
    ref::Setup s{6};
    std::vector<double> x = ref::noise(size_t(frames - 1) * hop + N, 21);
    std::vector<double> re, im;
    Case() { ref::stft(x, N, frames, hop, re, im); }
    size_t cells() const { return re.size(); }
    std::vector<double> run(const std::vector<double> &mask, const std::vector<double> &model,
                            int *rc = nullptr) {
        std::vector<double> out(x.size(), 0.0);
        int r = qm_wienerResynth(mask.data(), model.data(), re.data(), im.data(), bins, frames, s,
                                 N, hop, out.data());
        if (rc) *rc = r;
        return out;
    }
    std::vector<double> naive(const std::vector<double> &mask, const std::vector<double> &model) {
        std::vector<double> fr(cells()), fi(cells()), out(x.size(), 0.0);
        for (size_t i = 0; i < cells(); i++) {
            double g = mask[i] / (model[i] + 0.1);
            fr[i] = g * re[i];
            fi[i] = g * im[i];
        }
        ref::istft(fr, fi, N, frames, hop, out);
        return out;
    }
};

// spectra of size up to 64 through sums of 64 terms
constexpr double kTol = 1e-11;

}  // namespace

TEST(Wiener, MatchesNaiveFilteredOverlapAdd) {
    Case c;
    std::vector<double> mask = ref::noise(c.cells(), 4), model = ref::noise(c.cells(), 5);
    for (size_t i = 0; i < c.cells(); i++) {
        mask[i] = std::fabs(mask[i]);
        model[i] = 3 * std::fabs(model[i]);
    }
    int rc = 1;
    std::vector<double> out = c.run(mask, model, &rc), want = c.naive(mask, model);
    EXPECT_EQ(rc, 0);
    for (size_t n = 0; n < out.size(); n++) ASSERT_NEAR(out[n], want[n], kTol) << n;
}

TEST(Wiener, ZeroMaskAddsNothingAndZeroModelGivesTenTimesTheMask) {
    Case c;
    std::vector<double> zeros(c.cells(), 0.0), halves(c.cells(), 0.5);
    for (double v : c.run(zeros, halves)) ASSERT_EQ(v, 0.0);
    // where the model is 0 the gain is mask / 0.1
    std::vector<double> out = c.run(halves, zeros), fr = c.re, fi = c.im, want(out.size(), 0.0);
    for (size_t i = 0; i < c.cells(); i++) {
        fr[i] *= 5.0;
        fi[i] *= 5.0;
    }
    ref::istft(fr, fi, Case::N, Case::frames, Case::hop, want);
    for (size_t n = 0; n < out.size(); n++)
        ASSERT_NEAR(out[n], want[n], kTol * 5);  // five times larger values
}

TEST(Wiener, MaskEqualToALargeModelNearlyRestoresTheRoundTrip) {
    Case c;
    std::vector<double> big(c.cells(), 1e6);
    std::vector<double> out = c.run(big, big);
    // gain 1e6 / (1e6 + 0.1) differs from 1 by 1e-7
    for (size_t n = 3 * Case::hop; n < size_t(Case::frames) * Case::hop; n++)
        ASSERT_NEAR(out[n], 1.68 * c.x[n], 1e-6) << n;
}

TEST(Wiener, LinearInTheMaskButNotInMaskAndModelTogether) {
    Case c;
    std::vector<double> mask = ref::noise(c.cells(), 6), model(c.cells(), 0.2);
    for (double &m : mask) m = std::fabs(m);
    std::vector<double> mask2 = mask, model2 = model;
    for (double &m : mask2) m *= 2;
    for (double &m : model2) m *= 2;
    std::vector<double> a = c.run(mask, model), b = c.run(mask2, model), d = c.run(mask2, model2);
    double diff = 0;
    for (size_t n = 0; n < a.size(); n++) {
        EXPECT_NEAR(b[n], 2 * a[n], kTol);
        diff = std::max(diff, std::fabs(d[n] - a[n]));
    }
    EXPECT_GT(diff, 0.01);  // the constant 0.1 does not scale
}

TEST(Wiener, RowsMustBeTheBinsOfN) {
    Case c;
    std::vector<double> m(c.cells(), 1.0), out(c.x.size(), 4.0);
    EXPECT_EQ(qm_wienerResynth(m.data(), m.data(), c.re.data(), c.im.data(), Case::bins - 1,
                               Case::frames, c.s, Case::N, Case::hop, out.data()),
              -1);
    for (double v : out) EXPECT_EQ(v, 4.0);
    EXPECT_EQ(qm_wienerResynth(m.data(), m.data(), c.re.data(), c.im.data(), Case::bins, 0, c.s,
                               Case::N, Case::hop, out.data()),
              0);
    EXPECT_EQ(out[0], 4.0);
}

// Two channels through one mask and model, over several blocks of frames and
// a partial one; each output keeps what it held before.
TEST(Wiener, TwoChannelsShareTheGains) {
    constexpr int N = 64, hop = 16, frames = 75, bins = N / 2 + 1;
    ref::Setup s{6};
    const size_t len = size_t(frames - 1) * hop + N, cells = size_t(bins) * frames;
    std::vector<double> xl = ref::noise(len, 31), xr = ref::noise(len, 32, 0.5);
    std::vector<double> reL, imL, reR, imR;
    ref::stft(xl, N, frames, hop, reL, imL);
    ref::stft(xr, N, frames, hop, reR, imR);
    std::vector<double> mask = ref::noise(cells, 6), model = ref::noise(cells, 7);
    for (size_t i = 0; i < cells; i++) {
        mask[i] = std::fabs(mask[i]);
        model[i] = 2 * std::fabs(model[i]);
    }
    auto naive = [&](const std::vector<double> &re, const std::vector<double> &im, double base) {
        std::vector<double> fr(cells), fi(cells), out(len, base);
        for (size_t i = 0; i < cells; i++) {
            double g = mask[i] / (model[i] + 0.1);
            fr[i] = g * re[i];
            fi[i] = g * im[i];
        }
        ref::istft(fr, fi, N, frames, hop, out);
        return out;
    };
    std::vector<double> outL(len, 0.25), outR(len, -0.5);
    EXPECT_EQ(qm_wienerResynth2(mask.data(), model.data(), reL.data(), imL.data(), reR.data(),
                                imR.data(), bins, frames, s, N, hop, outL.data(), outR.data()),
              0);
    std::vector<double> wantL = naive(reL, imL, 0.25), wantR = naive(reR, imR, -0.5);
    for (size_t n = 0; n < len; n++) {
        ASSERT_NEAR(outL[n], wantL[n], kTol) << n;
        ASSERT_NEAR(outR[n], wantR[n], kTol) << n;
    }
    // without a second channel only the first is written
    std::vector<double> mono(len, 0.25);
    EXPECT_EQ(qm_wienerResynth2(mask.data(), model.data(), reL.data(), imL.data(), nullptr, nullptr,
                                bins, frames, s, N, hop, mono.data(), nullptr),
              0);
    EXPECT_EQ(mono, outL);  // the same arithmetic per channel, bit for bit
    // refused arguments leave both outputs as they were
    std::vector<double> keepL(outL), keepR(outR);
    EXPECT_EQ(qm_wienerResynth2(mask.data(), model.data(), reL.data(), imL.data(), reR.data(),
                                imR.data(), bins + 1, frames, s, N, hop, outL.data(), outR.data()),
              -1);
    EXPECT_EQ(outL, keepL);
    EXPECT_EQ(outR, keepR);
}

// The frames are shared by two threads cut near the middle; the samples
// around the cut must still be summed in frame order, so the result is the
// same, bit for bit, as the plain inverse transform of the gained spectrum.
// Hops that do and do not divide N, hops past N, odd ones, and frame counts
// that leave no cut, a cut on a block edge and a partial last block.
TEST(Wiener, ThreadCutSumsInFrameOrder) {
    constexpr int N = 64, bins = N / 2 + 1;
    ref::Setup s{6};
    for (int hop : {16, 5, 32, 64, 80, 1}) {
        for (int frames : {1, 33, 64, 65, 150}) {
            const size_t len = size_t(frames - 1) * hop + N, cells = size_t(bins) * frames;
            std::vector<double> reL = ref::noise(cells, 41), imL = ref::noise(cells, 42);
            std::vector<double> reR = ref::noise(cells, 43), imR = ref::noise(cells, 44);
            std::vector<double> mask = ref::noise(cells, 45), model = ref::noise(cells, 46);
            for (size_t i = 0; i < cells; i++) {
                mask[i] = std::fabs(mask[i]);
                model[i] = std::fabs(model[i]);
            }
            auto plain = [&](const std::vector<double> &re, const std::vector<double> &im,
                             double base) {
                std::vector<double> fr(cells), fi(cells), out(len, base);
                for (size_t i = 0; i < cells; i++) {
                    double g = mask[i] / (model[i] + 0.1);
                    fr[i] = g * re[i];
                    fi[i] = g * im[i];
                }
                EXPECT_EQ(qm_ISTFT(s, fr.data(), fi.data(), N, frames, hop, out.data()), 0);
                return out;
            };
            std::vector<double> outL(len, 0.375), outR(len, -1.5), mono(len, 0.375);
            ASSERT_EQ(qm_wienerResynth2(mask.data(), model.data(), reL.data(), imL.data(),
                                        reR.data(), imR.data(), bins, frames, s, N, hop,
                                        outL.data(), outR.data()),
                      0);
            ASSERT_EQ(qm_wienerResynth(mask.data(), model.data(), reL.data(), imL.data(), bins,
                                       frames, s, N, hop, mono.data()),
                      0);
            EXPECT_EQ(outL, plain(reL, imL, 0.375)) << "hop " << hop << ", frames " << frames;
            EXPECT_EQ(outR, plain(reR, imR, -1.5)) << "hop " << hop << ", frames " << frames;
            EXPECT_EQ(mono, outL) << "hop " << hop << ", frames " << frames;
        }
    }
}
