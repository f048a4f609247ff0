// Fuzz target: any bytes as a sound file, through the command line's reader
// (as `decompose` and a patch's `buffer NAME FILE` use it), its streamed
// reader (as `decompose` reads long sounds), and the library's 16-bit
// readers on the audio-file layer, whole and in segments.
#include "support.hpp"

#include "maxhost.hpp"
#include "qm_audio.h"
#include "run/sound_files.hpp"
#include "files/sound_reader.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

void libraryReaders(const std::string &path) {
    AudioStreamBasicDescription fmt;
    double *left = nullptr, *right = nullptr;
    int frames = 0;
    qm_wavreadOSX(path.c_str(), &left, &right, &frames, &fmt);
    std::free(left);
    std::free(right);
    // a tenth of a second at a time until the end (status -2) or a failure
    for (int i = 0; i < 64; ++i) {
        left = right = nullptr;
        int status = qm_wavreadOSX_Seek(path.c_str(), &left, &right, &frames, &fmt, 0.1f, i == 0, 300.0);
        std::free(left);
        std::free(right);
        if (status != 0) break;
    }
}

// Blocks in order, then a step back (a second pass), as the analysis and
// resynthesis ask for them.
void streamedReader(const std::string &path) {
    korvane::SoundStream stream;
    std::string err;
    if (!stream.open(path, err)) return;
    const long block = 1000;
    std::vector<double> a(block), b(block);
    double *ch[2] = {a.data(), b.data()};
    const int used = stream.channels < 2 ? 1 : 2;
    for (long at = 0; at < stream.frames && at < 64 * block; at += block)
        if (!stream.read(at, std::min(block, stream.frames - at), used, ch)) return;
    if (stream.frames > 0) stream.read(0, std::min(block, stream.frames), used, ch);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kvfuzz::quietHost();
    std::string path = kvfuzz::asFile(data, size, "input.snd");
    korvane::SoundData sound;
    std::string err;
    korvane::readSound(path, sound, err, maxhost::memoryLimit());
    korvane::readSoundIntoBuffer("b", path, err);
    streamedReader(path);
    libraryReaders(path);
    maxhost::reset();
    return 0;
}
