#include "cli/option_hint.hpp"

#include "cli/command.hpp"

#include <utility>
#include <vector>

namespace korvane {

namespace {

std::string core(const std::string &word) {
    size_t dashes = word.find_first_not_of('-');
    std::string c = dashes == std::string::npos ? std::string() : word.substr(dashes);
    return c.substr(0, c.find('='));
}

// Every name sub takes, without its dashes, beside the name as written.
std::vector<std::pair<std::string, std::string>> optionNames(const CLI::App &sub) {
    std::vector<std::pair<std::string, std::string>> names;
    for (const CLI::Option *o : sub.get_options()) {
        for (const std::string &l : o->get_lnames()) names.push_back({l, "--" + l});
        for (const std::string &s : o->get_snames()) names.push_back({s, "-" + s});
    }
    return names;
}

}  // namespace

std::string optionHint(const CLI::App &sub) {
    const auto names = optionNames(sub);
    std::vector<std::string> cores;
    for (const auto &n : names) cores.push_back(n.first);
    std::vector<std::pair<std::string, std::string>> hints;  // word, name
    for (const std::string &word : sub.remaining()) {
        const std::string c = core(word);
        if (word.size() < 2 || word[0] != '-' || c.size() < 2) continue;  // "-", "-x", values
        const std::string near = nearestName(c, cores);
        for (const auto &n : names)
            if (!near.empty() && n.first == near) {
                hints.push_back({word, n.second});
                break;
            }
    }
    if (hints.empty()) return std::string();
    if (hints.size() == 1) return "; did you mean \"" + hints[0].second + "\"?";
    std::string text = "; did you mean";
    for (size_t i = 0; i < hints.size(); ++i)
        text += (i == 0                  ? " \""
                 : i + 1 == hints.size() ? " and \""
                                         : ", \"") +
                hints[i].second + "\" for " + hints[i].first;
    return text + "?";
}

}  // namespace korvane
