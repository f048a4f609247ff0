#include "sound_files.hpp"

#include <cstdio>

#include <dirent.h>

namespace kvtest {

Sound makeSound(int channels, int rate, double seconds, double peak) {
    Sound s;
    s.channels = channels;
    s.rate = rate;
    long n = static_cast<long>(seconds * rate);
    s.samples.assign(static_cast<size_t>(n * channels), 0.0f);
    const double twoPi = 6.283185307179586;
    for (long i = 0; i < n; ++i) {
        double t = static_cast<double>(i) / rate;
        // two tones taking turns twice a second, never falling silent
        double swing = 0.45 * std::cos(twoPi * 2 * t);
        double low = std::sin(twoPi * 220 * t) * (0.55 + swing);
        double high = std::sin(twoPi * 2637 * t) * (0.55 - swing);
        for (int c = 0; c < channels; ++c) {
            double mix = (c == 0 ? 0.6 : 0.4) * low + (c == 0 ? 0.4 : 0.6) * high;
            s.samples[static_cast<size_t>(i * channels + c)] = static_cast<float>(peak * mix);
        }
    }
    return s;
}

std::vector<std::string> componentPaths(const std::string &dir, const std::string &name,
                                        const std::vector<int> &numbers) {
    std::vector<std::string> paths;
    for (int k : numbers) {
        char file[32];
        std::snprintf(file, sizeof file, "-c%02d.wav", k);
        paths.push_back(dir + "/" + name + file);
    }
    return paths;
}

std::vector<int> firstNumbers(int K) {
    std::vector<int> v;
    for (int k = 1; k <= K; ++k) v.push_back(k);
    return v;
}

Sound sumOfSounds(const std::vector<std::string> &paths) {
    Sound total;
    for (const std::string &p : paths) {
        Sound s;
        if (!readSound(p, s)) return Sound{};
        if (total.samples.empty())
            total = s;
        else
            for (size_t i = 0; i < s.samples.size() && i < total.samples.size(); ++i)
                total.samples[i] += s.samples[i];
    }
    return total;
}

bool readSound(const std::string &path, Sound &s) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return false;
    s.channels = info.channels;
    s.rate = info.samplerate;
    s.format = info.format;
    s.samples.assign(static_cast<size_t>(info.frames * info.channels), 0.0f);
    bool ok = sf_readf_float(f, s.samples.data(), info.frames) == info.frames;
    sf_close(f);
    return ok;
}

int openDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

}  // namespace kvtest
