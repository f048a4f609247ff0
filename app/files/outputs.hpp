// A whole sound written to a (staged) file; files/staged_set.hpp puts it in
// place.
#pragma once

#include "files/sample_format.hpp"
#include "files/sound_reader.hpp"

#include <string>

namespace korvane {

// Writes frames of interleaved samples as a sound file of the format.
bool writeSound(const std::string &path, const float *interleaved, long frames, int channels, int sampleRate,
                SampleFormat format, std::string &err);

}  // namespace korvane
