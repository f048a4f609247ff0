// Where the tool looks for plug-ins.
#pragma once

#include <string>
#include <vector>

namespace korvane {

// The folders given (colon-separated), else $KORVANE_PLUGIN_PATH
// (colon-separated), else the folder "plugins" beside the executable (a
// build tree) or, installed, the plug-in folder under the prefix.
std::vector<std::string> pluginDirs(const std::string &option);

// err, and when it says a class was not found, the folders the host searched
// and how to set them.
std::string withPluginSearch(const std::string &err);

}  // namespace korvane
