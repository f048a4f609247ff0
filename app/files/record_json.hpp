// A JSON record read from a file without trusting its shape: it is scanned
// first, and refused before anything is built when its nesting is deeper
// than any record of ours or its values would take more memory than the
// machine can give.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace korvane {

// Deepest nesting of arrays and objects a record may have (ours reach 3).
constexpr int kRecordDepth = 16;

enum class RecordRead { Ok, Unreadable, NotJson, TooDeep, TooLarge };

// The file parsed into j; otherwise why not, and err naming the file
// (e.g. "'PATH' nests arrays or objects deeper than 16"). Unreadable: it
// cannot be opened; NotJson: it is not JSON text.
RecordRead readRecordFile(const std::string &path, nlohmann::json &j, std::string &err);
RecordRead readRecordFile(const std::string &path, nlohmann::ordered_json &j, std::string &err);

}  // namespace korvane
