// What a file looks like before libsndfile reads it: a batch names a file
// that looks like a sound and cannot be read instead of passing it over, and
// decompose warns of a WAV file cut short.
#pragma once

#include <string>

namespace korvane {

// True when the file's name ends in a sound file's extension or its first
// bytes are those of a sound file format.
bool looksLikeSound(const std::string &path);

// For a WAV file whose data chunk claims more bytes than the file holds: a
// sentence naming the file and both sizes. Empty for anything else (a
// length left open by a streaming writer included).
std::string wavCutShort(const std::string &path);

}  // namespace korvane
