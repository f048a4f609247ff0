// What makes a record (components.json, remix.json) one this tool wrote: a
// "generator" of "korvane" and a "written" list of the files of its run,
// each with its size and time of change as written. Only such a record may
// let a later run replace or remove files (staged_set.hpp).
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

constexpr const char *kGenerator = "korvane";
// The records the tool writes: decompose's and remix's.
constexpr const char *kRecordNames[] = {"components.json", "remix.json"};

struct FileStamp {
    std::string name;  // bare name in the record's folder
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
};

// The stamp of a regular file (not followed if a link); false otherwise.
bool stampFile(const std::string &path, FileStamp &stamp);
bool sameStamp(const FileStamp &a, const FileStamp &b);

// The "written" list of a record: {"NAME": [SIZE, MTIME_NS], ...}.
nlohmann::ordered_json stampsJson(const std::vector<FileStamp> &stamps);

enum class RecordKind { Missing, Ours, Foreign };

// Reads the record at path: Missing when there is none, Foreign when it is
// anything but a record this tool wrote (a pipe, a folder, other JSON), else
// Ours with its "written" list in stamps. Never waits on a pipe.
RecordKind readToolRecord(const std::string &path, std::vector<FileStamp> &stamps);

// A whole regular file's bytes, at most maxBytes. A pipe, device or folder is
// refused without waiting on it; false and err (naming path) on failure.
bool readRegularFile(const std::string &path, std::string &text, std::string &err, std::uint64_t maxBytes = 1ull << 32);

// A JSON object read from path with readRegularFile; false and err naming
// the file when it cannot be read or parsed.
bool readJsonObject(const std::string &path, nlohmann::ordered_json &j, std::string &err);

// A library's exception worded for the user, naming the file: its own
// bracketed tag left out, and lack of memory said plainly.
std::string describeFailure(const std::string &path, const std::exception &e);

}  // namespace korvane
