#include "cli/component_list.hpp"

#include <set>
#include <string_view>

namespace korvane {

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// One component number within 1..K; err names the item or the number.
bool readNumber(std::string_view text, std::string_view item, int K, int &n, std::string &err) {
    text = trimmed(text);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        err = "'" + std::string(item) + "' is not a component number or a range like 2-4";
        return false;
    }
    long long v = 0;
    for (char c : text) {
        v = v * 10 + (c - '0');
        if (v > K) break;  // out of range already; no overflow however long
    }
    if (v < 1 || v > K) {
        err = "component " + std::string(text) + " is out of range 1.." + std::to_string(K);
        return false;
    }
    n = static_cast<int>(v);
    return true;
}

}  // namespace

bool parseComponentList(const std::string &text, int K, std::vector<int> &out, std::string &err) {
    if (text.empty()) {
        err = "the list of components is empty";
        return false;
    }
    std::set<int> picked;
    std::string_view rest(text);
    for (;;) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        size_t dash = item.find('-');
        int a = 0, b = 0;
        if (!readNumber(item.substr(0, dash), item, K, a, err)) return false;
        b = a;
        if (dash != std::string_view::npos && !readNumber(item.substr(dash + 1), item, K, b, err)) return false;
        if (a > b) {
            err = "'" + std::string(trimmed(item)) + "' runs downwards; write the range as " + std::to_string(b) + "-" +
                  std::to_string(a);
            return false;
        }
        for (int i = a; i <= b; ++i) picked.insert(i);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    out.assign(picked.begin(), picked.end());
    return true;
}

bool parseGroups(const std::vector<std::string> &texts, int K, std::vector<std::vector<int>> &out, std::string &err) {
    out.clear();
    for (const std::string &t : texts) {
        out.emplace_back();
        if (!parseComponentList(t, K, out.back(), err)) return false;
    }
    return true;
}

}  // namespace korvane
