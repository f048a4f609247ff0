// The level-true resynthesis written to sound files: every file (a
// component or a group of them) in one pass of kve_streamResynth, each written as
// its samples come. For an integer format that would clip, the pass is made
// again with one gain common to every file. decompose and remix share it.
#pragma once

#include "kv_stream.h"
#include "files/staged_set.hpp"
#include "files/outputs.hpp"

#include <string>
#include <vector>

namespace korvane {

struct PassFile {
    std::string file, staged;  // bare name, and its temporary path
    std::vector<int> comps;    // components mixed in it, from 0
    int tap = -1;              // also handed to the tap as this stream, when >= 0
};

// Sees the samples of the files that name a stream, block by block and
// interleaved, as they are written (before any rounding to integers).
class PassTap {
public:
    virtual ~PassTap() = default;
    // false and err stop the pass
    virtual bool block(int stream, const float *interleaved, long frames, std::string &err) = 0;
    // The pass starts again (with a common gain): what came so far is void.
    virtual bool restart(std::string &err) = 0;
};

// What the files are made from: the framing, the sound, and W (rows x K)
// and H (K x frames) as the factorisation left them.
struct PassSource {
    const kve_streamShape *shape = nullptr;
    kve_source sound{};
    const double *W = nullptr, *H = nullptr;
    int K = 0;
    int sampleRate = 0;
    std::string factorsFrom;  // the record W and H were read from, for a refusal; empty for a new run
    double maskPower = 1;     // the masks share (w_k h_k)^maskPower (kve_maskPower)
};

struct PassSettings {
    SampleFormat format = SampleFormat::Pcm16;
    bool quiet = false;     // no line about the common gain
    bool progress = false;  // draw a bar
    PassTap *tap = nullptr;
    bool single = false;  // masks, inverses and overlap-add in single precision
    kve_filter filter = KVE_MASKS;
};

// Writes every file; false and err on failure. gain is the common gain used.
bool writeResynthesis(const PassSource &src, std::vector<PassFile> &files, const PassSettings &set, double &gain,
                      std::string &err);

// NAME-group.EXT for a run's only group, NAME-group1.EXT, NAME-group2.EXT ...
// when there are several (index from 0).
std::string groupFile(const std::string &name, size_t index, size_t count, const char *ext);

// Every channel of an in-memory sound, as the engine reads them.
kve_source soundDataSource(const SoundData &s);

}  // namespace korvane
