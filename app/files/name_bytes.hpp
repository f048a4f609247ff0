// File names in records: JSON holds only UTF-8, so a name of other bytes
// is kept twice: as text for people (invalid bytes shown as U+FFFD) and in
// KEY_hex as its bytes, which readers use to find the file again.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace korvane {

bool isUtf8(const std::string &s);

// j[key] = name, and j[key + "_hex"] = its bytes when they are not UTF-8.
void putName(nlohmann::ordered_json &j, const std::string &key, const std::string &name);

// The name put by putName: the bytes of KEY_hex when it is there and well
// formed, else the text of KEY; "" when neither is a string.
std::string recordedName(const nlohmann::ordered_json &j, const std::string &key);

}  // namespace korvane
