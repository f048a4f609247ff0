// Small inputs the fuzz targets start from, made on the spot rather than
// kept as files: short sounds in every format libsndfile writes, a few
// scripts, message sequences and option lines.
#pragma once

#include <string>

namespace kvfuzz {

// Sounds a patch script may load by their bare names: a.wav, m.flac.
void writeScriptSounds(const std::string &dir);

// A short sound of one tone for `decompose`; returns its path.
std::string writeDecomposeInput(const std::string &dir);

// The seed corpus of every target, one folder each under dir.
void writeSeeds(const std::string &dir);

}  // namespace kvfuzz
