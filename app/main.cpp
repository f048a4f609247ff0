// korvane: the command-line host of the korvane~ and kv_lsProd plug-ins.
#include "cli/command.hpp"
#include "batch/decompose_command.hpp"
#include "demo/demo.hpp"
#include "remix/remix.hpp"
#include "run/run_command.hpp"

#include <cstdio>
#include <exception>

int main(int argc, char **argv) {
    try {
        CLI::App app{"korvane: decomposes sounds into spectral components with the "
                     "korvane~ plug-in and runs patches of its objects",
                     "korvane"};
        app.set_version_flag("--version", "korvane " KORVANE_VERSION);
        app.require_subcommand(1);
        korvane::Commands commands(app);
        commands.add(korvane::decomposeCommand());
        commands.add(korvane::demoCommand());
        commands.add(korvane::runCommand());
        commands.add(korvane::remixCommand());
        return commands.main(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "korvane: %s\n", e.what());
        return korvane::kExitFailure;
    }
}
