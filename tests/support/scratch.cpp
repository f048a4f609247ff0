#include "scratch.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace kvtest {

Scratch::Scratch() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

Scratch::~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void Scratch::write(const std::string &name, const std::string &text) const {
    std::ofstream(path(name), std::ios::binary) << text;
}

std::string Scratch::read(const std::string &name) const {
    return readText(path(name));
}

std::vector<std::string> listDir(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string readText(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void writeBytes(const std::string &path, const std::vector<unsigned char> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> readBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kvtest
