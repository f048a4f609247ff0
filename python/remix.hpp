// korvane.remix: groups of an earlier run made again from its record.
#pragma once

#include <pybind11/pybind11.h>

namespace kvpy {

void bindRemix(pybind11::module_ &m);

}  // namespace kvpy
