// Test sounds and an engine record for the engine's tests.
#pragma once

#include "kv_engine.h"
#include "qm_audio.h"
#include "qm_matrixOps.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace engtest {

// interleaved channels x frames: a tone per channel, pulsed, with a little
// noise from an own generator (rand() is left alone)
inline std::vector<float> sound(int channels, int frames, double rate, uint32_t seed) {
    std::vector<float> s(static_cast<size_t>(channels) * frames);
    uint32_t r = seed;
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            r = r * 1664525u + 1013904223u;
            double noise = (r >> 8) / 16777216.0 - 0.5;
            double pulse = (i / 2000) % 2 ? 1.0 : 0.3;
            double tone = std::sin(2 * M_PI * (220.0 * (c + 1)) * i / rate) * 0.4 +
                          std::sin(2 * M_PI * 3520.0 * i / rate) * 0.2 * pulse;
            s[static_cast<size_t>(i) * channels + c] = static_cast<float>(tone + 0.02 * noise);
        }
    return s;
}

// an engine record holding an analysed sound, given back at the end
struct Record {
    kve_engine e;
    Record() { kve_init(&e); }
    ~Record() { kve_free(&e); }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
};

}  // namespace engtest
