// The `decompose` command of the tool: its options, and the inputs handed to
// one run (decompose/) or a batch of runs (batch.hpp).
#pragma once

#include "cli/command.hpp"

namespace korvane {

// `korvane decompose IN [options]`.
Command decomposeCommand();

}  // namespace korvane
