// The factorisation of a numpy matrix: the start, then rounds of the
// multiplicative updates until the count or the tolerance stops them, as
// `korvane decompose` runs them. The work runs without the GIL.
#include "nmf.hpp"

#include "kv_engine.h"
extern "C" {
#include "nmf_fast.h"  // the rounds on double V, in the order given
}
#include "qm_matrixOps.h"
#include "round_bridge.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace kvpy {

namespace {

namespace py = pybind11;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Problem {
    int F = 0, T = 0, K = 0;
    const float *vf = nullptr;   // V as floats: the caller's, or vfCopy
    const double *vd = nullptr;  // V as the caller's doubles
    std::vector<float> vfCopy;
    bool eucl = false;
    int iterations = 0, fixed = 0;
    int precision = KVE_DOUBLE;
    double tol = 0;
    double *W = nullptr, *H = nullptr;
};

enum class Status { Ok, Stopped, NoMemory, BadValue };

[[noreturn]] void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw py::error_already_set();
}

template <class T>
long firstBadValue(const T *v, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!(v[i] >= 0) || !std::isfinite(v[i])) return static_cast<long>(i);
    return -1;
}

// The engine's rounds and tolerance loop on float V. On double V the same
// loop (the engine's takes floats only) over the double rounds, the cost
// read from V as floats.
double costOf(const Problem &p, bool estimate) {
    const int cost = p.eucl ? KVE_EUCLIDEAN : KVE_KULLBACK_LEIBLER;
    return (estimate ? kve_costEstimate : kve_cost)(cost, p.vf, p.W, p.H, p.F, p.T, p.K);
}

Status doubleRounds(Problem &p, RoundBridge &bridge, int &run, double &divergence) {
    const bool check = p.tol > 0;
    const int every = check ? KVE_CHECK_EVERY : p.iterations;
    double last = check ? costOf(p, true) : 0;
    run = 0;
    while (run < p.iterations) {
        const int n = std::min(every, p.iterations - run);
        bridge.before = run;
        const int rc = qm_fastIterate(p.eucl, p.vd, p.F, p.T, p.K, n, p.W, p.H, RoundBridge::onRound, &bridge);
        if (rc == 1) return Status::Stopped;
        if (rc != 0) return Status::NoMemory;
        run += n;
        if (!check) continue;
        const double now = costOf(p, true);
        const bool settled = last - now < p.tol * std::fabs(last);
        last = now;
        if (settled) break;
    }
    divergence = costOf(p, false);
    return std::isnan(divergence) ? Status::NoMemory : Status::Ok;
}

Status iterate(Problem &p, RoundBridge &bridge, int &run, double &divergence) {
    if (p.vd && p.fixed == 0 && p.precision == KVE_DOUBLE) return doubleRounds(p, bridge, run, divergence);
    kve_rounds how{};
    how.precision = p.precision;
    how.cost = p.eucl ? KVE_EUCLIDEAN : KVE_KULLBACK_LEIBLER;
    how.iterations = p.iterations;
    how.tol = p.tol;
    how.fixedK = p.fixed > 0 ? p.fixed : -1;
    kve_roundsDone done{};
    switch (kve_streamFactorise(p.vf, p.F, p.T, p.K, p.W, p.H, &how, RoundBridge::onRound, &bridge, &done)) {
    case KVE_OK:
        run = done.iterations;
        divergence = done.cost;
        return std::isnan(divergence) ? Status::NoMemory : Status::Ok;
    case KVE_STOPPED:
        return Status::Stopped;
    default:
        return Status::NoMemory;
    }
}

