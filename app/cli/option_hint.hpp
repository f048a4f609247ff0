// "did you mean" for options a subcommand does not know.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace korvane {

// After sub refused words it does not know (CLI::ExtrasError): for each that
// looks like an option, the nearest of sub's option names, worded to follow
// the parser's message ("; did you mean \"--seed\"?"); empty when none is near.
std::string optionHint(const CLI::App &sub);

}  // namespace korvane
