// qm_NMFFromFixed (V as floats): the given columns of W stay as they were, bit for bit,
// while H and the other columns follow the plain updates.
#include "nmf_checks.hpp"
#include "qm_matrixOps.h"

#include <vector>

namespace {

using naive::Mat;

// Plain rounds with the first fixedK columns of W put back after each:
// every update reads the old W, so this is the held-fixed update.
void naiveFixed(int eucl, const Mat &V, int F, int T, int K, int fixedK, int iter, Mat &W, Mat &H) {
    for (int i = 0; i < iter; i++) {
        Mat before = W;
        (eucl ? naive::euclStep : naive::klStep)(V, F, T, K, W, H);
        for (int f = 0; f < F; f++)
            for (int k = 0; k < fixedK; k++) W[(size_t)f * K + k] = before[(size_t)f * K + k];
    }
}

// V rounded to floats in place, and those floats (widening them is exact, so
// the double references see the same V)
std::vector<float> asFloats(Mat &V) {
    std::vector<float> f(V.size());
    for (size_t i = 0; i < V.size(); i++) V[i] = f[i] = (float)V[i];
    return f;
}

struct Case {
    int F, T, K, fixedK;
};

// All held (only the H pass runs), some held, none held; K with and
// without a specialised kernel, a frame tail, a size that is threaded.
TEST(NMFFromFixed, HeldColumnsStayAndTheRestFollowThePlainUpdates) {
    const Case cases[] = {
        {30, 41, 3, 3}, {30, 41, 3, 1}, {25, 37, 5, 0}, {12, 19, 18, 11}, {300, 400, 6, 4}};
    for (int eucl : {0, 1})
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << "eucl=" << eucl << " F=" << c.F << " T=" << c.T
                                            << " K=" << c.K << " fixed=" << c.fixedK);
            Mat V = naive::productV(c.F, c.T, 4, 21, 0.05);
            std::vector<float> Vf = asFloats(V);
            Mat W, H;
            srand(5);
            naive::init(c.F, c.T, c.K, W, H);
            Mat W0 = W, Wn = W, Hn = H;
            ASSERT_EQ(qm_NMFFromFixed(eucl, Vf.data(), c.F, c.T, c.K, c.fixedK, 20, W.data(),
                                      H.data(), nullptr, nullptr),
                      0);
            naiveFixed(eucl, V, c.F, c.T, c.K, c.fixedK, 20, Wn, Hn);
            for (int f = 0; f < c.F; f++)
                for (int k = 0; k < c.K; k++) {
                    size_t i = (size_t)f * c.K + k;
                    if (k < c.fixedK)
                        ASSERT_EQ(W[i], W0[i]) << "held W[" << f << "," << k << "] moved";
                    else
                        EXPECT_NEAR(W[i], Wn[i], 1e-10 * std::fabs(Wn[i])) << "W[" << i << "]";
                }
            for (size_t i = 0; i < H.size(); i++)
                EXPECT_NEAR(H[i], Hn[i], 1e-10 * std::fabs(Hn[i]) + 1e-300) << "H[" << i << "]";
        }
}

// With nothing held it is qm_NMFFrom's rounds without the final order; the
// order it keeps is the given one. The divergence falls with W all held.
TEST(NMFFromFixed, NothingHeldIsTheFreeRunUnordered) {
    const int F = 40, T = 70, K = 4;
    Mat V = naive::productV(F, T, K, 4, 0.1);
    std::vector<float> Vf = asFloats(V);
    Mat W, H;
    srand(3);
    naive::init(F, T, K, W, H);
    Mat W2 = W, H2 = H, W3 = W, H3 = H;
    ASSERT_EQ(qm_NMFFromFixed(0, Vf.data(), F, T, K, 0, 30, W.data(), H.data(), nullptr, nullptr),
              0);
    ASSERT_EQ(qm_NMFFrom(0, V.data(), F, T, K, 30, W2.data(), H2.data(), nullptr, nullptr), 0);
    naive::order(F, T, K, W, H);
    EXPECT_EQ(W, W2);
    EXPECT_EQ(H, H2);

    double d0 = naive::klDiv(V, W3, H3, F, T, K);
    ASSERT_EQ(qm_NMFFromFixed(0, Vf.data(), F, T, K, K, 30, W3.data(), H3.data(), nullptr, nullptr),
              0);
    EXPECT_LT(naive::klDiv(V, W3, H3, F, T, K), 0.5 * d0);
}

}  // namespace
