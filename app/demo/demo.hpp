// `korvane demo`: a built-in drum-and-bass loop, decomposed and pictured.
#pragma once

#include <string>
#include <vector>

#include "cli/command.hpp"

namespace korvane {

constexpr int kDemoRate = 44100;
constexpr int kDemoComponents = 4;

// The demo loop: two bars at 120 beats per minute (4 s, mono) of kick, snare,
// hi-hat and a bass line; the same samples on every call.
std::vector<float> synthesiseDemo(int sampleRate = kDemoRate);

struct DemoOptions {
    std::string outDir = "korvane-demo";
    bool quiet = false;
    bool verbose = false;
};
int runDemo(const DemoOptions &opt);

// `korvane demo [-o DIR]`.
Command demoCommand();

}  // namespace korvane
