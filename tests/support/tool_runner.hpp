// Runs the real `korvane` tool on a patch script in a scratch folder and
// hands back its exit status, output and trace.
#pragma once

#include "tool.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

struct ToolRun {
    int status = -1;
    std::string out, err;
    std::vector<std::string> traceLines;  // raw, as written
    std::vector<nlohmann::json> trace;    // parsed

    // console lines of the trace, "P text" or "E text"
    std::vector<std::string> console() const {
        std::vector<std::string> c;
        for (const auto &j : trace)
            if (j.contains("console"))
                c.push_back((j["console"] == "error" ? "E " : "P ") + j["text"].get<std::string>());
        return c;
    }
    // outlet messages of the trace
    std::vector<nlohmann::json> messages() const {
        std::vector<nlohmann::json> m;
        for (const auto &j : trace)
            if (j.contains("obj")) m.push_back(j);
        return m;
    }
};

// A scratch folder with the tool run in it.
class ToolFolder : public kvtest::Scratch {
public:
    // Runs `SHELL_PREFIX korvane ARGS` in the folder (a shell command line;
    // the prefix may set limits or the environment).
    ToolRun tool(const std::string &args, const std::string &shellPrefix = "",
                 const std::string &exe = KORVANE_EXE) const {
        std::string cmd = "cd '" + path() + "' && " + shellPrefix + " '" + exe + "' " + args +
                          " > '" + path("out.txt") + "' 2> '" + path("err.txt") + "'";
        ToolRun r;
        int raw = std::system(cmd.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = read("out.txt");
        r.err = read("err.txt");
        return r;
    }

    // Runs `korvane run script.kvpatch --trace trace.jsonl EXTRA` in the folder.
    ToolRun run(const std::string &script, const std::string &extra = "", bool withTrace = true,
                const std::string &env = "", const std::string &shellPrefix = "") const {
        write("script.kvpatch", script);
        std::remove(path("trace.jsonl").c_str());
        ToolRun r = tool("run script.kvpatch " +
                             (withTrace ? std::string("--trace trace.jsonl ") : "") + extra,
                         shellPrefix + " env -u KORVANE_PLUGIN_PATH " + env);
        std::ifstream in(path("trace.jsonl"));
        for (std::string line; std::getline(in, line);) {
            r.traceLines.push_back(line);
            r.trace.push_back(nlohmann::json::parse(line));
        }
        return r;
    }
};
