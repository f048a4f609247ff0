// The rounds on bands of bins: the layout, the start, and the factorisation
// that runs its first rounds on the bands and its last on every row.
#include "kv_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace {

kve_streamShape shapeOf(int channels, double rate) {
    kve_streamShape s{};
    EXPECT_EQ(kve_streamShapeOf(0.1, 0.25f, rate, long(rate), channels,
                                channels > 1 ? KVE_STACK : KVE_SUM, &s),
              KVE_OK);
    return s;
}

// V with a few harmonic sounds, rows x frames
std::vector<float> spectrogram(int rows, int frames) {
    std::vector<float> V(size_t(rows) * frames);
    for (int r = 0; r < rows; ++r)
        for (int t = 0; t < frames; ++t)
            V[size_t(r) * frames + t] =
                float(0.05 + (r % 7 == 0) * (1 + std::sin(0.2 * t)) +
                      (r % 11 == 0) * (1 + std::cos(0.13 * t)) + 0.3 / (1 + r) * (t % 9 == 0));
    return V;
}

struct Banded {
    int rows, frames, K = 3;
    std::vector<int> bandOf;
    int bands = 0;
    std::vector<float> V;
    std::vector<double> W, H;
    explicit Banded(int channels) {
        const kve_streamShape s = shapeOf(channels, 8000);
        rows = s.rows;
        frames = 60;
        bandOf.resize(size_t(rows));
        bands = kve_bandLayout(&s, 8000, 250, bandOf.data());
        V = spectrogram(rows, frames);
        W.resize(size_t(rows) * K);
        H.resize(size_t(K) * frames);
    }
    // V summed over each band, as floats of double sums
    std::vector<float> bandV() const {
        std::vector<double> acc(size_t(bands) * frames, 0.0);
        for (int r = 0; r < rows; ++r)
            for (int t = 0; t < frames; ++t)
                acc[size_t(bandOf[size_t(r)]) * frames + t] += V[size_t(r) * frames + t];
        return std::vector<float>(acc.begin(), acc.end());
    }
    std::vector<double> bandW() const {
        std::vector<double> Wb(size_t(bands) * K, 0.0);
        for (int r = 0; r < rows; ++r)
            for (int k = 0; k < K; ++k)
                Wb[size_t(bandOf[size_t(r)]) * K + k] += W[size_t(r) * K + k];
        return Wb;
    }
};

int noteRounds(int done, int total, void *user) {
    auto *seen = static_cast<std::vector<int> *>(user);
    seen->push_back(done);
    EXPECT_GT(total, 0);
    return 0;
}

int stopAt7(int done, int, void *) {
    return done == 7;
}

}  // namespace

// Below twice the frequency each bin is a band; each octave above has bands
// twice as wide as the one below; the channels' blocks have the same bands,
// numbered after one another.
TEST(StreamBands, TheLayoutWidensByTheOctave) {
    for (double rate : {22050.0, 44100.0}) {
        const kve_streamShape s = shapeOf(2, rate);
        std::vector<int> bandOf(size_t(s.rows), -1);
        const int n = kve_bandLayout(&s, int(rate), 250, bandOf.data());
        ASSERT_GT(n, 0);
        ASSERT_EQ(n % 2, 0);
        const int per = n / 2;
        EXPECT_LT(per, s.bins / 4) << rate;  // a few times fewer rows
        const double hz = rate / s.N;
        std::vector<int> width(size_t(per), 0), first(size_t(per), -1);
        for (int b = 0; b < s.bins; ++b) {
            const int g = bandOf[size_t(b)];
            ASSERT_TRUE(g >= 0 && g < per);
            if (b > 0) {
                ASSERT_TRUE(g == bandOf[size_t(b - 1)] || g == bandOf[size_t(b - 1)] + 1);
            }
            if (first[size_t(g)] < 0) first[size_t(g)] = b;
            width[size_t(g)]++;
            EXPECT_EQ(bandOf[size_t(s.bins + b)], per + g);  // the second channel
        }
        for (int g = 0; g + 1 < per; ++g) {  // the last band may be cut at the top
            const double f = first[size_t(g)] * hz;
            const int w = width[size_t(g)];
            EXPECT_EQ(w & (w - 1), 0) << g;  // a power of two
            EXPECT_LT(f, 2.0 * 250 * 2 * w) << g;
            if (w > 1) {
                EXPECT_GE(f, 2.0 * 250 * w / 2) << g;
            }
        }
        EXPECT_EQ(width[0], 1);
    }
}

