"""What a pool holds on mono: `korvane decompose --pool 3K` on the mono
mixtures, its inner components regrouped here from the factors its
components.json records, each grouping scored as run.py scores (every source
the sum of its members' models through the ratio mask).

  tool      the tool's own grouping (its members)
  oracle    each inner component to the source its resynthesis projects on
            most: what the pool holds, an upper bound no blind grouping has
  perc      average linkage on the standardised percussiveness (rising
            activation over activation), spectral flatness and centroid
  act_nmf   a rank-K NMF of the smoothed, unit-sum activations, each
            component to its largest loading

Mean SI-SDR per kind, seed 1, variants 0-2 (--variants).

  nice /usr/bin/python3 bench/separation/explore_grouping.py [--rate 22050]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import analysis as an  # noqa: E402
import material as mt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SMOOTHING = 25  # frames, as the engine's grouping without channel shares


def pool_factors(tool, mix_wav, K, seed):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out")
        subprocess.run([tool, "decompose", mix_wav, "-k", str(K), "--pool", str(3 * K), "-q",
                        "--format", "float", "-o", out, "--seed", str(seed)], check=True)
        with open(os.path.join(out, "components.json")) as f:
            rec = json.load(f)
    fac = rec["factors"]
    H = np.array(fac["H"]).reshape(-1, rec["frames"])
    W = np.array(fac["W"]).reshape(-1, H.shape[0])
    return W, H, fac["members"], rec["sample_rate"], rec["fft_size"]


def agglomerate(D, K):
    """average linkage down to K clusters"""
    D = D.copy()
    P = len(D)
    size, alive, group = np.ones(P), np.ones(P, bool), np.arange(P)
    for _ in range(P - K):
        masked = np.where(np.outer(alive, alive) & ~np.eye(P, dtype=bool), D, np.inf)
        a, b = np.unravel_index(np.argmin(masked), D.shape)
        a, b = min(a, b), max(a, b)
        D[a] = D[:, a] = (size[a] * D[a] + size[b] * D[b]) / (size[a] + size[b])
        size[a] += size[b]
        alive[b] = False
        group[group == b] = a
    return [list(np.flatnonzero(group == g)) for g in np.unique(group)]


def labels_to_groups(labels, K):
    groups = [list(np.flatnonzero(labels == k)) for k in range(K)]
    return [g for g in groups if g]


def perc_groups(W, H, K, rate, N):
    f = np.arange(W.shape[0]) * rate / N
    w = W.T + 1e-12
    perc = np.log(np.maximum(np.diff(H, axis=1), 0).sum(1) / (H.sum(1) + 1e-300) + 1e-9)
    flat = np.log(np.exp(np.log(w).mean(1)) / w.mean(1))
    cent = np.log((w * f).sum(1) / w.sum(1) + 1e-9)
    X = np.stack([perc, flat, cent], 1)
    X = (X - X.mean(0)) / (X.std(0) + 1e-12)
    return agglomerate(np.sqrt(((X[:, None] - X[None]) ** 2).sum(-1)), K)


def act_nmf_groups(H, K, rounds=300):
    box = np.ones(SMOOTHING)
    X = np.array([np.convolve(h, box, "same") for h in H])
    X /= X.sum(1, keepdims=True) + 1e-300
    rng = np.random.default_rng(0)
    A, B = rng.random((len(X), K)) + 0.1, rng.random((K, X.shape[1])) + 0.1
    for _ in range(rounds):
        A *= ((X / (A @ B + 1e-12)) @ B.T) / (B.sum(1) + 1e-12)
        B *= (A.T @ (X / (A @ B + 1e-12))) / (A.sum(0)[:, None] + 1e-12)
    return labels_to_groups(np.argmax(A * B.sum(1), 1), K)


def oracle_groups(est, S, K):
    refs = [np.asarray(s).ravel() for s in S]
    labels = np.array([np.argmax([e.ravel() @ r / (r @ r) for r in refs]) for e in est])
    return labels_to_groups(labels, K)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tool", default=os.path.join(HERE, "../../build/korvane"))
    p.add_argument("--cache", default=os.path.join(HERE, "../../build/separation"))
    p.add_argument("--rate", default="22050,44100")
    p.add_argument("--variants", default="0,1,2")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    names = ["tool", "oracle", "perc", "act_nmf"]
    for rate in [int(r) for r in args.rate.split(",")]:
        table = {n: [] for n in names}
        for kind in mt.KINDS:
            got = {n: [] for n in names}
            for v in [int(x) for x in args.variants.split(",")]:
                d = mt.build(args.cache, kind, v, 1, rate)
                sr, mix, S = mt.read(d)
                N, hop, win = an.sizes(sr, framing="tool")
                fr = an.Framing(len(mix), N, hop, "tool", win)
                specs = an.spectra(mix, fr)
                K = len(S)
                W, H, members, rate_used, fft = pool_factors(args.tool, os.path.join(d, "mix.wav"), K,
                                                              args.seed)
                models = [np.outer(W[:, k], H[k]) for k in range(W.shape[1])]
                est = an.resynth_models(models, specs, fr, "sum")
                groupings = {"tool": members, "oracle": oracle_groups(est, S, K),
                             "perc": perc_groups(W, H, K, rate_used, fft),
                             "act_nmf": act_nmf_groups(H, K)}
                for n, g in groupings.items():
                    if len(g) < K:  # an empty source: scored as silence would be
                        g = g + [[]] * (K - len(g))
                    sources = [sum((models[k] for k in m), np.zeros_like(models[0])) for m in g]
                    got[n].append(np.mean(an.matched_scores(an.resynth_models(sources, specs, fr, "sum"),
                                                            S)))
            for n in names:
                table[n].append(np.mean(got[n]))
        print(f"\n{rate} Hz, mono, pool 3K, mean SI-SDR (dB)")
        print("| grouping | " + " | ".join(mt.KINDS) + " | mean |")
        print("|---|" + "---:|" * (len(mt.KINDS) + 1))
        for n in names:
            print(f"| {n} | " + " | ".join(f"{x:.1f}" for x in table[n]) + f" | {np.mean(table[n]):.1f} |")


if __name__ == "__main__":
    main()
