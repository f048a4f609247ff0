// Synthesis of the demo loop. Each instrument has a spectrum of its own
// (a low pitch glide, a mid-band noise burst over a tone, a high noise tick
// and a steady harmonic series) so that a factorisation can tell them apart.
#include "demo/demo.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace korvane {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Deterministic white noise in [-1, 1).
struct Noise {
    uint32_t s = 0x9E3779B9u;
    double next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s / 2147483648.0 - 1.0;
    }
};

void addKick(std::vector<double> &out, long at, int sr) {
    double phase = 0;
    long len = static_cast<long>(0.35 * sr);
    for (long i = 0; i < len && at + i < static_cast<long>(out.size()); ++i) {
        double t = static_cast<double>(i) / sr;
        double f = 42 + 58 * std::exp(-t / 0.025);  // 100 Hz falling to 42 Hz
        phase += kTwoPi * f / sr;
        out[static_cast<size_t>(at + i)] += 0.9 * std::exp(-t / 0.08) * std::sin(phase);
    }
}

void addSnare(std::vector<double> &out, long at, int sr, Noise &noise) {
    long len = static_cast<long>(0.25 * sr);
    // Two-pole resonator centred near 1.8 kHz shapes the noise.
    double r = 0.93, w = kTwoPi * 1800.0 / sr;
    double a1 = 2 * r * std::cos(w), a2 = -r * r, y1 = 0, y2 = 0;
    for (long i = 0; i < len && at + i < static_cast<long>(out.size()); ++i) {
        double t = static_cast<double>(i) / sr;
        double y = noise.next() + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        double body = std::sin(kTwoPi * 190 * t) + 0.5 * std::sin(kTwoPi * 330 * t);
        out[static_cast<size_t>(at + i)] += (0.05 * y + 0.2 * body) * std::exp(-t / 0.06);
    }
}

void addHat(std::vector<double> &out, long at, int sr, Noise &noise, double level) {
    long len = static_cast<long>(0.08 * sr);
    double prev = 0, prev2 = 0;
    for (long i = 0; i < len && at + i < static_cast<long>(out.size()); ++i) {
        double t = static_cast<double>(i) / sr;
        double n = noise.next();
        double hp = n - 2 * prev + prev2;  // second difference: only the top octaves remain
        prev2 = prev;
        prev = n;
        out[static_cast<size_t>(at + i)] += level * 0.12 * hp * std::exp(-t / 0.018);
    }
}

void addBass(std::vector<double> &out, long at, long len, double f, int sr) {
    for (long i = 0; i < len && at + i < static_cast<long>(out.size()); ++i) {
        double t = static_cast<double>(i) / sr;
        double env = std::min(1.0, t / 0.005) * std::exp(-t / 0.5) * std::min(1.0, (len - i) / (0.01 * sr));
        double v = 0;
        for (int h = 1; h <= 8; ++h) v += std::sin(kTwoPi * f * h * t) / h;
        out[static_cast<size_t>(at + i)] += 0.22 * env * v;
    }
}

}  // namespace

std::vector<float> synthesiseDemo(int sr) {
    const double step = 0.125;  // a sixteenth note at 120 beats per minute
    const int steps = 32;       // two bars
    std::vector<double> mix(static_cast<size_t>(steps * step * sr), 0.0);
    Noise noise;
    auto at = [&](int s) { return static_cast<long>(std::lround(s * step * sr)); };
    for (int s = 0; s < steps; ++s) {
        int inBar = s % 16;
        if (inBar == 0 || inBar == 8 || (s == 26)) addKick(mix, at(s), sr);
        if (inBar == 4 || inBar == 12) addSnare(mix, at(s), sr, noise);
        if (s % 2 == 0) addHat(mix, at(s), sr, noise, inBar % 4 == 2 ? 1.0 : 0.6);
    }
    // Bass: A2 on the off-beats, the same pitch throughout.
    for (int s = 2; s < steps; s += 4) addBass(mix, at(s), static_cast<long>(1.5 * step * sr), 110.0, sr);

    double peak = 0;
    for (double v : mix) peak = std::max(peak, std::fabs(v));
    std::vector<float> out(mix.size());
    for (size_t i = 0; i < mix.size(); ++i) out[i] = static_cast<float>(0.8 * mix[i] / peak);
    return out;
}

}  // namespace korvane
