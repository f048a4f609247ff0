#include "files/tool_record.hpp"

#include "files/file_hash.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace korvane {

using json = nlohmann::ordered_json;

bool stampFile(const std::string &path, FileStamp &stamp) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp.size = static_cast<std::uint64_t>(st.st_size);
    stamp.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

bool sameStamp(const FileStamp &a, const FileStamp &b) {
    return a.size == b.size && a.mtimeNs == b.mtimeNs;
}

json stampsJson(const std::vector<FileStamp> &stamps) {
    json list = json::object();
    for (const FileStamp &s : stamps) list[s.name] = json::array({s.size, s.mtimeNs});
    return list;
}

bool readRegularFile(const std::string &path, std::string &text, std::string &err, std::uint64_t maxBytes) {
    struct stat st;
    int fd = openRegularFile(path, st, err);
    if (fd < 0) return false;
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        err = "'" + path + "' is too large (" + std::to_string(st.st_size) + " bytes)";
        return false;
    }
    text.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = "cannot read '" + path + "': " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > maxBytes) {
            close(fd);
            err = "'" + path + "' is too large";
            return false;
        }
    }
    close(fd);
    return true;
}

bool readJsonObject(const std::string &path, json &j, std::string &err) {
    std::string text;
    try {
        if (!readRegularFile(path, text, err)) return false;
        j = json::parse(text, nullptr, false);
    } catch (const std::exception &e) {
        err = describeFailure(path, e);
        return false;
    }
    if (!j.is_object()) {
        err = "'" + path + "' is not a JSON object";
        return false;
    }
    return true;
}

RecordKind readToolRecord(const std::string &path, std::vector<FileStamp> &stamps) {
    stamps.clear();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return RecordKind::Missing;
    if (!S_ISREG(st.st_mode)) return RecordKind::Foreign;
    json j;
    std::string err;
    if (!readJsonObject(path, j, err)) return RecordKind::Foreign;
    auto g = j.find("generator");
    auto w = j.find("written");
    if (g == j.end() || *g != kGenerator || w == j.end() || !w->is_object()) return RecordKind::Foreign;
    for (auto e = w->begin(); e != w->end(); ++e) {
        const json &v = e.value();
        if (!v.is_array() || v.size() != 2 || !v[0].is_number_unsigned() || !v[1].is_number_integer())
            return RecordKind::Foreign;
        stamps.push_back({e.key(), v[0].get<std::uint64_t>(), v[1].get<std::int64_t>()});
    }
    return RecordKind::Ours;
}

std::string describeFailure(const std::string &path, const std::exception &e) {
    if (dynamic_cast<const std::bad_alloc *>(&e)) return "not enough memory for '" + path + "'";
    std::string what = e.what();
    if (!what.empty() && what[0] == '[') {
        size_t close = what.find("] ");
        if (close != std::string::npos) what.erase(0, close + 2);
    }
    return "'" + path + "' cannot be used: " + what;
}

}  // namespace korvane
