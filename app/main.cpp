// korvane: the command-line host of the korvane~ and kv_lsProd plug-ins.
#include "command.hpp"
#include "decompose.hpp"
#include "demo.hpp"

int main(int argc, char **argv) {
    CLI::App app{"korvane: decomposes sounds into spectral components with the "
                 "korvane~ plug-in and runs patches of its objects"};
    app.require_subcommand(1);
    korvane::Commands commands(app);
    commands.add(korvane::decomposeCommand());
    commands.add(korvane::demoCommand());
    commands.add(korvane::runCommand());
    CLI11_PARSE(app, argc, argv);
    return commands.run();
}
