// file:// addresses of local files, for the messages that name a page.
#pragma once

#include <string>

namespace korvane {

// The path made absolute, with the bytes a URL cannot carry as they are
// percent-encoded.
std::string fileUrl(const std::string &path);

}  // namespace korvane
