"""(For the tool before its streamed pipeline; kept for the record.) Checks
that the numpy prototype mirrors the tool: today's frames, today's
start for --seed S, 100 rounds of the KL updates and today's mask
w_k h_k / (W H + 0.1 max H) give the tool's component files. Prints the
SI-SDR of each tool file against its replica (matched), which should be
far above any separation score (rounding only).

usage: mirror.py KORVANE MIX_DIR [SEED]"""
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import analysis as an  # noqa: E402
import material as mt  # noqa: E402
import nmf  # noqa: E402


def replica(mix, sr, K, seed):
    N, hop, _ = an.sizes(sr, framing="old")
    fr = an.Framing(len(mix), N, hop, "old")
    specs = an.spectra(mix, fr)
    V = an.magnitude(specs, "sum")
    W0, H0 = nmf.start_tool(V, K, seed)
    W, H, _, _ = nmf.iterate(V, W0, H0, (100,), ())["it100"]
    model = W @ H + 0.1 * H.max()
    g = an.window(N)
    out = []
    for k in range(K):
        mask = np.outer(W[:, k], H[k]) / model
        comp = np.zeros((len(mix), len(specs)))
        for c, X in enumerate(specs):
            # plain windowed overlap-add, as the tool's resynthesis
            frames = np.fft.irfft((mask * X).T, n=N, axis=1) * g[None, :]
            comp[:, c] = an.overlap_add(frames, fr)[:len(mix)]
        out.append(comp)
    return out


def main():
    tool, d = sys.argv[1], sys.argv[2]
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    sr, mix, S = mt.read(d)
    K = len(S)
    with tempfile.TemporaryDirectory() as tmp:
        o = os.path.join(tmp, "out")
        subprocess.run([tool, "decompose", os.path.join(d, "mix.wav"), "-k", str(K), "--format",
                        "float", "-q", "-o", o, "--seed", str(seed)], check=True)
        files = [mt.sf.read(os.path.join(o, f"mix-c{k:02d}.wav"), always_2d=True)[0]
                 for k in range(1, K + 1)]
    rep = replica(mix, sr, K, seed)
    print(f"{os.path.basename(d)} seed {seed}: tool file against replica (dB):",
          " ".join(f"{x:.1f}" for x in an.matched_scores(files, rep)))


if __name__ == "__main__":
    main()
