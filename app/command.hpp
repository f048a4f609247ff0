// Subcommands of the `korvane` tool, each registered with one call in main.cpp.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <string>

namespace korvane {

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
    // Runs the subcommand that was parsed; returns its exit status.
    int run() const;

private:
    CLI::App &app_;
    std::map<const CLI::App *, CommandRun> runs_;
};

// `korvane run SCRIPT`: executes a patch script.
Command runCommand();

}  // namespace korvane
