// JSON for people and programs alike: objects indented, an array of plain
// values (numbers, strings, ...) on one line. Numbers keep nlohmann's
// shortest text that reads back to the same double.
#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

namespace korvane {

std::string dumpCompact(const nlohmann::ordered_json &j);
// the same text, written to os as it is made
void dumpCompact(std::ostream &os, const nlohmann::ordered_json &j);

}  // namespace korvane
