#include "seed_sounds.hpp"

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace kvfuzz {

namespace {

namespace fs = std::filesystem;

// frames of a falling tone and a little noise, peak 0.8
std::vector<float> tone(long frames, int channels, int rate) {
    std::vector<float> s(static_cast<size_t>(frames * channels));
    unsigned noise = 1;
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            noise = noise * 1103515245u + 12345u;
            double t = double(i) / rate, n = double(noise >> 16) / 65536.0 - 0.5;
            s[size_t(i * channels + c)] = float(0.6 * std::sin(2 * M_PI * (440 - 200 * t) * t * (c + 1)) + 0.2 * n);
        }
    return s;
}

bool writeSound(const std::string &path, int format, int channels, int rate, long frames) {
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = rate;
    if (!sf_format_check(&info)) return false;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    std::vector<float> s = tone(frames, channels, rate);
    sf_writef_float(f, s.data(), frames);
    sf_close(f);
    return true;
}

void writeText(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// one short file for each pair of major format and subtype libsndfile
// writes, mono and stereo
void formatSeeds(const fs::path &dir) {
    int majors = 0, subs = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subs, sizeof subs);
    for (int m = 0; m < majors; ++m) {
        SF_FORMAT_INFO major{};
        major.format = m;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major);
        for (int s = 0; s < subs; ++s) {
            SF_FORMAT_INFO sub{};
            sub.format = s;
            sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &sub, sizeof sub);
            for (int ch = 1; ch <= 2; ++ch) {
                char name[64];
                std::snprintf(name, sizeof name, "%08x-%d.%s", unsigned(major.format | sub.format), ch,
                              major.extension);
                writeSound((dir / name).string(), major.format | sub.format, ch, 8000, 200);
            }
        }
    }
}

}  // namespace

void writeScriptSounds(const std::string &dir) {
    writeSound(dir + "/a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 8000, 2000);
    writeSound(dir + "/m.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 8000, 2000);
}

std::string writeDecomposeInput(const std::string &dir) {
    std::string path = dir + "/in.wav";
    writeSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 8000, 2400);
    return path;
}

void writeSeeds(const std::string &root) {
    fs::path dir(root);
    for (const char *t : {"sound_readers", "patch_script", "object_messages", "decompose_options", "engine"})
        fs::create_directories(dir / t);
    formatSeeds(dir / "sound_readers");
    writeText(dir / "patch_script" / "typical",
              "buffer d a.wav\nbuffer d_out 2 1\nnew k korvane~\nnew p kv_lsProd\nnew o print\n"
              "connect k 0 p 1\nconnect p 0 o 0\nsend k 0 loadBuffer d\nsend k 0 int 3\n"
              "send k 0 decomp\nsched k 0 decompNoOut\nsend p 0 2.5\nsend k 2 bang\n"
              "write d_out out.wav\nbuffer m m.flac\ndsp on\nfree k\n");
    writeText(dir / "patch_script" / "lsprod",
              "new p kv_lsProd 2\nnew o print\nconnect p 0 o 0\nsend p 1 list 1 2 3.5\n"
              "send p 0 int 3\nsend p 1 float 0.5\nbuffer b 1 100 8000\nwrite b b.wav\n");
    writeText(dir / "object_messages" / "decompose",
              std::string("\x00\x00\x00\x00\x09\x00\x02\x10\x00\x00\x01\x03\x04\x01\x05\x01\x04", 17));
    writeText(dir / "object_messages" / "mask",
              std::string("\x00\x00\x00\x00\x09\x00\x01\x40\x00\x00\x00\x01\x02\x04\x00"
                          "\x05\x01\x05\x00\x01\x00\x01\x05\x02\x03\x00\x02\x00\x03\x06\x02"
                          "\x07\x01\x03\x00\x01\x00\x02\x00\x03\x08\x00\x01\x02",
                          44));
    writeText(dir / "object_messages" / "failures",
              std::string("\x00\x00\x00\x00\x09\x00\x02\x10\x00\x0d\x05\x00\x00\x04\x01\x0d\x0a\x0b\x00\x00\x04", 21));
    writeText(dir / "decompose_options" / "plain", "-k\n3\n--only\n1,3\n--group\n2-3\n");
    writeText(dir / "decompose_options" / "settings", "-k\n2\n--win\n0.05\n--hop\n0.5\n--seed\n7\n--format\nfloat\n");
    writeText(dir / "decompose_options" / "plot", "--plot\n-k\n1\n");
    // load 2 x 4000 at 8 kHz, analyse, factorise, a layer, resynthesise
    const std::string load("\x00\x01\xa0\x0f\x00\x10\x40\x05\x00\x01", 10);
    writeText(dir / "engine" / "object",
              load + std::string("\x02\x03\x03\x00\x01\x07\x00\x03\x00\x04\x00\x00\x10\x00\x00\x05\x08", 17));
    // the same sound through the streaming path, stacked, nndsvda start
    writeText(dir / "engine" / "stream",
              load + std::string("\x0a\x01\x00\x01\x00\x03\x00\x07\x00\x00\x02\x01\x02\x01", 14));
    // settings, a failing allocation, analysis and factorisation
    writeText(dir / "engine" / "failing",
              load + std::string("\x01\x02\x01\x01\x03\x00\x00\x07\x05\x02\x03\x02\x00\x01\x00\x05", 16));
}

}  // namespace kvfuzz
