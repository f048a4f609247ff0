#!/usr/bin/python3
"""`korvane decompose --plain`'s work done with numpy, scipy and scikit-learn:
read the sound, the tool's framing and window, the channels' magnitudes
stacked, Kullback-Leibler NMF from nndsvda (multiplicative updates, a fixed
number of rounds), every component through its ratio mask, each written as a
16-bit WAV. Prints the seconds of each step. Run by decompose_run.sh
(KV_PEER=1) on the same sound as the tool.

Usage: sklearn_pipeline.py IN.wav -k K -o FOLDER [--iterations N] [--float32]"""
import argparse
import os
import sys
import time
import warnings

import numpy as np
import soundfile as sf
from sklearn.decomposition import NMF
from sklearn.exceptions import ConvergenceWarning

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "separation"))
from analysis import Framing, magnitude, resynth, sizes, spectra  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("input")
    ap.add_argument("-k", type=int, default=10)
    ap.add_argument("-o", required=True)
    ap.add_argument("--iterations", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--float32", action="store_true", help="factorise V as float32")
    a = ap.parse_args()
    steps = {}
    t0 = time.perf_counter()
    x, sr = sf.read(a.input, always_2d=True)
    N, hop, win = sizes(sr)
    fr = Framing(x.shape[0], N, hop, "tool", win)
    specs = spectra(x, fr)
    V = magnitude(specs, "stack")
    if a.float32:
        V = V.astype(np.float32)
    steps["analysis"] = time.perf_counter() - t0

    t1 = time.perf_counter()
    model = NMF(n_components=a.k, solver="mu", beta_loss="kullback-leibler", init="nndsvda",
                tol=0.0, max_iter=a.iterations, random_state=a.seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        W = model.fit_transform(V)
    H = model.components_
    steps["factorisation"] = time.perf_counter() - t1

    t2 = time.perf_counter()
    os.makedirs(a.o, exist_ok=True)
    stem = os.path.splitext(os.path.basename(a.input))[0]
    for k, y in enumerate(resynth(W, H, specs, fr, "stack")):
        sf.write(os.path.join(a.o, f"{stem}-c{k + 1:02d}.wav"), np.clip(y, -1, 1), sr,
                 subtype="PCM_16")
    steps["resynthesis"] = time.perf_counter() - t2
    print(" ".join(f"{k} {v:.2f} s" for k, v in steps.items()),
          f"frames {V.shape[1]} rows {V.shape[0]}")


if __name__ == "__main__":
    main()
