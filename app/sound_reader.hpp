// Reading whole sound files without trusting their headers: lengths are
// checked against the file's size or found by reading, never allocated
// from a claim alone, and what the machine cannot hold is refused first.
#pragma once

#include <string>
#include <vector>

namespace korvane {

struct SoundData {
    int channels = 0;
    int sampleRate = 0;
    long frames = 0;
    std::vector<float> samples;   // interleaved
};

// Why a read failed, to be worded by the caller: the file could not be
// found (Open), opened or held (Read), or is no sound file (Format).
enum class ReadStage { Open, Read, Format };
struct ReadFailure {
    ReadStage stage = ReadStage::Read;
    std::string reason;   // without the path
};

// Every frame of any regular file libsndfile reads, up to the host's memory
// limit (maxhost::memoryLimit). Pipes and devices are refused at once.
bool readSoundFile(const std::string &path, SoundData &out, ReadFailure &why);

// Reads any sound file libsndfile knows; false and a sentence in err on failure.
bool readSound(const std::string &path, SoundData &out, std::string &err);

}  // namespace korvane
