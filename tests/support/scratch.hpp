// The scratch folder every file-making test works in, and quick looks at
// files and folders.
#pragma once

#include <string>
#include <vector>

namespace kvtest {

// A fresh empty folder under the temporary folder, removed with its contents
// when the object goes.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    const std::string &path() const { return path_; }
    std::string path(const std::string &name) const { return path_ + "/" + name; }
    std::string operator/(const std::string &name) const { return path(name); }
    // a file of the folder written, or read ("" when it cannot be read)
    void write(const std::string &name, const std::string &text) const;
    std::string read(const std::string &name) const;

private:
    std::string path_;
};

// Bare names of the entries of a folder, sorted; empty when it is missing.
std::vector<std::string> listDir(const std::string &dir);
bool exists(const std::string &path);
// A file's bytes, or "" when it cannot be read.
std::string readText(const std::string &path);
void writeBytes(const std::string &path, const std::vector<unsigned char> &bytes);
std::vector<unsigned char> readBytes(const std::string &path);

}  // namespace kvtest
