// Plain triple-loop versions of the factorisation formulas, written from the
// update rules alone, to compare the library against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <vector>

namespace naive {

using Mat = std::vector<double>;
constexpr double kEps = 2.220446049250313e-16;

// C (m x n) = A (m x p) B (p x n), ascending sums
inline Mat mul(const Mat &A, const Mat &B, int m, int n, int p) {
    Mat C((size_t)m * n, 0.0);
    for (int i = 0; i < m; i++)
        for (int j = 0; j < n; j++) {
            double s = 0.0;
            for (int k = 0; k < p; k++) s += A[(size_t)i * p + k] * B[(size_t)k * n + j];
            C[(size_t)i * n + j] = s;
        }
    return C;
}

// V ./ (W H + eps), as the reciprocal times V
inline Mat klQuotient(const Mat &V, const Mat &W, const Mat &H, int F, int T, int K) {
    Mat Q = mul(W, H, F, T, K);
    for (size_t i = 0; i < Q.size(); i++) Q[i] = (1.0 / (Q[i] + kEps)) * V[i];
    return Q;
}

inline void klStep(const Mat &V, int F, int T, int K, Mat &W, Mat &H) {
    Mat Q = klQuotient(V, W, H, F, T, K);
    for (int k = 0; k < K; k++) {
        double den = 0.0;
        for (int f = 0; f < F; f++) den += W[(size_t)f * K + k];
        den += kEps;
        for (int t = 0; t < T; t++) {
            double num = 0.0;
            for (int f = 0; f < F; f++) num += W[(size_t)f * K + k] * Q[(size_t)f * T + t];
            H[(size_t)k * T + t] *= num / den;
        }
    }
    Q = klQuotient(V, W, H, F, T, K);
    for (int k = 0; k < K; k++) {
        double den = 0.0;
        for (int t = 0; t < T; t++) den += H[(size_t)k * T + t];
        den += kEps;
        for (int f = 0; f < F; f++) {
            double num = 0.0;
            for (int t = 0; t < T; t++) num += Q[(size_t)f * T + t] * H[(size_t)k * T + t];
            W[(size_t)f * K + k] *= num / den;
        }
    }
}

inline void euclStep(const Mat &V, int F, int T, int K, Mat &W, Mat &H) {
    // H <- H .* (W'V) ./ ((W'W) H + eps); every new element reads the old H
    Mat G((size_t)K * K, 0.0);
    for (int a = 0; a < K; a++)
        for (int b = 0; b < K; b++)
            for (int f = 0; f < F; f++)
                G[(size_t)a * K + b] += W[(size_t)f * K + a] * W[(size_t)f * K + b];
    Mat Hn = H;
    for (int k = 0; k < K; k++)
        for (int t = 0; t < T; t++) {
            double num = 0.0, den = 0.0;
            for (int f = 0; f < F; f++) num += W[(size_t)f * K + k] * V[(size_t)f * T + t];
            for (int j = 0; j < K; j++) den += G[(size_t)k * K + j] * H[(size_t)j * T + t];
            Hn[(size_t)k * T + t] = H[(size_t)k * T + t] * (num / (den + kEps));
        }
    H = Hn;

    // W <- W .* (V H') ./ (W (H H') + eps), with the new H
    for (int a = 0; a < K; a++)
        for (int b = 0; b < K; b++) {
            double g = 0.0;
            for (int t = 0; t < T; t++) g += H[(size_t)a * T + t] * H[(size_t)b * T + t];
            G[(size_t)a * K + b] = g;
        }
    Mat Wn = W;
    for (int f = 0; f < F; f++)
        for (int k = 0; k < K; k++) {
            double num = 0.0, den = 0.0;
            for (int t = 0; t < T; t++) num += V[(size_t)f * T + t] * H[(size_t)k * T + t];
            for (int j = 0; j < K; j++) den += W[(size_t)f * K + j] * G[(size_t)j * K + k];
            Wn[(size_t)f * K + k] = W[(size_t)f * K + k] * (num / (den + kEps));
        }
    W = Wn;
}

// W then H from rand(), each in storage order
inline void init(int F, int T, int K, Mat &W, Mat &H) {
    W.assign((size_t)F * K, 0.0);
    H.assign((size_t)K * T, 0.0);
    for (auto &w : W) w = std::rand() / 2147483647.0;
    for (auto &h : H) h = std::rand() / 2147483647.0;
}

// components by descending sum of squares of H's rows, ties in index order
inline void order(int F, int T, int K, Mat &W, Mat &H) {
    std::vector<double> e(K, 0.0);
    for (int k = 0; k < K; k++)
        for (int t = 0; t < T; t++) e[k] += H[(size_t)k * T + t] * H[(size_t)k * T + t];
    std::vector<int> idx(K);
    std::iota(idx.begin(), idx.end(), 0);
    std::stable_sort(idx.begin(), idx.end(), [&](int a, int b) { return e[a] > e[b]; });
    Mat W2 = W, H2 = H;
    for (int i = 0; i < K; i++) {
        for (int f = 0; f < F; f++) W2[(size_t)f * K + i] = W[(size_t)f * K + idx[i]];
        for (int t = 0; t < T; t++) H2[(size_t)i * T + t] = H[(size_t)idx[i] * T + t];
    }
    W = W2;
    H = H2;
}

// generalised Kullback-Leibler divergence D(V | WH), 0 log 0 = 0
inline double klDiv(const Mat &V, const Mat &W, const Mat &H, int F, int T, int K) {
    Mat M = mul(W, H, F, T, K);
    double d = 0.0;
    for (size_t i = 0; i < V.size(); i++) {
        if (V[i] > 0.0) d += V[i] * std::log(V[i] / M[i]);
        d += M[i] - V[i];
    }
    return d;
}

// squared Euclidean distance |V - WH|^2
inline double euclDist2(const Mat &V, const Mat &W, const Mat &H, int F, int T, int K) {
    Mat M = mul(W, H, F, T, K);
    double d = 0.0;
    for (size_t i = 0; i < V.size(); i++) d += (V[i] - M[i]) * (V[i] - M[i]);
    return d;
}

}  // namespace naive
