#include "files/compact_json.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <future>
#include <sstream>
#include <system_error>

namespace korvane {

namespace {

using json = nlohmann::ordered_json;

// Text on its way to a stream, handed over a megabyte at a time.
struct Sink {
    std::ostream &os;
    std::string buf;
    void spill(bool all = false) {
        if (all || buf.size() >= (1u << 20)) {
            os.write(buf.data(), static_cast<std::streamsize>(buf.size()));
            buf.clear();
        }
    }
};

bool isFlat(const json &a) {
    return std::none_of(a.begin(), a.end(), [](const json &v) { return v.is_structured(); });
}

bool allFloats(const json &a) {
    return std::all_of(a.begin(), a.end(), [](const json &v) { return v.is_number_float(); });
}

// Numbers [i0, i1) of a float array as nlohmann's dump writes them, comma
// before each but the array's first: the shortest round-trip text, null
// where not finite.
void floatsText(std::string &out, const json &a, size_t i0, size_t i1) {
    std::array<char, 64> num;
    for (size_t i = i0; i < i1; ++i) {
        if (i > 0) out += ',';
        const double x = a[i].get<double>();
        if (!std::isfinite(x)) {
            out += "null";
        } else {
            char *end = nlohmann::detail::to_chars(num.data(), num.data() + num.size(), x);
            out.append(num.data(), static_cast<size_t>(end - num.data()));
        }
    }
}

// Arrays this long have their second half written by a thread of their own.
constexpr size_t kSplitFloats = size_t{1} << 16;

void putFloats(Sink &s, const json &a) {
    s.buf += '[';
    const size_t n = a.size();
    size_t half = n >= kSplitFloats ? n / 2 : n;
    std::future<std::string> rest;
    if (half < n) {
        try {
            rest = std::async(std::launch::async, [&a, half, n] {
                std::string t;
                floatsText(t, a, half, n);
                return t;
            });
        } catch (const std::system_error &) {
            half = n;
        }
    }
    for (size_t i0 = 0; i0 < half; i0 += 4096) {
        floatsText(s.buf, a, i0, std::min(half, i0 + 4096));
        s.spill();
    }
    if (rest.valid()) s.buf += rest.get();
    s.buf += ']';
}

void put(Sink &s, const json &j, int depth) {
    const std::string pad(static_cast<size_t>(depth + 1) * 2, ' ');
    const std::string close(static_cast<size_t>(depth) * 2, ' ');
    if (j.is_object() && !j.empty()) {
        s.buf += "{\n";
        size_t i = 0;
        for (auto it = j.begin(); it != j.end(); ++it, ++i) {
            s.buf += pad + json(it.key()).dump(-1, ' ', false, json::error_handler_t::replace) + ": ";
            put(s, it.value(), depth + 1);
            s.buf += i + 1 < j.size() ? ",\n" : "\n";
        }
        s.buf += close + "}";
    } else if (j.is_array() && !isFlat(j)) {
        s.buf += "[\n";
        for (size_t i = 0; i < j.size(); ++i) {
            s.buf += pad;
            put(s, j[i], depth + 1);
            s.buf += i + 1 < j.size() ? ",\n" : "\n";
        }
        s.buf += close + "]";
    } else if (j.is_array() && allFloats(j)) {
        putFloats(s, j);
    } else {
        s.buf += j.dump(-1, ' ', false, json::error_handler_t::replace);
    }
    s.spill();
}

}  // namespace

void dumpCompact(std::ostream &os, const json &j) {
    Sink s{os, {}};
    put(s, j, 0);
    s.spill(true);
}

std::string dumpCompact(const json &j) {
    std::ostringstream os;
    dumpCompact(os, j);
    return os.str();
}

}  // namespace korvane
