// Patch scripts: one statement a line, '#' starts a comment.
//   buffer NAME FILE | buffer NAME CHANNELS FRAMES [RATE]
//   new ID CLASS [ARGS...]        connect ID OUTLET ID INLET
//   send ID INLET SELECTOR [ATOMS...]   sched ID INLET SELECTOR [ATOMS...]
//   write NAME FILE               free ID               dsp on
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace korvane {

// Carries out one statement given as words; false with err when it cannot.
bool runStatement(const std::vector<std::string> &words, std::string &err);

// Runs a script to its end or to its first failing statement, which is
// reported on `errors` as "NAME:LINE: message". Returns 0 or 1.
int runScript(std::istream &in, const std::string &name, std::ostream &errors);

}  // namespace korvane
