// The page's sounds encoded as Ogg Opus while they are being made: one
// stream per sound, fed block by block, encoded on worker threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct OggOpusEnc;
struct soxr;

namespace korvane {

// One sound as Ogg Opus in memory, encoded as its samples come: the bytes
// depend on the samples only, not on the blocks they come in, so they are
// those of encodePageAudio on the whole sound.
class OpusStream {
public:
    OpusStream() = default;
    ~OpusStream();
    OpusStream(const OpusStream &) = delete;
    OpusStream &operator=(const OpusStream &) = delete;

    // bitrate in bits per second a channel; serial the Ogg stream's number
    bool open(int channels, int sampleRate, int bitrate, int serial, std::string &err);
    // frames x channels interleaved samples; false and err on failure
    bool add(const float *interleaved, long frames, std::string &err);
    // The rest, kPagePadFrames of silence and the end: the bytes into out.
    bool finish(std::string &out, std::string &err);

private:
    void close();
    bool encode(const float *interleaved, long frames, std::string &err);
    bool resample(const float *interleaved, long frames, std::string &err);
    OggOpusEnc *enc_ = nullptr;
    soxr *resampler_ = nullptr;  // for rates other than 48 kHz
    std::vector<float> resampled_;
    int channels_ = 0;
    std::string bytes_;
};

// Several streams encoded by worker threads as their blocks are added; each
// stream's blocks are encoded in the order they came. The workers hold back
// the stop signals, so a stop always reaches the thread that made them.
class PageAudioEncoder {
public:
    struct Stream {
        int channels = 1;
        int bitrate = 48000;  // pageAudioBitrate
    };
    // threads >= 1
    PageAudioEncoder(std::vector<Stream> streams, int sampleRate, int threads);
    ~PageAudioEncoder();  // abandons whatever is not finished
    PageAudioEncoder(const PageAudioEncoder &) = delete;
    PageAudioEncoder &operator=(const PageAudioEncoder &) = delete;

    // Opens the streams and starts the workers; false and err on failure.
    bool start(std::string &err);
    // Queues frames of stream s: copied, or with held the caller keeps them
    // unchanged until finish.
    void add(int s, const float *interleaved, long frames, bool held = false);
    // The same, taking the samples over.
    void add(int s, std::vector<float> interleaved);
    // Drops everything added so far: the streams start again, empty.
    bool restart(std::string &err);
    // Ends every stream and waits for them, calling progress(done, total)
    // in frames as they go; each stream's bytes into out.
    bool finish(std::vector<std::string> &out, std::string &err,
                const std::function<void(long, long)> &progress = nullptr);

private:
    struct Job {
        int stream = 0;
        std::vector<float> own;
        const float *data = nullptr;
        long frames = 0;
        bool end = false;
    };
    void work();
    void stop();
    bool openStreams(std::string &err);

    std::vector<Stream> kinds_;
    int rate_, threads_;
    std::vector<std::unique_ptr<OpusStream>> streams_;
    std::vector<std::string> bytes_;
    std::vector<char> busy_;  // a worker holds one of the stream's blocks
    std::deque<Job> queue_;   // in the order added
    std::vector<std::thread> workers_;
    std::mutex m_;
    std::condition_variable cv_;
    long added_ = 0, done_ = 0;
    int ended_ = 0;
    bool stopping_ = false;
    std::string err_;
};

}  // namespace korvane
