#include "files/factors_record.hpp"

#include <algorithm>
#include <cmath>

namespace korvane {

using json = nlohmann::ordered_json;

json factorsJson(const kve_streamShape &s, const std::vector<double> &W, const std::vector<double> &H,
                 const std::vector<std::vector<int>> &members, double maskPower) {
    json j = {{"window", s.window}, {"rows", s.rows}, {"mask_power", maskPower}, {"W", W}, {"H", H}};
    if (!members.empty()) {
        j["inner"] = H.size() / static_cast<size_t>(s.frames);
        j["members"] = members;
    }
    return j;
}

namespace {

// An integer field of the record, or -1.
long long integer(const json &j, const char *key) {
    return j.is_object() && j.contains(key) && j[key].is_number_integer() ? j[key].get<long long>() : -1;
}

bool numbers(const json &j, const char *key, size_t count, std::vector<double> &out) {
    if (!j.contains(key) || !j[key].is_array() || j[key].size() != count) return false;
    out.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const json &v = j[key][i];
        if (!v.is_number()) return false;
        out[i] = v.get<double>();
        if (!(out[i] >= 0) || !std::isfinite(out[i])) return false;
    }
    return true;
}

// The members of a grouped record: K non-empty lists that use every inner
// component once.
bool readMembers(const json &fj, int K, int inner, std::vector<std::vector<int>> &members) {
    const json &m = fj["members"];
    if (!m.is_array() || m.size() != static_cast<size_t>(K)) return false;
    std::vector<char> used(static_cast<size_t>(inner), 0);
    members.assign(static_cast<size_t>(K), {});
    for (size_t k = 0; k < m.size(); ++k) {
        if (!m[k].is_array() || m[k].empty()) return false;
        for (const json &v : m[k]) {
            if (!v.is_number_integer()) return false;
            const long long i = v.get<long long>();
            if (i < 0 || i >= inner || used[static_cast<size_t>(i)]) return false;
            used[static_cast<size_t>(i)] = 1;
            members[k].push_back(static_cast<int>(i));
        }
    }
    return std::all_of(used.begin(), used.end(), [](char u) { return u != 0; });
}

// The framing again, from the window, FFT size and hop in samples.
bool reframe(const json &rec, const json &fj, int rate, long length, int channels, kve_streamShape &s) {
    const long long window = integer(fj, "window"), N = integer(rec, "fft_size"), hop = integer(rec, "hop");
    if (window < 2 || N < 2 || hop < 1 || hop > N || N > (1LL << 30) || window != integer(rec, "window_samples"))
        return false;
    const bool stacked = rec.value("channel_mode", std::string()) == "stack";
    int st = kve_streamShapeOfSamples(static_cast<long>(window), static_cast<long>(N), static_cast<long>(hop), rate,
                                      length, channels, stacked ? KVE_STACK : KVE_SUM, &s);
    return st == KVE_OK && s.window == window && s.N == N && s.hop == hop && s.frames == integer(rec, "frames") &&
           s.rows == integer(fj, "rows");
}

// Whether every model value w.h stays far inside the doubles: the largest
// basis value times the largest activation times K below kFactorBound, so
// that the masks' sums and ratios are finite.
constexpr double kFactorBound = 1e250;
// the most inner components a record may hold: a pool of 256 by a span of 64
constexpr long long kMostInner = 256 * 64;
// the sharpest masks a record may ask for
constexpr double kMostMaskPower = 4;

bool bounded(const std::vector<double> &W, const std::vector<double> &H, int K) {
    const double w = W.empty() ? 0 : *std::max_element(W.begin(), W.end());
    const double h = H.empty() ? 0 : *std::max_element(H.begin(), H.end());
    return w == 0 || h == 0 || h < kFactorBound / K / w;
}

}  // namespace

bool readFactors(const json &record, int rate, long length, int channels, Factors &f, std::string &err) {
    if (!record.contains("factors") || !record["factors"].is_object()) {
        err = "it keeps no factors (a record of an older korvane); decompose the sound again to remix it";
        return false;
    }
    const json &fj = record["factors"];
    const long long K = record.contains("components") && record["components"].is_array()
                            ? static_cast<long long>(record["components"].size())
                            : -1;
    if (!record.contains("window_samples")) {
        err = "it was written by an older korvane, whose window was its FFT size; decompose the sound again to "
              "remix it";
        return false;
    }
    if (K < 1 || K > 4096 || !reframe(record, fj, rate, length, channels, f.shape)) {
        err = "its framing does not fit its input (the record is damaged)";
        return false;
    }
    f.K = static_cast<int>(K);
    f.inner = f.K;
    f.members.clear();
    if (fj.contains("members")) {
        const long long inner = integer(fj, "inner");
        if (inner < 1 || inner > kMostInner || !readMembers(fj, f.K, static_cast<int>(inner), f.members)) {
            err = "its groups of inner components are not a division of them (the record is damaged)";
            return false;
        }
        f.inner = static_cast<int>(inner);
    }
    const size_t rows = static_cast<size_t>(f.shape.rows), frames = static_cast<size_t>(f.shape.frames);
    size_t wCells = 0, hCells = 0;
    if (f.shape.rows < 1 || f.shape.frames < 1 || __builtin_mul_overflow(rows, size_t(f.inner), &wCells) ||
        __builtin_mul_overflow(size_t(f.inner), frames, &hCells) || !numbers(fj, "W", wCells, f.W) ||
        !numbers(fj, "H", hCells, f.H)) {
        err = "its factors W and H are not the sizes its framing gives, or not all finite and non-negative "
              "(the record is damaged)";
        return false;
    }
    // records from before sharper masks share w_k h_k itself
    f.maskPower = 1;
    if (fj.contains("mask_power")) {
        const json &p = fj["mask_power"];
        f.maskPower = p.is_number() ? p.get<double>() : 0;
        if (!(f.maskPower >= 1 && f.maskPower <= kMostMaskPower)) {
            err = "its mask power is not a number from 1 to 4 (the record is damaged)";
            return false;
        }
    }
    if (!bounded(f.W, f.H, f.inner)) {
        err = "its factors W and H hold values so large that their products overflow (the record is damaged)";
        return false;
    }
    return true;
}

}  // namespace korvane
