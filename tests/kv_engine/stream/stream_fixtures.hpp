// A source over sounds held in memory and a sink that collects every output,
// both checking the order the streaming calls promise.
#pragma once

#include "kv_stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kvt {

using Chans = std::vector<std::vector<double>>;

struct Source {
    Chans x;
    long next = 0;      // requests come in increasing order
    long fail_at = -1;  // a request reaching this sample fails
    int calls = 0;

    static int read(void *user, long start, long count, double *const *ch) {
        auto *s = static_cast<Source *>(user);
        s->calls++;
        const long L = long(s->x[0].size());
        EXPECT_GE(start, s->next);
        EXPECT_GE(start, 0);
        EXPECT_LE(start + count, L);
        EXPECT_GT(count, 0);
        if (start < s->next || start < 0 || start + count > L) return 1;
        s->next = start + count;
        if (s->fail_at >= 0 && start + count > s->fail_at) return 7;
        for (size_t c = 0; c < s->x.size(); c++)
            for (long i = 0; i < count; i++) ch[c][i] = s->x[c][size_t(start + i)];
        return 0;
    }
    kve_source source() { return {read, this}; }
};

struct Sink {
    std::vector<Chans> out;  // outputs x channels x samples
    std::vector<long> next;  // each output's samples come in order, once
    int fail_after = -1;     // calls allowed before one fails
    int calls = 0;

    Sink(int outputs, int channels, long L)
        : out(size_t(outputs), Chans(size_t(channels), std::vector<double>(size_t(L), NAN))),
          next(size_t(outputs), 0) {}
    template <typename S>
    static int write(void *user, int o, long start, long count, const S *const *ch) {
        auto *s = static_cast<Sink *>(user);
        if (s->fail_after >= 0 && s->calls >= s->fail_after) return 3;
        s->calls++;
        EXPECT_EQ(start, s->next[size_t(o)]) << "output " << o;
        EXPECT_LE(start + count, long(s->out[0][0].size()));
        if (start != s->next[size_t(o)] || start + count > long(s->out[0][0].size())) return 1;
        s->next[size_t(o)] = start + count;
        for (size_t c = 0; c < s->out[size_t(o)].size(); c++)
            for (long i = 0; i < count; i++) s->out[size_t(o)][c][size_t(start + i)] = ch[c][i];
        return 0;
    }
    kve_sink sink() { return {write<double>, this}; }
    kve_sinkSingle sinkSingle() { return {write<float>, this}; }
};

// noise with a few partials, different in each channel
inline Chans sound(int channels, long L, unsigned seed) {
    Chans x(size_t(channels), std::vector<double>(size_t(L), 0.0));
    for (int c = 0; c < channels; c++) {
        unsigned r = seed * 7919u + unsigned(c) * 104729u + 1u;
        for (long n = 0; n < L; n++) {
            r = r * 1103515245u + 12345u;
            const double noise = double((r >> 8) & 0xffff) / 32768.0 - 1.0;
            x[size_t(c)][size_t(n)] = 0.3 * noise + 0.5 * std::sin(0.07 * double(n) * (c + 1)) +
                                      0.2 * std::sin(0.9 * double(n) + c);
        }
    }
    return x;
}

// non-negative factors with some exact zeros, so some cells model 0
inline std::vector<double> factor(size_t n, unsigned seed, int zero_every = 0) {
    std::vector<double> v(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1664525u + 1013904223u;
        v[i] = double(seed >> 8) / double(1u << 24) + 0.01;
        if (zero_every && i % size_t(zero_every) == 0) v[i] = 0.0;
    }
    return v;
}

// relative RMS of a - b over the whole signal, all channels
inline double rel_rms(const Chans &a, const Chans &b) {
    double e = 0, s = 0;
    for (size_t c = 0; c < a.size(); c++)
        for (size_t n = 0; n < a[c].size(); n++) {
            e += (a[c][n] - b[c][n]) * (a[c][n] - b[c][n]);
            s += b[c][n] * b[c][n];
        }
    return std::sqrt(e / s);
}

}  // namespace kvt