TEST(StreamBands, NoBandsWhereNoTwoBinsWouldShare) {
    const kve_streamShape s = shapeOf(1, 8000);
    std::vector<int> bandOf(size_t(s.rows), -7);
    for (double hz : {0.0, -250.0, double(NAN), 8000.0})
        EXPECT_EQ(kve_bandLayout(&s, 8000, hz, bandOf.data()), 0) << hz;
    EXPECT_EQ(kve_bandLayout(&s, 0, 250, bandOf.data()), 0);
    EXPECT_EQ(bandOf[0], -7);
    kve_streamShape odd = s;
    odd.rows = s.rows + 1;  // rows that are no whole number of blocks
    EXPECT_EQ(kve_bandLayout(&odd, 8000, 250, bandOf.data()), 0);
}

// The start is the bands' own nndsvda start, each band's spectrum shared
// among its rows by their magnitude: summed over the bands, W is that start.
TEST(StreamBands, TheStartIsTheBandsStartSharedByMagnitude) {
    Banded p(2);
    ASSERT_GT(p.bands, 0);
    const int silent = p.bandOf[400];  // a band of several rows, which then share it evenly
    for (int r = 0; r < p.rows; ++r)
        if (p.bandOf[size_t(r)] == silent)
            for (int t = 0; t < p.frames; ++t) p.V[size_t(r) * p.frames + t] = 0;
    ASSERT_EQ(kve_bandStart(p.V.data(), p.rows, p.frames, p.K, 9, p.bandOf.data(), p.bands,
                            p.W.data(), p.H.data()),
              0);
    const std::vector<float> Vb = p.bandV();
    std::vector<double> Wb(size_t(p.bands) * p.K), Hb(size_t(p.K) * p.frames);
    ASSERT_EQ(kve_nndsvdaStart(Vb.data(), p.bands, p.frames, p.K, 9, Wb.data(), Hb.data()), 0);
    EXPECT_EQ(p.H, Hb);
    const std::vector<double> summed = p.bandW();
    for (size_t i = 0; i < Wb.size(); ++i) EXPECT_NEAR(summed[i], Wb[i], 1e-12 * std::fabs(Wb[i]));
    for (int r = 0; r < p.rows; ++r) {
        const int g = p.bandOf[size_t(r)];
        const double rowSum = std::accumulate(p.V.begin() + long(r) * p.frames,
                                              p.V.begin() + long(r + 1) * p.frames, 0.0);
        double bandSum = 0;
        int members = 0;
        for (int q = 0; q < p.rows; ++q)
            if (p.bandOf[size_t(q)] == g) {
                bandSum += std::accumulate(p.V.begin() + long(q) * p.frames,
                                           p.V.begin() + long(q + 1) * p.frames, 0.0);
                members++;
            }
        const double share = bandSum > 0 ? rowSum / bandSum : 1.0 / members;
        for (int k = 0; k < p.K; ++k)
            EXPECT_NEAR(p.W[size_t(r) * p.K + k], Wb[size_t(g) * p.K + k] * share,
                        1e-9 * std::fabs(Wb[size_t(g) * p.K + k]))
                << r;
    }
    std::vector<int> scrambled = p.bandOf;
    std::swap(scrambled[1], scrambled[40]);
    EXPECT_EQ(kve_bandStart(p.V.data(), p.rows, p.frames, p.K, 9, scrambled.data(), p.bands,
                            p.W.data(), p.H.data()),
              -1);
}

