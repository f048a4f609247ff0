"""The multiplicative updates written plainly in numpy, as a reference."""

import numpy as np

EPS = 2.220446049250313e-16


def kl_round(V, W, H):
    Q = V * (1.0 / (W @ H + EPS))
    H = H * (W.T @ Q) / (W.sum(axis=0)[:, None] + EPS)
    Q = V * (1.0 / (W @ H + EPS))
    W = W * (Q @ H.T) / (H.sum(axis=1)[None, :] + EPS)
    return W, H


def euclidean_round(V, W, H):
    H = H * (W.T @ V) / ((W.T @ W) @ H + EPS)
    W = W * (V @ H.T) / (W @ (H @ H.T) + EPS)
    return W, H


def rounds(V, W, H, n, cost="kl"):
    step = kl_round if cost == "kl" else euclidean_round
    V, W, H = (np.asarray(a, dtype=np.float64) for a in (V, W, H))
    for _ in range(n):
        W, H = step(V, W, H)
    return W, H


def kl_divergence(V, W, H):
    WH = np.maximum(W @ H, 1e-300)
    V = np.asarray(V, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        cells = np.where(V > 0, V * np.log(V / WH) - V + WH, WH)
    return cells.sum()
