#include "cli/command.hpp"

#include "cli/option_hint.hpp"

#include <algorithm>
#include <cstdio>

namespace korvane {

namespace {

// Optimal string alignment distance.
size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The first word that is not an option: the subcommand's place.
const char *commandWord(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-') return argv[i];
    return nullptr;
}

bool asksForHelpOrVersion(const CLI::ParseError &e) {
    return dynamic_cast<const CLI::CallForHelp *>(&e) || dynamic_cast<const CLI::CallForAllHelp *>(&e) ||
           dynamic_cast<const CLI::CallForVersion *>(&e);
}

}  // namespace

std::string nearestName(const std::string &word, const std::vector<std::string> &names) {
    std::string best;
    size_t bestDistance = SIZE_MAX;
    std::vector<std::string> prefixed;
    for (const std::string &n : names) {
        size_t d = editDistance(word, n);
        if (d < bestDistance) {
            bestDistance = d;
            best = n;
        }
        if (word.size() >= 2 && n.compare(0, word.size(), word) == 0) prefixed.push_back(n);
    }
    if (prefixed.size() == 1) return prefixed[0];
    // close: at most a third of the longer word wrong
    if (3 * bestDistance <= std::max(word.size(), best.size()) + 1) return best;
    return std::string();
}

void Commands::add(const Command &c) {
    CLI::App *sub = app_.add_subcommand(c.name, c.help);
    runs_[sub] = c.setup(*sub);
    names_.push_back(c.name);
}

int Commands::usageError(const std::string &message) const {
    std::string prefix = "korvane";
    for (const CLI::App *sub : app_.get_subcommands()) prefix += " " + sub->get_name();
    std::fprintf(stderr, "%s: %s\n(%s --help lists the options)\n", prefix.c_str(), message.c_str(), prefix.c_str());
    return kExitUsage;
}

int Commands::main(int argc, char **argv) {
    const char *word = commandWord(argc, argv);
    if (word && std::find(names_.begin(), names_.end(), word) == names_.end()) {
        std::string near = nearestName(word, names_);
        std::fprintf(stderr, "korvane: unknown command \"%s\"", word);
        if (!near.empty()) std::fprintf(stderr, "; did you mean \"%s\"?", near.c_str());
        std::fprintf(stderr, "\n(korvane --help lists the commands)\n");
        return kExitUsage;
    }
    try {
        app_.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (asksForHelpOrVersion(e)) return app_.exit(e);
        if (!word) return usageError("no command given; the commands are " + CLI::detail::join(names_, ", "));
        std::string hint;
        if (dynamic_cast<const CLI::ExtrasError *>(&e))
            for (const CLI::App *sub : app_.get_subcommands()) hint = optionHint(*sub);
        return usageError(e.what() + hint);
    }
    for (const auto &r : runs_)
        if (r.first->parsed()) return r.second();
    return kExitUsage;
}

}  // namespace korvane
