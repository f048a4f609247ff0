#!/usr/bin/python3
"""Times scikit-learn's NMF (multiplicative updates, Kullback-Leibler, random
start, no tolerance, 100 iterations) and our qm_klNMF on the same magnitude
spectrogram, interleaved over several runs, on one and on two threads, and
prints both times, their ratio and the medians.

Run it with Debian's /usr/bin/python3; python3-sklearn is installed through
apt when it is missing."""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
import warnings


def ensure_sklearn():
    try:
        import sklearn  # noqa: F401
        import threadpoolctl  # noqa: F401
        return
    except ImportError:
        pass
    if os.environ.get("KV_SKLEARN_INSTALLED"):
        sys.exit("scikit-learn is still missing after installing python3-sklearn")
    print("installing python3-sklearn through apt ...", flush=True)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "install", "-y", "python3-sklearn"], check=True, env=env)
    os.environ["KV_SKLEARN_INSTALLED"] = "1"
    os.execv(sys.executable, [sys.executable] + sys.argv)


ensure_sklearn()

import numpy as np  # noqa: E402
from sklearn.decomposition import NMF  # noqa: E402
from sklearn.exceptions import ConvergenceWarning  # noqa: E402
from threadpoolctl import threadpool_limits  # noqa: E402

N, HOP, SR = 4096, 1024, 44100
F = N // 2 + 1


def spectrogram(frames):
    """|STFT| (F x frames) of a sound of partials with moving envelopes,
    square-root Blackman window, N = 4096, hop 1024."""
    rng = np.random.default_rng(3)
    n = (frames - 1) * HOP + N
    i = np.arange(n, dtype=np.float64)
    x = np.zeros(n)
    for p in range(1, 7):
        x += np.sin(2 * np.pi * 110.0 * p * i / SR) * (0.5 + 0.5 * np.sin(2 * np.pi * 0.3 * p * i / SR)) / p
    x = 0.3 * x + 0.01 * (rng.random(n) - 0.5)
    k = np.arange(N)
    b = 0.42 - 0.5 * np.cos(2 * np.pi * k / N) + 0.08 * np.cos(4 * np.pi * k / N)
    g = np.sqrt(np.maximum(b, 0.0))
    V = np.empty((F, frames))
    step = 512
    for t0 in range(0, frames, step):
        t1 = min(frames, t0 + step)
        idx = (np.arange(t0, t1) * HOP)[:, None] + k[None, :]
        V[:, t0:t1] = np.abs(np.fft.rfft(x[idx] * g, axis=1)).T
    return np.ascontiguousarray(V)


def time_sklearn(V, K, iters, threads, seed):
    model = NMF(n_components=K, solver="mu", beta_loss="kullback-leibler", init="random",
                tol=0.0, max_iter=iters, random_state=seed)
    with threadpool_limits(limits=threads), warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        t0 = time.perf_counter()
        model.fit_transform(V)
        return time.perf_counter() - t0


def time_ours(timer, path, frames, K, iters, threads):
    out = subprocess.run([timer, path, str(F), str(frames), str(K), str(iters), str(threads)],
                         check=True, capture_output=True, text=True)
    return float(out.stdout.strip())


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--timer", required=True, help="the kv_nmf_time executable")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--sizes", type=int, nargs="+", default=[2580, 10000],
                    help="frame counts (2580 is a minute at 44.1 kHz)")
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--K", type=int, default=10)
    ap.add_argument("--iters", type=int, default=100)
    a = ap.parse_args()

    import sklearn
    print(f"scikit-learn {sklearn.__version__}, numpy {np.__version__}; "
          f"F = {F}, K = {a.K}, {a.iters} iterations; load {os.getloadavg()[0]:.2f}", flush=True)
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        data = {}
        for frames in a.sizes:
            V = spectrogram(frames)
            path = os.path.join(tmp, f"V{frames}.bin")
            V.astype("<f8").tofile(path)
            data[frames] = (V, path)
        print(f"{'T':>6} {'threads':>7} {'run':>3} {'sklearn s':>10} {'ours s':>8} {'ratio':>7}")
        for run in range(a.runs):
            for frames in a.sizes:
                V, path = data[frames]
                for th in a.threads:
                    ts = time_sklearn(V, a.K, a.iters, th, seed=run)
                    to = time_ours(a.timer, path, frames, a.K, a.iters, th)
                    results.setdefault((frames, th), []).append((ts, to))
                    print(f"{frames:>6} {th:>7} {run:>3} {ts:>10.3f} {to:>8.3f} {ts / to:>7.1f}",
                          flush=True)

    print(f"\nmedians over {a.runs} runs (load now {os.getloadavg()[0]:.2f}):")
    print("| frames T | threads | ours (s) | ours per iteration (ms) | scikit-learn (s) | ratio |")
    print("|---:|---:|---:|---:|---:|---:|")
    for (frames, th), r in sorted(results.items()):
        ms = statistics.median(x[0] for x in r)
        mo = statistics.median(x[1] for x in r)
        ratio = statistics.median(x[0] / x[1] for x in r)
        print(f"| {frames} | {th} | {mo:.3f} | {1e3 * mo / a.iters:.1f} | {ms:.2f} | {ratio:.1f} |")


if __name__ == "__main__":
    main()
