// Where the tool looks for plug-ins.
#pragma once

#include <string>
#include <vector>

namespace korvane {

// The folders given (colon-separated), else $KORVANE_PLUGIN_PATH
// (colon-separated), else the folder "plugins" beside the executable.
std::vector<std::string> pluginDirs(const std::string &option);

}  // namespace korvane
