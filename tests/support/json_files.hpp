// JSON files the tool writes, parsed.
#pragma once

#include "scratch.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace kvtest {

// The file parsed; throws when it is missing or not JSON.
inline nlohmann::json readJson(const std::string &path) {
    return nlohmann::json::parse(readText(path));
}

}  // namespace kvtest
