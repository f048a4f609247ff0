// korvane.nmf: the command line's factorisation of any non-negative matrix.
#pragma once

#include <pybind11/pybind11.h>

namespace kvpy {

void bindNmf(pybind11::module_ &m);

}  // namespace kvpy
