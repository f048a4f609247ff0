// The compiled half of the korvane package; korvane/__init__.py is the face.
#include "decomposition.hpp"
#include "nmf.hpp"
#include "remix.hpp"
#include "signals.hpp"

#include <pybind11/pybind11.h>

PYBIND11_MODULE(_korvane, m) {
    m.doc() = "korvane's engine for numpy arrays (use the korvane package)";
    m.attr("__version__") = KORVANE_VERSION;
    kvpy::bindNmf(m);
    kvpy::bindDecomposition(m);
    kvpy::bindRemix(m);
    kvpy::keepPythonSignalHandlers();
}
