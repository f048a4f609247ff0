"""Shared channel spectra on the stereo mixtures: numpy prototypes of

  tensor      each component one spectrum w, a gain per channel g and an
              activation h, V[c] ~ sum_k g[c,k] w[:,k] h[k], each of the
              three by its own Kullback-Leibler multiplicative update
  projected   the stacked rounds with each component's channel blocks made,
              after each W update, the I-divergence's closest such product
              (its block sums times its summed spectrum over its total): what
              the engine runs

at K = sources and in pools of 2 K grouped by the gains alone or with the
spectra and activations (explore_models.py's features), scored as run.py
scores. Mean SI-SDR per kind over the stereo variants 4-6.

  nice /usr/bin/python3 bench/separation/explore_shared.py [--rate 22050] [--relax 1.75]
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import analysis as an  # noqa: E402
import explore_models as em  # noqa: E402
import material as mt  # noqa: E402
import nmf  # noqa: E402

EPS = nmf.EPS


def kl(V, L):
    return float(np.sum(V * np.log((V + EPS) / L)) - V.sum() + L.sum())


def tensor(V2, K, relax):
    C, F, T = V2.shape
    Ws, H = nmf.start_nndsvd(V2.reshape(C * F, T), K, fill="mean")
    Wc = Ws.reshape(C, F, K)
    W, G = np.maximum(Wc.sum(axis=0), 1e-12), Wc.sum(axis=1)
    G = G / np.maximum(G.sum(axis=0, keepdims=True), 1e-300)

    def model():
        return np.einsum("ck,fk,kt->cft", G, W, H) + EPS

    def step():
        nonlocal G, W
        GW = G[:, None, :] * W[None]
        H[:] *= (np.einsum("cfk,cft->kt", GW, V2 / model()) / (GW.sum(axis=(0, 1))[:, None] + EPS)) ** relax
        hs = H.sum(axis=1)
        W *= (np.einsum("ck,cft,kt->fk", G, V2 / model(), H) / (G.sum(axis=0) * hs + EPS)[None]) ** relax
        G *= (np.einsum("fk,cft,kt->ck", W, V2 / model(), H) / (W.sum(axis=0) * hs + EPS)[None]) ** relax
        s = G.sum(axis=0, keepdims=True)
        G, W = G / s, W * s

    em.run_rounds(step, lambda: kl(V2, model()))
    return G, W, H


def projected(V2, K, relax):
    C, F, T = V2.shape
    Vs = V2.reshape(C * F, T)
    Ws, H = nmf.start_nndsvd(Vs, K, fill="mean")

    def share(Ws):
        M = Ws.reshape(C, F, K)
        g = M.sum(axis=1) / np.maximum(M.sum(axis=(0, 1)), 1e-300)
        w = M.sum(axis=0)
        return g, w, (g[:, None, :] * w[None]).reshape(C * F, K)

    G, W, Ws = share(Ws)

    def step():
        nonlocal G, W, Ws
        H[:] *= ((Ws.T @ (Vs / (Ws @ H + EPS))) / (Ws.sum(axis=0)[:, None] + EPS)) ** relax
        Ws *= (((Vs / (Ws @ H + EPS)) @ H.T) / (H.sum(axis=1)[None] + EPS)) ** relax
        G, W, Ws = share(Ws)

    em.run_rounds(step, lambda: kl(Vs, Ws @ H + EPS))
    return G, W, H


def resynth(G, W, H, labels, K, specs, fr):
    out = np.zeros((K, fr.L, len(specs)))
    for c, X in enumerate(specs):
        Wc = W * G[c][None]
        model = np.maximum(Wc @ H, 1e-300)
        for k in range(K):
            m = labels == k
            out[k, :, c] = an.istft((Wc[:, m] @ H[m]) / model * X, fr)
    return out


def one_mixture(kind, v, rate, relax, cache):
    sr, mix, S = mt.read(mt.build(cache, kind, v, 2, rate))
    N, hop, win = an.sizes(sr)
    fr = an.Framing(len(mix), N, hop, "tool", win)
    specs = an.spectra(mix, fr)
    K = len(S)
    V2 = np.stack([np.abs(X) for X in specs])
    scores = {}
    for name, fit in (("tensor", tensor), ("projected", projected)):
        G, W, H = fit(V2, K, relax)
        scores[f"{name} K"] = np.mean(an.matched_scores(resynth(G, W, H, np.arange(K), K, specs, fr), S))
        G, W, H = fit(V2, 2 * K, relax)
        energy = W.sum(axis=0) * H.sum(axis=1)
        ctx = {"channels": 1, "bins": W.shape[0], "sr": sr, "n_fft": N}
        pan = G[:1].T
        for gname, X in (("gains", 2 * pan),
                         ("shape+act+4gains", np.hstack([em.feat_spec(W, ctx), em.feat_act(H), 4 * pan]))):
            lab = em.fix_empty(em.agglomerative(X, K), K, energy)
            scores[f"{name} 2K {gname}"] = np.mean(an.matched_scores(resynth(G, W, H, lab, K, specs, fr), S))
    return scores


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rate", type=int, default=22050)
    p.add_argument("--relax", type=float, default=1.0, help="exponent of the updates (1: plain)")
    p.add_argument("--cache", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   "..", "..", "build", "separation"))
    args = p.parse_args()
    table = {}
    for kind in mt.KINDS:
        for v in (4, 5, 6):
            for name, s in one_mixture(kind, v, args.rate, args.relax, args.cache).items():
                table.setdefault(name, {}).setdefault(kind, []).append(s)
            print(f"{kind} {v} done", file=sys.stderr, flush=True)
    print("| model | " + " | ".join(mt.KINDS) + " |")
    print("|---|" + "---:|" * len(mt.KINDS))
    for name, row in table.items():
        print(f"| {name} | " + " | ".join(f"{np.mean(row[k]):.1f}" for k in mt.KINDS) + " |")


if __name__ == "__main__":
    main()
