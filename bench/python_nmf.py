#!/usr/bin/python3
"""korvane.nmf against scikit-learn's NMF(solver="mu",
beta_loss="kullback-leibler") in one process: the same V (the magnitude
spectrogram of bench/sklearn_compare.py, F = 2049 by T frames), the same
random start, K = 10, 100 rounds, no tolerance; on one and two threads,
interleaved. Prints each time, the ratio and both final divergences.

Run with Debian's /usr/bin/python3 and PYTHONPATH=BUILD/python (or the
installed module); python3-sklearn comes from `scripts/setup.sh --packages
python3-sklearn`."""

import argparse
import os
import statistics
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
from sklearn.decomposition import NMF  # noqa: E402
from sklearn.exceptions import ConvergenceWarning  # noqa: E402
from threadpoolctl import threadpool_limits  # noqa: E402

import korvane  # noqa: E402
from sklearn_compare import spectrogram  # noqa: E402


def kl(V, W, H):
    WH = np.maximum(W @ H, 1e-300)
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.where(V > 0, V * np.log(V / WH) - V + WH, WH).sum())


def run_sklearn(V, W0, H0, iters):
    model = NMF(n_components=W0.shape[1], solver="mu", beta_loss="kullback-leibler", init="custom", tol=0.0,
                max_iter=iters)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        t0 = time.perf_counter()
        W = model.fit_transform(V, W=W0.copy(), H=H0.copy())
        return time.perf_counter() - t0, W, model.components_


def run_korvane(V, W0, H0, iters, precision):
    t0 = time.perf_counter()
    W, H, _ = korvane.nmf(V, W0.shape[1], iterations=iters, tol=0, W=W0, H=H0, precision=precision)
    return time.perf_counter() - t0, W, H


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--frames", type=int, default=2580, help="T (2580 is a minute at 44.1 kHz, hop 1024)")
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--K", type=int, default=10)
    ap.add_argument("--iters", type=int, default=100)
    ap.add_argument("--dtype", nargs="+", default=["float64", "float32"],
                    help="V's type, for both (scikit-learn keeps float32)")
    ap.add_argument("--precision", choices=["single", "double"], default="single",
                    help="korvane.nmf's rounds (single: its default)")
    a = ap.parse_args()

    import sklearn
    V64 = spectrogram(a.frames)
    F, T = V64.shape
    rng = np.random.default_rng(0)
    # sklearn's random init scale, so that both start where sklearn would
    scale = np.sqrt(V64.mean() / a.K)
    W0, H0 = scale * rng.random((F, a.K)), scale * rng.random((a.K, T))
    print(f"korvane {korvane.__version__}, scikit-learn {sklearn.__version__}, numpy {np.__version__}; "
          f"F = {F}, T = {T}, K = {a.K}, {a.iters} rounds, korvane in {a.precision}; load {os.getloadavg()[0]:.2f}", flush=True)
    print(f"{'dtype':>7} {'threads':>7} {'run':>3} {'sklearn s':>10} {'korvane s':>10} {'ratio':>6} "
          f"{'sklearn KL':>12} {'korvane KL':>12}")
    results = {}
    for run in range(a.runs):
        for dtype in a.dtype:
            V = V64.astype(dtype)
            for th in a.threads:
                with threadpool_limits(limits=th):
                    ts, Ws, Hs = run_sklearn(V, W0.astype(dtype), H0.astype(dtype), a.iters)
                    tk, Wk, Hk = run_korvane(V, W0, H0, a.iters, a.precision)
                ds, dk = kl(V64, Ws, Hs), kl(V64, Wk, Hk)
                results.setdefault((dtype, th), []).append((ts, tk, ds, dk))
                print(f"{dtype:>7} {th:>7} {run:>3} {ts:>10.3f} {tk:>10.3f} {ts / tk:>6.1f} {ds:>12.6g} {dk:>12.6g}",
                      flush=True)
    print(f"\nmedians over {a.runs} runs (load now {os.getloadavg()[0]:.2f}):")
    print("| V | threads | korvane.nmf (s) | scikit-learn (s) | ratio | KL korvane | KL scikit-learn |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for (dtype, th), r in sorted(results.items()):
        med = [statistics.median(x[i] for x in r) for i in range(4)]
        ratio = statistics.median(x[0] / x[1] for x in r)
        print(f"| {dtype} | {th} | {med[1]:.3f} | {med[0]:.2f} | {ratio:.1f} | {med[3]:.6g} | {med[2]:.6g} |")


if __name__ == "__main__":
    main()
