// The sample formats the sound files of a run are written in, and how
// --format NAME picks one: "same" takes the input's own where it can be
// written, else 24-bit WAV.
#pragma once

#include <string>
#include <vector>

namespace korvane {

enum class SampleFormat { Pcm16, Pcm24, Float, Flac16, Flac24 };

// The names --format takes: same, pcm16, pcm24, float, flac.
const std::vector<std::string> &formatNames();

// What "same" gives for an input of the libsndfile format (major | subtype):
// FLAC stays FLAC (16-bit stays 16, else 24); otherwise 16-bit integers and
// floats keep their width in WAV, double becomes float, and anything else
// (8- or 32-bit integers, compressed) is 24-bit WAV.
SampleFormat sameFormatAs(int sndfileFormat);

// The format --format NAME asks for; "same" opens the input to see its own.
// false and err when the input cannot be opened for that.
bool chooseFormat(const std::string &name, const std::string &input, SampleFormat &out, std::string &err);

int sndfileFormat(SampleFormat f);          // container | subtype
const char *fileExtension(SampleFormat f);  // ".wav" or ".flac"
const char *formatLabel(SampleFormat f);    // "wav-pcm16", "flac-24", ...
inline bool isFloat(SampleFormat f) {
    return f == SampleFormat::Float;
}

}  // namespace korvane
