// korvane.decompose: the command line's decomposition of a sound, held for
// Python, its components resynthesised to arrays or written as
// `korvane decompose` writes them.
#pragma once

#include <pybind11/pybind11.h>

namespace kvpy {

void bindDecomposition(pybind11::module_ &m);

}  // namespace kvpy
