// korvane.remix: the command line's remix, its messages raised.
#include "remix.hpp"

#include "messages.hpp"
#include "remix/remix.hpp"

#include <pybind11/stl.h>

namespace kvpy {

namespace {

namespace py = pybind11;

void remix(const std::string &dir, const std::vector<std::string> &groups, const std::string &out,
           const std::string &input, const std::string &format) {
    korvane::RemixOptions opt;
    opt.dir = dir;
    opt.groups = groups;
    opt.outDir = out;
    opt.input = input;
    opt.format = format;
    opt.quiet = true;
    CaughtMessages caught;
    int st;
    {
        py::gil_scoped_release release;
        st = korvane::runRemix(opt);
    }
    if (st == 0) return;
    const std::string text = caught.text();
    PyObject *type = st == 2                                               ? PyExc_ValueError
                     : text.find("not enough memory") != std::string::npos ? PyExc_MemoryError
                                                                           : PyExc_OSError;
    PyErr_SetString(type, text.empty() ? "remix failed" : text.c_str());
    throw py::error_already_set();
}

}  // namespace

void bindRemix(py::module_ &m) {
    m.def("remix", &remix, "The command line's remix (see korvane.remix).");
}

}  // namespace kvpy
