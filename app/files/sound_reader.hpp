// Reading whole sound files without trusting their headers: lengths are
// checked against the file's size or found by reading, never allocated
// from a claim alone, and what the machine cannot hold is refused first.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace korvane {

struct SoundData {
    int channels = 0;
    int sampleRate = 0;
    long frames = 0;
    std::vector<float> samples;  // interleaved
};

// Why a read failed, to be worded by the caller: the file could not be
// found (Open), opened or held (Read), or is no sound file (Format).
enum class ReadStage { Open, Read, Format };
struct ReadFailure {
    ReadStage stage = ReadStage::Read;
    std::string reason;  // without the path
};

// Every frame of any regular file libsndfile reads, up to limitBytes of
// samples (as floats). Pipes and devices are refused at once.
bool readSoundFile(const std::string &path, SoundData &out, ReadFailure &why, size_t limitBytes);

// Bytes of samples a read may hold: the run's memory cap (memory_policy.hpp).
size_t machineMemory();

// Reads any sound file libsndfile knows, up to limitBytes of samples; false
// and a sentence in err on failure.
bool readSound(const std::string &path, SoundData &out, std::string &err, size_t limitBytes = machineMemory());

// Bytes the file's samples take as floats, by its header's claim capped at
// what its size allows; 0 when it cannot be opened as a sound (reading it
// then says why).
double claimedSoundBytes(const std::string &path);

// A sound file read a block at a time, pass after pass, for sounds too large
// to hold. Its length is found by decoding it once (never from the header
// alone, and cut where readSoundFile cuts it), so the samples are those
// readSoundFile gives. Each pass back to an earlier sample first checks that
// the file's size and time of change are still those it was counted with.
class SoundStream {
public:
    SoundStream() = default;
    SoundStream(const SoundStream &) = delete;
    SoundStream &operator=(const SoundStream &) = delete;
    ~SoundStream();

    // Opens and counts; false and a sentence in err on failure.
    bool open(const std::string &path, std::string &err);
    // Samples start .. start + count - 1 of the first `used` channels into
    // ch[c] (any order of ranges; reading on in order needs no seek). False
    // and error() on failure.
    bool read(long start, long count, int used, double *const *ch);
    const std::string &error() const { return err_; }
    int channels = 0, sampleRate = 0;
    long frames = 0;

private:
    bool seekTo(long start);
    bool unchanged();
    std::string path_, err_;
    SNDFILE *f_ = nullptr;
    int fd_ = -1;
    off_t size_ = 0;
    long long mtimeNs_ = 0;
    long at_ = 0;  // the next frame a read gives
    std::vector<float> buf_;
};

}  // namespace korvane
