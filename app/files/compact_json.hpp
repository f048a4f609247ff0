// JSON for people and programs alike: objects indented, an array of plain
// values (numbers, strings, ...) on one line. Numbers keep nlohmann's
// shortest text that reads back to the same double.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace korvane {

std::string dumpCompact(const nlohmann::ordered_json &j);

}  // namespace korvane
