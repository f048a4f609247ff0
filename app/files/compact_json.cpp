#include "files/compact_json.hpp"

#include <algorithm>

namespace korvane {

namespace {

using json = nlohmann::ordered_json;

bool isFlat(const json &a) {
    return std::none_of(a.begin(), a.end(), [](const json &v) { return v.is_structured(); });
}

void put(std::string &out, const json &j, int depth) {
    const std::string pad(static_cast<size_t>(depth + 1) * 2, ' ');
    const std::string close(static_cast<size_t>(depth) * 2, ' ');
    if (j.is_object() && !j.empty()) {
        out += "{\n";
        size_t i = 0;
        for (auto it = j.begin(); it != j.end(); ++it, ++i) {
            out += pad + json(it.key()).dump(-1, ' ', false, json::error_handler_t::replace) + ": ";
            put(out, it.value(), depth + 1);
            out += i + 1 < j.size() ? ",\n" : "\n";
        }
        out += close + "}";
    } else if (j.is_array() && !isFlat(j)) {
        out += "[\n";
        for (size_t i = 0; i < j.size(); ++i) {
            out += pad;
            put(out, j[i], depth + 1);
            out += i + 1 < j.size() ? ",\n" : "\n";
        }
        out += close + "]";
    } else {
        out += j.dump(-1, ' ', false, json::error_handler_t::replace);
    }
}

}  // namespace

std::string dumpCompact(const json &j) {
    std::string out;
    put(out, j, 0);
    return out;
}

}  // namespace korvane
