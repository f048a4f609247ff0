#include "remix/remix_record.hpp"

#include "files/file_hash.hpp"
#include "files/name_bytes.hpp"
#include "files/record_json.hpp"
#include "files/stdin_sound.hpp"
#include "files/tool_record.hpp"

#include <sys/stat.h>

#include <algorithm>

namespace korvane {

using json = nlohmann::ordered_json;

namespace {

std::string text(const json &j, const char *key) {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}

bool exists(const std::string &path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

// Refuses a file that is not the one the record was made from.
bool sameAsRecorded(const json &record, const std::string &path, std::string &err) {
    const bool sized = record.contains("input_size") && record["input_size"].is_number_unsigned();
    const std::string hash = text(record, "input_hash");
    if (!sized || hash.empty()) {
        err = "the record keeps no size and hash of its input, so '" + path + "' cannot be checked";
        return false;
    }
    const std::uint64_t size = record["input_size"].get<std::uint64_t>();
    // the size first: a file of another size is not read to be refused
    struct stat st;
    FileFingerprint now;
    if (stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) != size)
        now.size = static_cast<std::uint64_t>(st.st_size);
    else if (!fingerprintFile(path, now, err))
        return false;
    if (now.size != size || hashText(now.hash) != hash) {
        err = "'" + path + "' changed since it was decomposed (" +
              (now.size != size ? "size " + std::to_string(size) + " bytes, now " + std::to_string(now.size)
                                : std::string("same size, other bytes")) +
              "); decompose it again";
        return false;
    }
    return true;
}

}  // namespace

bool readRecord(const std::string &given, json &record, std::string &path, std::string &dir, std::string &err) {
    struct stat st;
    if (stat(given.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        path = given;
        size_t slash = given.find_last_of('/');
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : given.substr(0, slash);
    } else {
        dir = given;
        path = given + "/components.json";
    }
    if (stat(path.c_str(), &st) != 0) {
        err = "cannot read '" + path + "': a folder that korvane decompose wrote holds it";
        return false;
    }
    const RecordRead got = readRecordFile(path, record, err);
    if (got == RecordRead::Unreadable || got == RecordRead::TooDeep || got == RecordRead::TooLarge) return false;
    if (got == RecordRead::NotJson || !record.is_object() || !record.contains("components") ||
        !record["components"].is_array()) {
        err = "'" + path + "' is not a record that korvane decompose wrote";
        return false;
    }
    return true;
}

bool findInput(const json &record, const std::string &given, std::string &path, std::string &err) {
    const std::string absolute = recordedName(record, "input_absolute"), asGiven = recordedName(record, "input");
    if (given.empty() && asGiven == kStdinName && absolute.empty()) {
        err = "the run read its sound from standard input; --input names the file it came from";
        return false;
    }
    if (!given.empty())
        path = given;
    else if (exists(absolute))
        path = absolute;
    else
        path = asGiven;
    if (!exists(path)) {
        err = "the input '" + (given.empty() && !absolute.empty() ? absolute : path) +
              "' of the run is missing; --input names it where it is now";
        return false;
    }
    // hashing a pipe or a device would wait on it, or never end
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        err = "'" + path + "' is not a regular file, so it is not the decomposed sound";
        return false;
    }
    return sameAsRecorded(record, path, err);
}

}  // namespace korvane
