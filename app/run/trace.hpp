// The run's events as JSON lines: outlet messages and console lines.
#pragma once

#include "maxhost.hpp"
#include "recorder.hpp"
#include "files/replacing_file.hpp"

#include <string>

namespace korvane {

// {"obj":"k","outlet":0,"sel":"list","atoms":[0.5,1,"foo"]}
std::string outletEventJson(const std::string &obj, long outlet, const t_symbol *sel, short argc, const t_atom *argv);
// {"console":"post","text":"..."} or {"console":"error","text":"..."}
std::string consoleEventJson(const maxhost::ConsoleLine &line);
// A JSON string literal.
std::string jsonString(const std::string &s);

// Writes events to a file, one line each. The file is made under a
// temporary name and takes its own name when closed.
class Trace {
public:
    bool open(const std::string &path, std::string &err);
    bool isOpen() const { return file_.fd() >= 0; }
    // one line for an event of a maxhost::Recorder
    void event(const maxhost::Event &e);
    bool close(std::string &err);

private:
    void write(const std::string &event);
    ReplacingFile file_;
};

}  // namespace korvane
