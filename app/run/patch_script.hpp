// Patch scripts: one statement a line, '#' starts a comment.
//   buffer NAME FILE | buffer NAME CHANNELS FRAMES [RATE]
//   new ID CLASS [ARGS...]        connect ID OUTLET ID INLET
//   send ID INLET SELECTOR [ATOMS...]   sched ID INLET SELECTOR [ATOMS...]
//   write NAME FILE               free ID               dsp on
#pragma once

#include "maxhost.hpp"

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane {

struct ScriptOptions {
    // An object's console error fails the statement that caused it.
    bool strict = false;
    // Every console line and outlet message, as they happen; by default
    // posts go to standard output.
    std::function<void(const maxhost::ConsoleLine &)> console;
    maxhost::OutletSink outlet;
};

// One run of a script. While it lives it takes the host's console and outlet
// events: errors are reported on `errors` as "NAME:LINE: CLASS: text", with
// the line of the statement that caused them; the rest goes to the options'
// watchers.
class ScriptRun {
public:
    ScriptRun(std::string name, std::ostream &errors, ScriptOptions options = {});
    ScriptRun(const ScriptRun &) = delete;
    ScriptRun &operator=(const ScriptRun &) = delete;
    ~ScriptRun();  // restores the host's sinks

    // Runs the script to its end or to its first failing statement, which
    // is reported as "korvane run: NAME:LINE: message". Returns 0 or 1.
    int run(std::istream &in);
    // Carries out one statement given as words; false with err when it cannot.
    bool statement(const std::vector<std::string> &words, std::string &err);
    std::size_t objectErrors() const { return objectErrors_; }

private:
    using Words = std::vector<std::string>;
    void onConsole(const maxhost::ConsoleLine &line);
    void onOutlet(const std::string &obj, long outlet);
    std::string label(const std::string &text) const;
    bool dispatch(const Words &w, std::string &err);
    bool doBuffer(const Words &w, std::string &err);
    bool doNew(const Words &w, std::string &err);
    bool doConnect(const Words &w, std::string &err);
    bool doFree(const Words &w, std::string &err);
    void soundRead(const std::string &buffer);
    void forget(const std::string &buffer);

    std::string name_;
    std::ostream &errors_;
    ScriptOptions options_;
    std::size_t line_ = 0;
    std::size_t objectErrors_ = 0;
    std::string speaker_;                         // class the current statement's errors are put to
    std::map<std::string, std::string> classes_;  // object id -> class
    std::map<std::pair<std::string, long>, std::vector<std::string>> wires_;
    std::optional<double> firstRate_;    // of the first sound read
    std::vector<std::string> rateless_;  // buffers waiting for that rate
};

// Runs a script with the default options; see ScriptRun::run.
int runScript(std::istream &in, const std::string &name, std::ostream &errors);

}  // namespace korvane
