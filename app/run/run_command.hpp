// The `run` command of the tool: a patch script run through the host stand-in.
#pragma once

#include "cli/command.hpp"

namespace korvane {

// `korvane run SCRIPT`: executes a patch script.
Command runCommand();

}  // namespace korvane
