#include "files/sample_format.hpp"

#include <sndfile.h>

#include <cstring>

namespace korvane {

const std::vector<std::string> &formatNames() {
    static const std::vector<std::string> names = {"same", "pcm16", "pcm24", "float", "flac"};
    return names;
}

SampleFormat sameFormatAs(int sndfileFormat) {
    const int major = sndfileFormat & SF_FORMAT_TYPEMASK, sub = sndfileFormat & SF_FORMAT_SUBMASK;
    if (major == SF_FORMAT_FLAC) return sub == SF_FORMAT_PCM_16 ? SampleFormat::Flac16 : SampleFormat::Flac24;
    switch (sub) {
    case SF_FORMAT_PCM_16:
        return SampleFormat::Pcm16;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
        return SampleFormat::Float;
    default:
        return SampleFormat::Pcm24;
    }
}

bool chooseFormat(const std::string &name, const std::string &input, SampleFormat &out, std::string &err) {
    if (name == "pcm16")
        out = SampleFormat::Pcm16;
    else if (name == "pcm24")
        out = SampleFormat::Pcm24;
    else if (name == "float")
        out = SampleFormat::Float;
    else if (name == "flac")
        out = SampleFormat::Flac24;
    else if (name != "same") {
        err = "--format must be one of same, pcm16, pcm24, float, flac, not '" + name + "'";
        return false;
    } else {
        SF_INFO info;
        std::memset(&info, 0, sizeof info);
        SNDFILE *f = sf_open(input.c_str(), SFM_READ, &info);
        if (!f) {
            err = "cannot read '" + input + "' to take its sample format: " + sf_strerror(nullptr);
            return false;
        }
        sf_close(f);
        out = sameFormatAs(info.format);
    }
    return true;
}

int sndfileFormat(SampleFormat f) {
    switch (f) {
    case SampleFormat::Pcm16:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    case SampleFormat::Pcm24:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    case SampleFormat::Float:
        return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    case SampleFormat::Flac16:
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    case SampleFormat::Flac24:
        break;
    }
    return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
}

const char *fileExtension(SampleFormat f) {
    return f == SampleFormat::Flac16 || f == SampleFormat::Flac24 ? ".flac" : ".wav";
}

const char *formatLabel(SampleFormat f) {
    switch (f) {
    case SampleFormat::Pcm16:
        return "wav-pcm16";
    case SampleFormat::Pcm24:
        return "wav-pcm24";
    case SampleFormat::Float:
        return "wav-float";
    case SampleFormat::Flac16:
        return "flac-16";
    case SampleFormat::Flac24:
        break;
    }
    return "flac-24";
}

}  // namespace korvane
