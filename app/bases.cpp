#include "bases.hpp"

#include "decompose_steps.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <memory>

namespace korvane {

namespace {

using json = nlohmann::json;

bool readJson(const std::string &path, json &j, std::string &err) {
    std::ifstream f(path);
    if (!f) {
        err = "cannot read '" + path + "'";
        return false;
    }
    j = json::parse(f, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
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
    if (!positiveInt(j, "sample_rate", f.sampleRate)) missing = "sample_rate";
    else if (!positiveInt(j, "fft_size", f.fftSize)) missing = "fft_size";
    else if (!positiveInt(j, "bins", f.bins)) missing = "bins";
    else if (!j.contains("channel_mode") || !j["channel_mode"].is_string()) missing = "channel_mode";
    else if (!j.contains("components") || !j["components"].is_array() || j["components"].empty())
        missing = "components";
    if (missing) {
        err = "'" + f.path + "' has no usable \"" + missing + "\"";
        return false;
    }
    f.channelMode = j["channel_mode"].get<std::string>();
    return true;
}

// A component's basis_rows: finite, non-negative, as many as the file's others.
bool readRows(const json &c, const BasesFile &f, size_t at, std::vector<double> &rows, std::string &err) {
    const std::string where = "'" + f.path + "', component " + std::to_string(at + 1);
    if (!c.is_object() || !c.contains("basis_rows") || !c["basis_rows"].is_array()) {
        err = where + " has no \"basis_rows\" (written by an older korvane?): decompose its input again";
        return false;
    }
    for (const json &v : c["basis_rows"]) {
        if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < 0) {
            err = where + ": \"basis_rows\" must hold finite non-negative numbers";
            return false;
        }
        rows.push_back(v.get<double>());
    }
    if (rows.empty() || (f.rows && static_cast<long>(rows.size()) != f.rows)) {
        err = where + ": \"basis_rows\" has " + std::to_string(rows.size()) + " values, not " +
              std::to_string(f.rows ? f.rows : f.bins);
        return false;
    }
    return true;
}

bool readFile(const std::string &path, GivenBases &g, std::string &err) {
    json j;
    BasesFile f;
    f.path = path;
    if (!readJson(path, j, err) || !readAnalysis(j, f, err)) return false;
    const json &comps = j["components"];
    for (size_t k = 0; k < comps.size(); ++k) {
        GivenBasis b;
        b.file = g.files.size();
        b.number = static_cast<int>(k) + 1;
        if (!readRows(comps[k], f, k, b.rows, err)) return false;
        f.rows = static_cast<long>(b.rows.size());
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
        if (!readFile(path, *given, err)) {
            fail("--bases: " + err);
            return 1;
        }
    }
    const int n = static_cast<int>(given->bases.size()), K = n + opt.extra;
    if (opt.componentsSet && opt.components != K) {
        fail("-k " + std::to_string(opt.components) + " contradicts the " + std::to_string(n) +
             " given component" + (n == 1 ? "" : "s") + " and --extra " + std::to_string(opt.extra) +
             " (" + std::to_string(K) + "); leave -k out with --bases");
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
    const kvs_shape &s = run.shape;
    for (const BasesFile &f : run.opt.given->files) {
        auto refuse = [&](const std::string &what, const std::string &theirs, const std::string &ours) {
            fail("--bases: '" + f.path + "' was analysed with " + what + " " + theirs + ", this run with " + ours);
            return 1;
        };
        if (f.sampleRate != run.sound.sampleRate)
            return refuse("sample rate", std::to_string(f.sampleRate) + " Hz",
                          std::to_string(run.sound.sampleRate) + " Hz");
        if (f.fftSize != s.N) return refuse("FFT size", std::to_string(f.fftSize), std::to_string(s.N));
        if (f.bins != s.bins) return refuse("bins", std::to_string(f.bins), std::to_string(s.bins));
        if (f.rows != s.rows)
            return refuse("channel mode", modeName(f.channelMode, f.rows, f.bins),
                          modeName(run.channelMode, s.rows, s.bins) + " (--channels sets this run's)");
    }
    return 0;
}

void putGivenBases(Run &run) {
    if (!run.opt.given) return;
    const size_t K = static_cast<size_t>(run.opt.components);
    const auto &bases = run.opt.given->bases;
    for (size_t k = 0; k < bases.size(); ++k)
        for (size_t r = 0; r < bases[k].rows.size(); ++r) run.W[r * K + k] = bases[k].rows[r];
}

}  // namespace korvane