// With no rounds left for every row, the run is the rounds on the bands
// (H to the bit), W's rows then their band's spectrum in their share.
// With them, the progress counts every round once, in order, and the last
// rounds lower the cost on every row.
TEST(StreamBands, TheFirstRoundsAreTheBandsOwn) {
    kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    m.relax = 1.75;
    for (int precision : {KVE_DOUBLE, KVE_SINGLE}) {
        Banded p(2), q(2);
        ASSERT_EQ(kve_bandStart(p.V.data(), p.rows, p.frames, p.K, 4, p.bandOf.data(), p.bands,
                                p.W.data(), p.H.data()),
                  0);
        q.W = p.W;
        q.H = p.H;
        kve_rounds how{};
        how.cost = KVE_KULLBACK_LEIBLER;
        how.iterations = 30;
        how.fixedK = -1;
        how.model = &m;
        how.precision = precision;
        how.bandOf = p.bandOf.data();
        how.bands = p.bands;
        how.fineRounds = 0;
        kve_roundsDone done{};
        ASSERT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(),
                                      &how, nullptr, nullptr, &done),
                  KVE_OK);
        EXPECT_EQ(done.iterations, 30);

        const std::vector<float> Vb = q.bandV();
        std::vector<double> Wb = q.bandW(), Hb = q.H;
        kve_rounds plain = how;
        plain.bandOf = nullptr;
        plain.bands = 0;
        ASSERT_EQ(kve_streamFactorise(Vb.data(), q.bands, q.frames, q.K, Wb.data(), Hb.data(),
                                      &plain, nullptr, nullptr, nullptr),
                  KVE_OK);
        EXPECT_EQ(p.H, Hb) << precision;
        const std::vector<double> summed = p.bandW();
        for (size_t i = 0; i < Wb.size(); ++i)
            EXPECT_NEAR(summed[i], Wb[i], 1e-12 * std::fabs(Wb[i]) + 1e-300) << precision;

        // then 20 rounds on every row: a cost below the bands' end
        const double banded =
            kve_betaDivergence(1.0, p.V.data(), p.W.data(), p.H.data(), p.rows, p.frames, p.K, 1);
        std::vector<int> seen;
        how.iterations = 25;
        how.fineRounds = 20;
        ASSERT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(),
                                      &how, noteRounds, &seen, &done),
                  KVE_OK);
        std::vector<int> want(25);
        std::iota(want.begin(), want.end(), 1);
        EXPECT_EQ(seen, want);
        EXPECT_EQ(done.iterations, 25);
        EXPECT_LT(done.cost, banded);
    }
}

TEST(StreamBands, BadBandsAreRefusedAndAStopIsHeard) {
    Banded p(1);
    ASSERT_GT(p.bands, 0);
    kve_randomStart(3, p.rows, p.frames, p.K, p.W.data(), p.H.data());
    kve_model m = kve_plainModel(KVE_KULLBACK_LEIBLER);
    m.relax = 1.5;
    kve_model span = m;
    span.span = 2;
    kve_model plain = kve_plainModel(KVE_KULLBACK_LEIBLER);
    std::vector<int> gap = p.bandOf, tooMany(size_t(p.rows));
    gap[size_t(p.rows) / 2] += 1;  // a band with no rows
    std::iota(tooMany.begin(), tooMany.end(), 0);
    struct Case {
        const kve_model *model;
        const int *bandOf;
        int bands, fine;
    } cases[] = {
        {&plain, p.bandOf.data(), p.bands, 20}, {nullptr, p.bandOf.data(), p.bands, 20},
        {&span, p.bandOf.data(), p.bands, 20},  {&m, p.bandOf.data(), p.bands, -1},
        {&m, p.bandOf.data(), 0, 20},           {&m, gap.data(), p.bands, 20},
        {&m, tooMany.data(), p.rows, 20},
    };
    const std::vector<double> W0 = p.W;
    int n = 0;
    for (const Case &c : cases) {
        kve_rounds how{};
        how.cost = KVE_KULLBACK_LEIBLER;
        how.iterations = 10;
        how.fixedK = -1;
        how.model = c.model;
        how.bandOf = c.bandOf;
        how.bands = c.bands;
        how.fineRounds = c.fine;
        EXPECT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(),
                                      &how, nullptr, nullptr, nullptr),
                  KVE_BAD_ARGUMENT)
            << n++;
    }
    EXPECT_EQ(p.W, W0);

    kve_rounds how{};
    how.cost = KVE_KULLBACK_LEIBLER;
    how.iterations = 40;
    how.fixedK = -1;
    how.model = &m;
    how.bandOf = p.bandOf.data();
    how.bands = p.bands;
    how.fineRounds = 20;
    EXPECT_EQ(kve_streamFactorise(p.V.data(), p.rows, p.frames, p.K, p.W.data(), p.H.data(), &how,
                                  stopAt7, nullptr, nullptr),
              KVE_STOPPED);
}
