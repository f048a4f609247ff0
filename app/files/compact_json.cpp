#include "files/compact_json.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>

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

// The array's text as nlohmann's dump writes it, number by number: its
// shortest round-trip text, null where not finite.
void putFloats(Sink &s, const json &a) {
    std::array<char, 64> num;
    s.buf += '[';
    bool first = true;
    for (const json &v : a) {
        if (!first) s.buf += ',';
        first = false;
        const double x = v.get<double>();
        if (!std::isfinite(x)) {
            s.buf += "null";
        } else {
            char *end = nlohmann::detail::to_chars(num.data(), num.data() + num.size(), x);
            s.buf.append(num.data(), static_cast<size_t>(end - num.data()));
        }
        s.spill();
    }
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
