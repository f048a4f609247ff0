// buffer~ contents from and to sound files.
#pragma once

#include <string>

namespace korvane {

// Reads every channel of any file libsndfile reads into the buffer~ NAME
// (made or replaced), at the file's rate.
bool readSoundIntoBuffer(const std::string &name, const std::string &path, std::string &err);

// Writes the buffer~ NAME as a 32-bit float WAV: all channels, its rate.
bool writeBufferAsWav(const std::string &name, const std::string &path, std::string &err);

}  // namespace korvane
