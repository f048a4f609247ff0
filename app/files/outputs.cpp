#include "files/outputs.hpp"

#include "files/pcm_words.hpp"

#include "files/staged_set.hpp"

#include <sndfile.h>

#include <cstring>

namespace korvane {

bool writeSound(const std::string &path, const float *interleaved, long frames, int channels, int sampleRate,
                SampleFormat format, std::string &err) {
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = sndfileFormat(format);
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    const std::string shown = StagedSet::shownPath(path);
    if (!f) {
        err = "cannot write '" + shown + "': " + sf_strerror(nullptr);
        return false;
    }
    // Full-scale floats map to full-scale integers without wrapping.
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    std::vector<std::int32_t> words;
    sf_count_t written = writePcmFrames(f, format, interleaved, frames, channels, words);
    bool ok = written == frames;
    if (!ok) err = "cannot write '" + shown + "': " + sf_strerror(f);
    if (sf_close(f) != 0 && ok) {
        err = "cannot write '" + shown + "'";
        ok = false;
    }
    return ok;
}

}  // namespace korvane
