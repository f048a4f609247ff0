#include "decompose/bases.hpp"

#include "decompose/decompose_steps.hpp"
#include "files/record_json.hpp"
#include "files/tool_record.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <sys/stat.h>
#include <memory>

namespace korvane {

namespace {

using json = nlohmann::json;

// The largest FFT a record may claim: the engine frames no more.
constexpr long kMaxFftSize = 1L << 30;

// A record's path: a folder stands for the components.json in it.
std::string recordPath(const std::string &given) {
    struct stat st;
    return stat(given.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? given + "/components.json" : given;
}

bool readJson(const std::string &path, json &j, std::string &err) {
    const RecordRead got = readRecordFile(path, j, err);
    if (got == RecordRead::Unreadable || got == RecordRead::TooDeep || got == RecordRead::TooLarge) return false;
    if (got == RecordRead::NotJson || !j.is_object()) {
        err = "'" + path + "' is not a components.json (not a JSON object)";
        return false;
    }
    return true;
}

bool positiveInt(const json &j, const char *key, long &v) {
    if (!j.contains(key) || !j[key].is_number_integer()) return false;
    v = j[key].get<long>();
    return v > 0;
}

// The analysis a file records; false with err when a field is missing.
bool readAnalysis(const json &j, BasesFile &f, std::string &err) {
    const char *missing = nullptr;
    if (!positiveInt(j, "sample_rate", f.sampleRate))
        missing = "sample_rate";
    else if (!positiveInt(j, "fft_size", f.fftSize))
        missing = "fft_size";
    else if (!positiveInt(j, "bins", f.bins))
        missing = "bins";
    else if (!j.contains("channel_mode") || !j["channel_mode"].is_string())
        missing = "channel_mode";
    else if (!j.contains("components") || !j["components"].is_array() || j["components"].empty())
        missing = "components";
    if (missing) {
        err = "'" + f.path + "' has no usable \"" + missing + "\"";
        return false;
    }
    f.channelMode = j["channel_mode"].get<std::string>();
    if (!j.contains("window_samples"))
        f.window = f.fftSize;
    else if (!positiveInt(j, "window_samples", f.window) || f.window > f.fftSize) {
        err = "'" + f.path + "' has no usable \"window_samples\"";
        return false;
    }
    // sizes the engine can frame, before any product of them is formed
    const long N = f.fftSize;
    if (N < 2 || N > kMaxFftSize || (N & (N - 1)) != 0 || f.bins != N / 2 + 1) {
        err = "'" + f.path + "': its analysis (fft_size " + std::to_string(N) + ", bins " + std::to_string(f.bins) +
              ") is not one korvane makes (the record is damaged)";
        return false;
    }
    const size_t K = j["components"].size();
    if (K > static_cast<size_t>(kMaxComponents)) {
        err =
            "'" + f.path + "' holds " + std::to_string(K) + " components, more than " + std::to_string(kMaxComponents);
        return false;
    }
    return true;
}

// The record's W (factors.W, rows x K row by row): finite, non-negative,
// rows a whole number of bins.
bool readW(const json &j, BasesFile &f, size_t K, std::vector<double> &W, std::string &err) {
    const json *fj = j.contains("factors") ? &j["factors"] : nullptr;
    if (!fj || !fj->is_object() || !positiveInt(*fj, "rows", f.rows) || !fj->contains("W") || !(*fj)["W"].is_array()) {
        err = "'" + f.path + "' keeps no factors (written by an older korvane?): decompose its input again";
        return false;
    }
    if (fj->contains("members")) {
        err = "'" + f.path +
              "': its components are groups of several spectra (a run with a pool or a span); "
              "bases come from runs of one spectrum a component: decompose its input again with --plain";
        return false;
    }
    size_t cells = 0;
    if (f.rows % f.bins != 0 || f.rows / f.bins > KVE_MOST_CHANNELS ||
        __builtin_mul_overflow(static_cast<size_t>(f.rows), K, &cells) || (*fj)["W"].size() != cells) {
        err = "'" + f.path + "': its factors W are not " + std::to_string(f.rows) + " rows of " + std::to_string(K) +
              " components";
        return false;
    }
    for (const json &v : (*fj)["W"]) {
        if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < 0) {
            err = "'" + f.path + "': its factors W must be finite non-negative numbers";
            return false;
        }
        W.push_back(v.get<double>());
    }
    return true;
}

bool readFile(const std::string &given, GivenBases &g, std::string &err) {
    json j;
    BasesFile f;
    const std::string path = recordPath(given);
    f.path = path;
    if (!readJson(path, j, err) || !readAnalysis(j, f, err)) return false;
    const size_t K = j["components"].size();
    std::vector<double> W;
    if (!readW(j, f, K, W, err)) return false;
    for (size_t k = 0; k < K; ++k) {
        GivenBasis b;
        b.file = g.files.size();
        b.number = static_cast<int>(k) + 1;
        for (long r = 0; r < f.rows; ++r) b.rows.push_back(W[static_cast<size_t>(r) * K + k]);
        g.bases.push_back(std::move(b));
    }
    g.files.push_back(f);
    return true;
}

std::string modeName(const std::string &mode, long rows, long bins) {
    return mode + " (" + std::to_string(rows) + " rows of " + std::to_string(bins) + " bins)";
}

}  // namespace

int givenCount(const DecomposeOptions &opt) {
    return opt.given ? static_cast<int>(opt.given->bases.size()) : 0;
}

int resolveBases(DecomposeOptions &opt) {
    if (opt.extra < 0) {
        fail("--extra must be 0 or more");
        return 2;
    }
    if (opt.bases.empty()) {
        if (opt.fixBases || opt.extra > 0) {
            fail(std::string(opt.fixBases ? "--fix-bases" : "--extra") + " needs --bases");
            return 2;
        }
        return 0;
    }
    auto given = std::make_shared<GivenBases>();
    for (const std::string &path : opt.bases) {
        std::string err;
        if (path.empty()) {
            fail("--bases: an empty file name in the list");
            return 2;
        }
        bool read = false;
        try {
            read = readFile(path, *given, err);
        } catch (const std::exception &e) {
            err = describeFailure(recordPath(path), e);
        }
        if (!read) {
            fail("--bases: " + err);
            return 1;
        }
    }
    const int n = static_cast<int>(given->bases.size()), K = n + opt.extra;
    if (opt.componentsSet && opt.components != K) {
        fail("-k " + std::to_string(opt.components) + " contradicts the " + std::to_string(n) + " given component" +
             (n == 1 ? "" : "s") + " and --extra " + std::to_string(opt.extra) + " (" + std::to_string(K) +
             "); leave -k out with --bases");
        return 2;
    }
    if (K > kMaxComponents) {
        fail("the given components and --extra make " + std::to_string(K) + ", more than " +
             std::to_string(kMaxComponents));
        return 2;
    }
    opt.components = K;
    opt.given = given;
    return 0;
}

int checkGivenBases(const Run &run) {
    if (!run.opt.given) return 0;
    const kve_streamShape &s = run.shape;
    for (const BasesFile &f : run.opt.given->files) {
        auto refuse = [&](const std::string &what, const std::string &theirs, const std::string &ours) {
            fail("--bases: '" + f.path + "' was analysed with " + what + " " + theirs + ", this run with " + ours);
            return 1;
        };
        if (f.sampleRate != run.sound.sampleRate)
            return refuse("sample rate", std::to_string(f.sampleRate) + " Hz",
                          std::to_string(run.sound.sampleRate) + " Hz");
        if (f.window != s.window)
            return refuse("a window of", std::to_string(f.window) + " samples", std::to_string(s.window));
        if (f.fftSize != s.N) return refuse("FFT size", std::to_string(f.fftSize), std::to_string(s.N));
        if (f.bins != s.bins) return refuse("bins", std::to_string(f.bins), std::to_string(s.bins));
        // a mono record's bases serve every channel of a stacked analysis
        const bool perChannel = f.rows == f.bins && s.stacked;
        if (f.rows != s.rows && !perChannel)
            return refuse("channel mode", modeName(f.channelMode, f.rows, f.bins),
                          modeName(run.channelMode, s.rows, s.bins) + " (--channels sets this run's)");
    }
    return 0;
}

void putGivenBases(Run &run) {
    if (!run.opt.given) return;
    const size_t K = static_cast<size_t>(run.opt.components), rows = static_cast<size_t>(run.shape.rows);
    const auto &bases = run.opt.given->bases;
    // a basis of fewer rows (a mono record's, in a stacked run) is repeated
    // in each channel's block
    for (size_t k = 0; k < bases.size(); ++k)
        for (size_t r = 0; r < rows; ++r) run.W[r * K + k] = bases[k].rows[r % bases[k].rows.size()];
}

}  // namespace korvane
