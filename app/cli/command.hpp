// Subcommands of the `korvane` tool, each registered with one call in main.cpp.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace korvane {

// Exit statuses: a failure, and a command line that cannot be taken.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using CommandRun = std::function<int()>;

// A subcommand: its name, one line of help, and a set-up that adds its
// options to the CLI11 subcommand and returns what runs it once parsed.
struct Command {
    std::string name;
    std::string help;
    std::function<CommandRun(CLI::App &sub)> setup;
};

class Commands {
public:
    explicit Commands(CLI::App &app) : app_(app) {}
    void add(const Command &c);
    // Parses the command line and runs the subcommand it names; returns the
    // exit status (kExitUsage for anything the parser refuses).
    int main(int argc, char **argv);

private:
    int usageError(const std::string &message) const;
    CLI::App &app_;
    std::vector<std::string> names_;
    std::map<const CLI::App *, CommandRun> runs_;
};

// The name among `names` nearest to `word` (edit distance, a swap of two
// neighbours counting one, or a unique prefix); empty when none is close.
std::string nearestName(const std::string &word, const std::vector<std::string> &names);

}  // namespace korvane
