#include "files/sound_reader.hpp"

#include "files/memory_policy.hpp"
#include "kv_engine.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdint>
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
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    default:
        return 0;
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

// Bytes of samples a read may hold: the run's memory cap, else no bound.
size_t sampleCap() {
    const double cap = memoryCap().bytes;
    return cap > 0 && cap < 1e18 ? static_cast<size_t>(cap) : static_cast<size_t>(1e18);
}

std::string tooLarge(double frames, int channels, bool atLeast, size_t limitBytes) {
    double bytes = frames * channels * sizeof(float);
    return std::string("it holds ") + (atLeast ? "more than " : "") + std::to_string(long(frames)) + " frames of " +
           std::to_string(channels) + " channels (" + sizeText(bytes) + " as samples), more than the " +
           sizeText(double(limitBytes)) + " this machine can hold" +
           (limitBytes == sampleCap() ? " (the cap is " + memoryCap().from + ")" : std::string());
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

// The most samples the file's data can decode to: what uncompressed data
// has room for, else a ratio far above any real codec's (FLAC keeps 65535
// silent samples in a few bytes; ADPCM and GSM make at most 5 of a byte).
// Decoders that go on past the data are cut there.
size_t plausibleSamples(const SF_INFO &info, off_t fileSize) {
    double bytes = double(fileSize), ch = info.channels, most;
    int major = info.format & SF_FORMAT_TYPEMASK, sub = info.format & SF_FORMAT_SUBMASK;
    if (size_t stored = storedSampleBytes(info.format))
        most = std::min(std::floor(bytes / (double(stored) * ch)), std::max(0.0, double(info.frames))) * ch;
    else if (major == SF_FORMAT_FLAC || major == SF_FORMAT_OGG || major == SF_FORMAT_MPEG ||
             (sub >= SF_FORMAT_ALAC_16 && sub <= SF_FORMAT_ALAC_32))
        most = bytes * 8192;
    else
        most = bytes * 16;
    return most >= 1e18 ? size_t(1e18) : size_t(most);
}

// Reads to the end, or to stop samples, in chunks into a buffer that grows;
// false when the sound is longer than limit samples.
bool readChunks(SNDFILE *f, size_t channels, size_t stop, size_t limit, std::vector<float> &samples) {
    const size_t per = std::max<size_t>(1, kChunkSamples / channels);
    limit -= limit % channels;
    stop -= stop % channels;
    size_t used = 0;
    while (used < stop) {
        if (used == samples.size()) {
            if (used == limit) {  // full: one more frame means too long
                std::vector<float> probe(channels);
                return sf_readf_float(f, probe.data(), 1) <= 0;
            }
            samples.resize(std::min({limit, stop, std::max(used + per * channels, 2 * used)}));
        }
        size_t room = (samples.size() - used) / channels;
        sf_count_t got = sf_readf_float(f, samples.data() + used, sf_count_t(std::min(per, room)));
        if (got <= 0) break;
        used += size_t(got) * channels;
    }
    samples.resize(used);
    return true;
}

// Opens fd with libsndfile, which then owns it.
bool openSound(int fd, SndFile &file, SF_INFO &info, ReadFailure &why) {
    file.f = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file.f) {  // libsndfile has closed fd: closing it again could close another file's
        why = {ReadStage::Format, sf_strerror(nullptr)};
        return false;
    }
    if (info.channels < 1) {
        why = {ReadStage::Format, "no channels"};
        return false;
    }
    return true;
}

}  // namespace

