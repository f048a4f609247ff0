// Drives korvane~ through the stand-in host: makes objects and buffers,
// sends messages, and records every console line and outlet message.
#pragma once

#include "maxhost.hpp"
#include "recorder.hpp"
#include "korvane_private.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

struct Line {
    bool error;
    std::string text;
    std::thread::id thread;  // who posted it
    int seq;                 // place among all events
};

struct Out {
    std::string obj;
    long outlet;
    std::string sel;
    std::vector<double> values;
    std::thread::id thread;
    int seq;
};

class Korvane : public ::testing::Test {
protected:
    std::vector<Line> console;
    std::vector<Out> outs;
    std::thread::id mainThread;
    maxhost::Recorder recorder{[this](const maxhost::Event &e) { keep(e); }};
    void keep(const maxhost::Event &e);

    void SetUp() override;
    void TearDown() override;

    // a korvane~ named id (its record)
    t_korvane *make(const std::string &id = "k");
    // a buffer~ of interleaved frames, channels x frames
    void buffer(const std::string &name, long channels, const std::vector<float> &frames,
                double rate);

    // a buffer~ holding the given channels, loaded into x
    void load(t_korvane *x, const std::string &name,
              const std::vector<std::vector<double>> &channels, double rate);
    // a stage or switch of the plug-in
    template <typename F>
    F stage(const char *name) {
        void *p = maxhost::pluginSymbol("korvane~", name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<F>(p);
    }
    void failAllocsAfter(long n) { stage<void (*)(long)>("kv_setAllocFailure")(n); }

    void sendInt(t_korvane *x, long v, long inlet = 0);
    void sendFloat(t_korvane *x, const char *sel, double v, long inlet = 0);
    void sendSym(t_korvane *x, const char *sel, const std::string &s = "", long inlet = 0);
    void sendBare(t_korvane *x, const char *sel, long inlet = 0);
    void sendList(t_korvane *x, long inlet, const std::vector<double> &v);
    void schedSym(t_korvane *x, const char *sel, const std::string &s = "");

    // console texts since the last clear, errors marked with a leading "!"
    std::vector<std::string> texts() const;
    void clear() {
        console.clear();
        outs.clear();
    }
    std::vector<Out> outlet(long n) const;
    // every console line and outlet message came from the main thread
    bool allOnMainThread() const;
};

// bins x frames spectrogram of one channel by the DFT's definition, with the
// square-root periodic Blackman window
void naiveSTFT(const std::vector<double> &x, int N, int frames, int hop, std::vector<double> &re,
               std::vector<double> &im);

// numSamples of sound from the spectrogram X * mask / (model + 0.1), by the
// inverse DFT's definition, windowed by the square-root Blackman window and
// overlap-added (all matrices bins x frames)
std::vector<double> naiveResynth(const std::vector<double> &re, const std::vector<double> &im,
                                 const std::vector<double> &mask, const std::vector<double> &model,
                                 int N, int frames, int hop, int numSamples);

// deterministic test sounds (own generator, so rand() is left alone)
std::vector<double> tone(int n, double rate, const std::vector<double> &freqs,
                         const std::vector<double> &amps, uint32_t seed, double noise);

}  // namespace kvtest
