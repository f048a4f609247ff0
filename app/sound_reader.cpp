#include "sound_reader.hpp"

#include "maxhost.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace korvane {

namespace {

constexpr size_t kChunkSamples = 1 << 16;

struct SndFile {
    SNDFILE *f = nullptr;
    ~SndFile() {
        if (f) sf_close(f);
    }
};

// Bytes a sample takes in the file when it is stored uncompressed, else 0.
size_t storedSampleBytes(int format) {
    int major = format & SF_FORMAT_TYPEMASK;
    if (major == SF_FORMAT_FLAC || major == SF_FORMAT_OGG || major == SF_FORMAT_MPEG) return 0;
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_ULAW: case SF_FORMAT_ALAW:
        return 1;
    case SF_FORMAT_PCM_16: return 2;
    case SF_FORMAT_PCM_24: return 3;
    case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: return 4;
    case SF_FORMAT_DOUBLE: return 8;
    default: return 0;
    }
}

std::string sizeText(double bytes) {
    const char *units[] = {"bytes", "KB", "MB", "GB", "TB", "PB", "EB"};
    int u = 0;
    while (bytes >= 1024 && u < 6) {
        bytes /= 1024;
        ++u;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", bytes, units[u]);
    return buf;
}

std::string tooLarge(double frames, int channels, bool atLeast) {
    double bytes = frames * channels * sizeof(float);
    return std::string("it holds ") + (atLeast ? "more than " : "") + std::to_string(long(frames)) +
           " frames of " + std::to_string(channels) + " channels (" + sizeText(bytes) +
           " as samples), more than the " + sizeText(double(maxhost::memoryLimit())) +
           " this machine can hold";
}

// Opens without blocking on a pipe's writer and refuses what is not a
// regular file; -1 and why on failure.
int openRegular(const std::string &path, ReadFailure &why, off_t &size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        why = {ReadStage::Open, std::strerror(errno)};
        return -1;
    }
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = {ReadStage::Read, std::strerror(errno)};
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why.stage = ReadStage::Read;
        why.reason = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file (a pipe or a device)";
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    size = st.st_size;
    return fd;
}

// Reads to the end in chunks into a buffer that grows, never past limit
// samples; false when the sound is longer than that.
bool readChunks(SNDFILE *f, size_t channels, size_t expect, size_t limit, std::vector<float> &samples) {
    const size_t per = std::max<size_t>(1, kChunkSamples / channels);
    limit -= limit % channels;
    samples.resize(std::min(expect - expect % channels, limit));
    size_t used = 0;
    for (;;) {
        if (used == samples.size()) {
            if (used == limit) {   // full: one more frame means too long
                std::vector<float> probe(channels);
                return sf_readf_float(f, probe.data(), 1) <= 0;
            }
            samples.resize(std::min(limit, std::max(used + per * channels, 2 * used)));
        }
        size_t room = (samples.size() - used) / channels;
        sf_count_t got = sf_readf_float(f, samples.data() + used, sf_count_t(std::min(per, room)));
        if (got <= 0) break;
        used += size_t(got) * channels;
    }
    samples.resize(used);
    return true;
}

}  // namespace

bool readSoundFile(const std::string &path, SoundData &out, ReadFailure &why) {
    off_t fileSize = 0;
    int fd = openRegular(path, why, fileSize);
    if (fd < 0) return false;
    SF_INFO info{};
    SndFile file;
    file.f = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file.f) {
        close(fd);
        why = {ReadStage::Format, sf_strerror(nullptr)};
        return false;
    }
    if (info.channels < 1) {
        why = {ReadStage::Format, "no channels"};
        return false;
    }
    const size_t channels = static_cast<size_t>(info.channels);
    const size_t limit = maxhost::memoryLimit() / sizeof(float);
    // Uncompressed data cannot hold more frames than the file has room for.
    size_t stored = storedSampleBytes(info.format), expect = 0;
    if (stored && info.frames > 0) {
        double fit = std::min(double(info.frames), double(fileSize) / double(stored * channels));
        if (fit * double(channels) > double(limit)) {
            why = {ReadStage::Read, tooLarge(fit, info.channels, false)};
            return false;
        }
        expect = static_cast<size_t>(fit) * channels;
    }
    try {
        out.samples.clear();
        if (!readChunks(file.f, channels, expect, limit, out.samples)) {
            why = {ReadStage::Read, tooLarge(double(limit / channels), info.channels, true)};
            out.samples = {};
            return false;
        }
    } catch (const std::bad_alloc &) {
        why = {ReadStage::Read, "not enough memory for its " + sizeText(double(fileSize)) + " of data"};
        out.samples = {};
        return false;
    }
    out.channels = info.channels;
    out.sampleRate = info.samplerate;
    out.frames = static_cast<long>(out.samples.size() / channels);
    return true;
}

bool readSound(const std::string &path, SoundData &out, std::string &err) {
    ReadFailure why;
    if (!readSoundFile(path, out, why)) {
        if (why.stage == ReadStage::Open)
            err = "cannot open '" + path + "': " + why.reason;
        else if (why.stage == ReadStage::Read)
            err = "cannot read '" + path + "': " + why.reason;
        else
            err = "'" + path + "' is not a sound file that can be read (" + why.reason + ")";
        return false;
    }
    if (out.frames <= 0) {
        err = "'" + path + "' holds no sound";
        return false;
    }
    return true;
}

}  // namespace korvane