py::tuple nmf(const py::array &V, int K, bool eucl, int iterations, double tol, bool nndsvda,
              std::optional<unsigned> seed, std::optional<Doubles> W0, std::optional<Doubles> H0, int fixed,
              bool single, py::object progress) {
    if (V.ndim() != 2) throw py::value_error("V must be a 2-D array");
    if (!(V.flags() & py::array::c_style)) throw py::value_error("V must be C-contiguous");
    const bool isFloat = py::isinstance<py::array_t<float>>(V);
    if (!isFloat && !py::isinstance<py::array_t<double>>(V)) throw py::value_error("V must hold float32 or float64");
    if (V.shape(0) < 1 || V.shape(1) < 1) throw py::value_error("V must have at least one row and one column");
    if (V.shape(0) > INT_MAX || V.shape(1) > INT_MAX)
        throw py::value_error("V has more rows or columns than an int holds");
    Problem p;
    p.F = static_cast<int>(V.shape(0));
    p.T = static_cast<int>(V.shape(1));
    p.K = K;
    if (K < 1) throw py::value_error("the number of components must be at least 1, not " + std::to_string(K));
    if (static_cast<double>(p.F) * K > INT_MAX || static_cast<double>(K) * p.T > INT_MAX)
        throw py::value_error("k=" + std::to_string(K) + " makes W or H larger than an int counts");
    if (iterations < 1) throw py::value_error("iterations must be at least 1");
    if (!(tol >= 0)) throw py::value_error("tol must be 0 or a positive fraction");
    const long given = W0 ? static_cast<long>(W0->shape(1)) : 0;
    if (W0 && (W0->ndim() != 2 || W0->shape(0) != p.F || given < 1 || given > K))
        throw py::value_error("W must have V's " + std::to_string(p.F) + " rows and 1 to k columns");
    if (H0 && (H0->ndim() != 2 || H0->shape(0) != K || H0->shape(1) != p.T))
        throw py::value_error("H must be k x " + std::to_string(p.T) + " (k rows, V's columns)");
    if (fixed < 0 || fixed > given)
        throw py::value_error("fixed_bases must be between 0 and the columns of W given (" + std::to_string(given) +
                              ")");
    for (const auto *a : {W0 ? &*W0 : nullptr, H0 ? &*H0 : nullptr})
        if (a && firstBadValue(a->data(), static_cast<size_t>(a->size())) >= 0)
            throw py::value_error("W and H must hold finite values of 0 or more");
    p.eucl = eucl;
    p.iterations = iterations;
    p.tol = tol;
    p.fixed = fixed;
    p.precision = single ? KVE_SINGLE : KVE_DOUBLE;
    const unsigned seedUsed =
        seed ? *seed : static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());

    Doubles W({static_cast<py::ssize_t>(p.F), static_cast<py::ssize_t>(K)});
    Doubles H({static_cast<py::ssize_t>(K), static_cast<py::ssize_t>(p.T)});
    p.W = W.mutable_data();
    p.H = H.mutable_data();
    const size_t cells = static_cast<size_t>(p.F) * static_cast<size_t>(p.T);
    if (isFloat)
        p.vf = static_cast<const float *>(V.data());
    else
        p.vd = static_cast<const double *>(V.data());
    const double *w0 = W0 ? W0->data() : nullptr, *h0 = H0 ? H0->data() : nullptr;

    RoundBridge bridge(std::move(progress), iterations);
    Status st = Status::Ok;
    long bad = -1;
    int run = 0;
    double divergence = 0;
    {
        py::gil_scoped_release release;
        bad = isFloat ? firstBadValue(p.vf, cells) : firstBadValue(p.vd, cells);
        try {
            if (bad < 0 && !isFloat) {  // the start and the cost read floats
                p.vfCopy.resize(cells);
                std::transform(p.vd, p.vd + cells, p.vfCopy.begin(), [](double x) { return static_cast<float>(x); });
                p.vf = p.vfCopy.data();
            }
        } catch (const std::bad_alloc &) {
            st = Status::NoMemory;
        }
        if (bad >= 0)
            st = Status::BadValue;
        else if (st == Status::Ok && !(w0 && given == K && h0)) {
            if (!nndsvda)
                kve_randomStart(seedUsed, p.F, p.T, K, p.W, p.H);
            else if (kve_nndsvdaStart(p.vf, p.F, p.T, K, seedUsed, p.W, p.H) != 0)
                st = Status::NoMemory;
        }
        if (st == Status::Ok) {
            for (int r = 0; w0 && r < p.F; ++r)
                std::copy(w0 + static_cast<size_t>(r) * given, w0 + static_cast<size_t>(r + 1) * given,
                          p.W + static_cast<size_t>(r) * K);
            if (h0) std::memcpy(p.H, h0, sizeof(double) * static_cast<size_t>(K) * p.T);
            st = iterate(p, bridge, run, divergence);
        }
    }
    raiseIfStopped(bridge);
    if (st == Status::NoMemory) raise(PyExc_MemoryError, "not enough memory for the factorisation");
    if (st == Status::BadValue) {
        const long r = bad / p.T, c = bad % p.T;
        const double x = isFloat ? p.vf[bad] : p.vd[bad];
        throw py::value_error("V must hold finite values of 0 or more; V[" + std::to_string(r) + ", " +
                              std::to_string(c) + "] is " + py::str(py::float_(x)).cast<std::string>());
    }
    return py::make_tuple(W, H, run, divergence, seedUsed);
}

}  // namespace

void bindNmf(py::module_ &m) {
    m.def("nmf", &nmf, py::arg("V"), py::arg("k"), py::arg("euclidean"), py::arg("iterations"), py::arg("tol"),
          py::arg("nndsvda"), py::arg("seed").none(true), py::arg("W").none(true), py::arg("H").none(true),
          py::arg("fixed_bases"), py::arg("single"), py::arg("progress").none(true),
          "The factorisation behind korvane.nmf (see there): returns (W, H, rounds, divergence, seed).");
}

}  // namespace kvpy
