// What remix takes from an earlier run: its record, and its input checked
// against the size and hash the record keeps.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace korvane {

// The record a run left: `given` is its folder or the record's own path.
// path and dir are set to the record's path and folder. false and err when
// missing, not a regular file (a pipe is refused without waiting on it) or
// not a record.
bool readRecord(const std::string &given, nlohmann::ordered_json &record, std::string &path, std::string &dir,
                std::string &err);

// The input of the record: `given` when not empty, else the absolute path
// the record keeps, else its path as given to decompose. false and err when
// none is there, or when the file's size or hash differ from the record's.
bool findInput(const nlohmann::ordered_json &record, const std::string &given, std::string &path, std::string &err);

}  // namespace korvane
