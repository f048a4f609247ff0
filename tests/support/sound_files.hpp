// Scratch folders and sound files made with libsndfile for the audio-file tests.
#pragma once

#include <sndfile.h>
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvtest {

// A fresh folder under the system's temporary folder, removed with its files.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kv_sound_XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline sf_count_t writeFrames(SNDFILE *sf, const std::vector<short> &v, sf_count_t n) {
    return sf_writef_short(sf, v.data(), n);
}
inline sf_count_t writeFrames(SNDFILE *sf, const std::vector<int> &v, sf_count_t n) {
    return sf_writef_int(sf, v.data(), n);
}
inline sf_count_t writeFrames(SNDFILE *sf, const std::vector<float> &v, sf_count_t n) {
    return sf_writef_float(sf, v.data(), n);
}
inline sf_count_t writeFrames(SNDFILE *sf, const std::vector<double> &v, sf_count_t n) {
    return sf_writef_double(sf, v.data(), n);
}

// Writes interleaved samples as a file of the given libsndfile format.
template <typename T>
void writeSound(const std::string &path, int format, int channels, int rate,
                const std::vector<T> &samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!sf)
        throw std::runtime_error(std::string("cannot write ") + path + ": " + sf_strerror(nullptr));
    sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    sf_count_t put = writeFrames(sf, samples, frames);
    sf_close(sf);
    if (put != frames) throw std::runtime_error("short write to " + path);
}

// What libsndfile reads back from a file: its settings and its samples as shorts.
struct SoundContents {
    SF_INFO info{};
    std::vector<short> samples;
};

inline SoundContents readShorts(const std::string &path) {
    SoundContents c;
    SNDFILE *sf = sf_open(path.c_str(), SFM_READ, &c.info);
    if (!sf) throw std::runtime_error("cannot read " + path);
    c.samples.resize(static_cast<size_t>(c.info.frames * c.info.channels));
    sf_readf_short(sf, c.samples.data(), c.info.frames);
    sf_close(sf);
    return c;
}

inline void writeBytes(const std::string &path, const std::vector<unsigned char> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<unsigned char> readBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The first 20 bytes of a 16-bit WAV header: RIFF, size, WAVE, "fmt " and
// its size, cut off before the format fields.
inline std::vector<unsigned char> truncatedWavHeader() {
    return {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0};
}

// Open descriptors of this process, to catch handles left open.
inline int openDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

}  // namespace kvtest
