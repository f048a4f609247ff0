// `korvane run SCRIPT [--trace FILE] [--plugins DIRS] [--strict]`
#include "run/run_command.hpp"

#include "maxhost.hpp"
#include "run/patch_script.hpp"
#include "run/plugin_dirs.hpp"
#include "run/trace.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

namespace korvane {

namespace {

struct RunOptions {
    std::string script;
    std::string trace;
    std::string plugins;
    bool strict = false;
};

void fail(const std::string &message) {
    std::cerr << "korvane run: " << message << std::endl;
}

int runPatch(const RunOptions &o) {
    maxhost::setPluginPath(pluginDirs(o.plugins));
    std::ifstream file;
    std::istream *in = &std::cin;
    if (o.script != "-") {
        errno = 0;
        file.open(o.script);
        if (!file) {
            fail("cannot read script " + o.script + (errno ? ": " + std::string(std::strerror(errno)) : ""));
            return kExitFailure;
        }
        in = &file;
    }
    Trace trace;
    std::string err;
    if (!o.trace.empty() && !trace.open(o.trace, err)) {
        fail(err);
        return kExitFailure;
    }
    ScriptOptions options;
    options.strict = o.strict;
    maxhost::Recorder recorder([&trace](const maxhost::Event &e) { trace.event(e); });
    if (trace.isOpen()) {
        options.console = recorder.consoleSink();
        options.outlet = recorder.outletSink();
    }
    int status;
    {
        ScriptRun run(o.script == "-" ? "stdin" : o.script, std::cerr, options);
        status = run.run(*in);
        // objects are deleted while the run still listens
        maxhost::reset();
    }
    if (trace.isOpen() && !trace.close(err)) {
        fail(err);
        return kExitFailure;
    }
    return status;
}

}  // namespace

Command runCommand() {
    return Command{"run", "Run a patch script with the plug-ins loaded", [](CLI::App &sub) -> CommandRun {
                       auto o = std::make_shared<RunOptions>();
                       sub.add_option("SCRIPT", o->script, "Patch script ('-' reads standard input)")->required();
                       sub.add_option("--trace", o->trace, "Write every outlet message and console line as JSON lines");
                       sub.add_option("--plugins", o->plugins,
                                      "Plug-in folders, colon-separated (default: $KORVANE_PLUGIN_PATH, "
                                      "else the plug-ins beside the executable)");
                       sub.add_flag("--strict", o->strict,
                                    "Stop with exit status 1 at the first error an object reports");
                       return [o] { return runPatch(*o); };
                   }};
}

}  // namespace korvane
