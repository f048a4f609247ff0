#include "files/record_json.hpp"

#include "files/memory_policy.hpp"
#include "files/tool_record.hpp"

#include <fstream>
#include <new>

namespace korvane {

namespace {

// Counts what a parse would build: depth, and bytes by a generous measure
// (a value's slot, each container's and string's own storage).
class Scan : public nlohmann::json_sax<nlohmann::json> {
public:
    int depth = 0;
    bool tooDeep = false;
    double bytes = 0;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t &) override { return value(); }
    bool string(string_t &s) override { return text(s); }
    bool binary(binary_t &) override { return value(); }
    bool start_object(std::size_t) override { return open(); }
    bool key(string_t &s) override { return text(s); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }

private:
    bool value() {
        bytes += 32;
        return true;
    }
    bool text(const string_t &s) {
        bytes += 64 + static_cast<double>(s.size());
        return true;
    }
    bool open() {
        bytes += 96;
        if (++depth > kRecordDepth) tooDeep = true;
        return !tooDeep;
    }
    bool close() {
        --depth;
        return true;
    }
};

template <typename Json>
RecordRead readInto(const std::string &path, Json &j, std::string &err) {
    const std::string shown = "'" + path + "'";
    std::string text;
    if (!readRegularFile(path, text, err)) return RecordRead::Unreadable;  // a pipe is not waited on
    Scan scan;
    const bool parsed = nlohmann::json::sax_parse(text, &scan);
    if (scan.tooDeep) {
        err = shown + " nests arrays or objects deeper than " + std::to_string(kRecordDepth) +
              ", as no record of korvane does";
        return RecordRead::TooDeep;
    }
    if (!parsed) {
        err = shown + " is not JSON";
        return RecordRead::NotJson;
    }
    if (memoryCap().bytes > 0 && scan.bytes > memoryCap().bytes) {
        err = shown + " would take more memory than this machine can give";
        return RecordRead::TooLarge;
    }
    try {
        j = Json::parse(text, nullptr, false);
    } catch (const std::bad_alloc &) {
        err = "not enough memory to read " + shown;
        return RecordRead::TooLarge;
    }
    if (j.is_discarded()) {
        err = shown + " is not JSON";
        return RecordRead::NotJson;
    }
    return RecordRead::Ok;
}

}  // namespace

RecordRead readRecordFile(const std::string &path, nlohmann::json &j, std::string &err) {
    return readInto(path, j, err);
}

RecordRead readRecordFile(const std::string &path, nlohmann::ordered_json &j, std::string &err) {
    return readInto(path, j, err);
}

}  // namespace korvane
