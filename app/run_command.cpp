// `korvane run SCRIPT [--trace FILE] [--plugins DIR]`
#include "command.hpp"
#include "maxhost.hpp"
#include "patch_script.hpp"
#include "plugin_dirs.hpp"
#include "trace.hpp"

#include <fstream>
#include <iostream>
#include <memory>

namespace korvane {

namespace {

struct RunOptions {
    std::string script;
    std::string trace;
    std::string plugins;
};

int runPatch(const RunOptions &o) {
    maxhost::setPluginPath(pluginDirs(o.plugins));
    std::ifstream file;
    std::istream *in = &std::cin;
    if (o.script != "-") {
        file.open(o.script);
        if (!file) {
            std::cerr << "cannot read script " << o.script << std::endl;
            return 1;
        }
        in = &file;
    }
    int status;
    {
        Trace trace;
        std::string err;
        if (!o.trace.empty() && !trace.open(o.trace, err)) {
            std::cerr << err << std::endl;
            return 1;
        }
        status = runScript(*in, o.script == "-" ? "stdin" : o.script, std::cerr);
        // objects are deleted while the trace still listens
        maxhost::reset();
    }
    return status;
}

}  // namespace

Command runCommand() {
    return Command{
        "run", "Run a patch script with the plug-ins loaded",
        [](CLI::App &sub) -> CommandRun {
            auto o = std::make_shared<RunOptions>();
            sub.add_option("SCRIPT", o->script, "Patch script ('-' reads standard input)")
                ->required();
            sub.add_option("--trace", o->trace,
                           "Write every outlet message and console line as JSON lines");
            sub.add_option("--plugins", o->plugins,
                           "Plug-in folders, colon-separated (default: $KORVANE_PLUGIN_PATH, "
                           "else plugins/ beside the executable)");
            return [o] { return runPatch(*o); };
        }};
}

}  // namespace korvane