bool readSoundFile(const std::string &path, SoundData &out, ReadFailure &why, size_t limitBytes) {
    off_t fileSize = 0;
    int fd = openRegular(path, why, fileSize);
    SF_INFO info{};
    SndFile file;
    if (fd < 0 || !openSound(fd, file, info, why)) return false;
    const size_t channels = static_cast<size_t>(info.channels);
    const size_t limit = limitBytes / sizeof(float);
    const size_t stop = plausibleSamples(info, fileSize);
    bool stored = storedSampleBytes(info.format) != 0;
    if (stored && stop > limit) {  // known before reading
        why = {ReadStage::Read, tooLarge(double(stop / channels), info.channels, false, limitBytes)};
        return false;
    }
    out.samples.clear();
    try {
        if (stored) {
            out.samples.reserve(stop);
            kve_adviseLarge(out.samples.data(), stop * sizeof(float));
            out.samples.resize(stop);
        }
        if (!readChunks(file.f, channels, stop, limit, out.samples)) {
            why = {ReadStage::Read, tooLarge(double(limit / channels), info.channels, true, limitBytes)};
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

namespace {

std::string failureText(const std::string &path, const ReadFailure &why) {
    if (why.stage == ReadStage::Open) return "cannot open '" + path + "': " + why.reason;
    if (why.stage == ReadStage::Read) return "cannot read '" + path + "': " + why.reason;
    return "'" + path + "' is not a sound file that can be read (" + why.reason + ")";
}

long long mtimeOf(const struct stat &st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

}  // namespace

size_t machineMemory() {
    return sampleCap();
}

bool readSound(const std::string &path, SoundData &out, std::string &err, size_t limitBytes) {
    ReadFailure why;
    if (!readSoundFile(path, out, why, limitBytes)) {
        err = failureText(path, why);
        return false;
    }
    if (out.frames <= 0) {
        err = "'" + path + "' holds no sound";
        return false;
    }
    return true;
}

double claimedSoundBytes(const std::string &path) {
    ReadFailure why;
    off_t fileSize = 0;
    int fd = openRegular(path, why, fileSize);
    SF_INFO info{};
    SndFile file;
    if (fd < 0 || !openSound(fd, file, info, why)) return 0;
    double claim = std::max(0.0, double(info.frames)) * info.channels;
    return std::min(claim, double(plausibleSamples(info, fileSize))) * sizeof(float);
}

SoundStream::~SoundStream() {
    if (f_) sf_close(f_);
}

bool SoundStream::open(const std::string &path, std::string &err) {
    ReadFailure why;
    off_t fileSize = 0;
    path_ = path;
    int fd = openRegular(path, why, fileSize);
    SF_INFO info{};
    SndFile file;
    if (fd < 0 || !openSound(fd, file, info, why)) {
        err = failureText(path, why);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::swap(f_, file.f);
    fd_ = fd;
    size_ = st.st_size;
    mtimeNs_ = mtimeOf(st);
    channels = info.channels;
    sampleRate = info.samplerate;
    // the true length, cut where readSoundFile cuts it
    const size_t ch = size_t(channels), stop = plausibleSamples(info, fileSize) / ch;
    buf_.resize(std::max<size_t>(1, kChunkSamples / ch) * ch);
    size_t count = 0;
    while (count < stop) {
        sf_count_t got = sf_readf_float(f_, buf_.data(), sf_count_t(std::min(buf_.size() / ch, stop - count)));
        if (got <= 0) break;
        count += size_t(got);
    }
    frames = static_cast<long>(count);
    at_ = frames;
    if (frames <= 0) {
        err = "'" + path + "' holds no sound";
        return false;
    }
    return true;
}

bool SoundStream::unchanged() {
    struct stat st;
    if (fstat(fd_, &st) == 0 && st.st_size == size_ && mtimeOf(st) == mtimeNs_) return true;
    err_ = "'" + path_ + "' changed while it was being read; run again on a file that stays as it is";
    return false;
}

bool SoundStream::seekTo(long start) {
    if (start < at_ && !unchanged()) return false;
    if (sf_seek(f_, start, SEEK_SET) != start) {
        err_ = "cannot read '" + path_ + "': it cannot be read again from sample " + std::to_string(start);
        return false;
    }
    at_ = start;
    return true;
}

bool SoundStream::read(long start, long count, int used, double *const *ch) {
    if (start < 0 || count < 0 || start + count > frames) {
        err_ = "cannot read '" + path_ + "': samples past its end were asked for";
        return false;
    }
    if (start != at_ && !seekTo(start)) return false;
    const size_t n = size_t(channels), per = buf_.size() / n;
    for (long done = 0; done < count;) {
        const sf_count_t want = sf_count_t(std::min<long>(long(per), count - done));
        if (sf_readf_float(f_, buf_.data(), want) != want) {
            at_ = -1;  // unknown: the next read seeks
            err_ = "'" + path_ + "' changed while it was being read; run again on a file that stays as it is";
            return false;
        }
        for (int c = 0; c < used; ++c)
            for (sf_count_t i = 0; i < want; ++i) ch[c][done + i] = buf_[size_t(i) * n + size_t(c)];
        done += long(want);
        at_ += long(want);
    }
    return true;
}

}  // namespace korvane
