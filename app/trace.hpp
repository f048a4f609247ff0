// The run's events as JSON lines: outlet messages and console lines.
#pragma once

#include "maxhost.hpp"

#include <fstream>
#include <string>

namespace korvane {

// {"obj":"k","outlet":0,"sel":"list","atoms":[0.5,1,"foo"]}
std::string outletEventJson(const std::string &obj, long outlet, const t_symbol *sel,
                            short argc, const t_atom *argv);
// {"console":"post","text":"..."} or {"console":"error","text":"..."}
std::string consoleEventJson(const maxhost::ConsoleLine &line);
// A JSON string literal.
std::string jsonString(const std::string &s);

// Writes every event to a file while it lives; the host's sinks are
// restored when it goes.
class Trace {
public:
    Trace() = default;
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;
    ~Trace();
    bool open(const std::string &path, std::string &err);

private:
    std::ofstream out_;
};

}  // namespace korvane
