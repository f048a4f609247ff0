// What remix takes from an earlier run: its record, and its input checked
// against the size and hash the record keeps.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace korvane {

// DIR/components.json parsed; false and err when missing or not a record.
bool readRecord(const std::string &dir, nlohmann::ordered_json &record, std::string &err);

// The input of the record: `given` when not empty, else the absolute path
// the record keeps, else its path as given to decompose. false and err when
// none is there, or when the file's size or hash differ from the record's.
bool findInput(const nlohmann::ordered_json &record, const std::string &given, std::string &path, std::string &err);

// The record with `names` added to its list of files (those not listed yet).
void listFiles(nlohmann::ordered_json &record, const std::vector<std::string> &names);

}  // namespace korvane
