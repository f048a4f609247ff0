// Pieces the fuzz targets share: a quiet host, a private scratch folder and
// inputs handed over as files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvfuzz {

// Makes the process's working folder a fresh private one (once), so that
// anything a target writes lands there.
const std::string &scratchDir();

// The host with every console line dropped and the plug-in folder set; its
// memory limit is kept small so that a claim of gigabytes is refused quickly.
void quietHost();

// data as a file in the scratch folder (the same name on every call).
std::string asFile(const uint8_t *data, size_t size, const char *name);

// The input split at line breaks into words of printable text.
std::string asText(const uint8_t *data, size_t size);

}  // namespace kvfuzz
