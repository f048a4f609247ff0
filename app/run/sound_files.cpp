#include "run/sound_files.hpp"

#include "maxhost.hpp"
#include "files/sound_reader.hpp"
#include "files/replacing_file.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <new>
#include <sndfile.h>
#include <vector>

namespace korvane {

namespace {

struct SndFile {
    SNDFILE *f = nullptr;
    ~SndFile() {
        if (f) sf_close(f);
    }
};

}  // namespace

bool readSoundIntoBuffer(const std::string &name, const std::string &path, std::string &err) {
    SoundData sound;
    ReadFailure why;
    if (!readSoundFile(path, sound, why, maxhost::memoryLimit())) {
        err = "cannot read sound file " + path + ": " + why.reason;
        return false;
    }
    if (sound.sampleRate < 1 || sound.frames < 1) {
        err = "cannot read sound file " + path + ": no audio in it";
        return false;
    }
    maxhost::Buffer *b = maxhost::createBuffer(name, sound.channels, 0, sound.sampleRate);
    if (!b) {
        err = "cannot make buffer " + name;
        return false;
    }
    b->samples.swap(sound.samples);
    b->samples.reserve(1);
    b->frames = sound.frames;
    return true;
}

bool writeBufferAsWav(const std::string &name, const std::string &path, std::string &err) {
    const maxhost::Buffer *b = maxhost::findBuffer(name);
    if (!b) {
        err = "no buffer named " + name;
        return false;
    }
    if (b->channels < 1) {
        err = "buffer " + name + " has no channels to write";
        return false;
    }
    if (!(b->rate >= 1 && b->rate <= INT_MAX) || b->channels > INT_MAX) {
        err = "buffer " + name + " has a rate or channel count a WAV file cannot hold";
        return false;
    }
    SF_INFO info{};
    info.channels = static_cast<int>(b->channels);
    info.samplerate = static_cast<int>(std::lround(b->rate));
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    ReplacingFile out;
    if (!out.open(path, "sound file", err)) return false;
    SndFile file;
    file.f = sf_open_fd(out.fd(), SFM_WRITE, &info, SF_FALSE);
    if (!file.f) {
        err = out.failure(sf_strerror(nullptr));
        return false;
    }
    errno = 0;
    if (sf_writef_float(file.f, b->samples.data(), b->frames) != b->frames) {
        err = out.failure(errno ? "" : sf_strerror(file.f));
        return false;
    }
    // the header is completed on closing
    errno = 0;
    int closed = sf_close(file.f);
    file.f = nullptr;
    if (closed != 0) {
        err = out.failure(errno ? "" : sf_error_number(closed));
        return false;
    }
    return out.commit(err);
}

}  // namespace korvane
