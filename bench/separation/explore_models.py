"""Which model separates the bench's mixtures best? numpy prototypes of the
candidate models, all multiplicative updates from the nndsvda start, scored as
run.py scores (ratio masks, SI-SDR after Hungarian matching, K = sources):

  kl            the engine's KL rounds (the reference)
  beta B        β-divergence, B in {0, 0.5, 1.5}
  l1H A         KL with L1 sparseness on H, weight A times the mean column sum
                of W (so it follows the data's scale)
  tc A          KL with Virtanen's temporal continuity on H, weight A times
                sum(V) / (K frames)
  nmfd S        convolutive KL (span S frames)
  group ...     P = m K components (KL), grouped into K sources by a
                clustering of their bases and/or activations

In mono the pools are also grouped on the `m:` sets (mono_blocks, MONO_SETS),
rate-independent features joined with weights: `lin`/`mel` unit square-root
spectrum on linear bins / 48 mel bands (both up to 11025 Hz), `cep` its
cepstral envelope, `linS`/`logS`/`onsS` unit centred activations (as they
are, their log, their onsets) smoothed over S seconds, and the scalars
`spk` (spikiness), `flat` (spectral flatness), `harm`/`cpp` (harmonicity);
`anchor` groups by the unpooled beta 0.5 factorisation.

Every run stops at the engine's tolerance (1e-4 relative over 10 rounds) or
at 200 rounds. One process, small grids; `nice -n 10` it.

  /usr/bin/python3 bench/separation/explore_models.py --variants 1 --out FILE.json
  /usr/bin/python3 bench/separation/explore_models.py --from-json FILE.json
  /usr/bin/python3 bench/separation/explore_models.py --channels 1 --rate 44100 \
      --groups-only --base "kl,beta 0.5" --pools 2,3,+2@b0.5 --keep "^m:" --out FILE.json
  /usr/bin/python3 bench/separation/explore_models.py --from-json FILE.json --ref "beta 0.5"
"""
import argparse
import json
import os
import re
import sys
import time

import numpy as np
from scipy.cluster.hierarchy import fcluster, linkage
from scipy.fft import dct

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import analysis as an  # noqa: E402
import material as mt  # noqa: E402
import nmf  # noqa: E402

EPS = nmf.EPS
MAX_ROUNDS, TOL, EVERY = 200, 1e-4, 10


# ---- models ------------------------------------------------------------------

def beta_div(V, L, beta):
    L = L + EPS
    if beta == 1:
        pos = V > 0
        return float(np.sum(V[pos] * np.log(V[pos] / L[pos])) - V.sum() + L.sum())
    if beta == 0:
        R = (V + EPS) / L
        return float(np.sum(R - np.log(R) - 1))
    return float(np.sum(V ** beta + (beta - 1) * L ** beta - beta * V * L ** (beta - 1))
                 / (beta * (beta - 1)))


def run_rounds(step, cost):
    """Calls step() until the cost improves by less than TOL (relative) over
    EVERY rounds, or MAX_ROUNDS. Returns the rounds done."""
    prev = cost()
    for i in range(1, MAX_ROUNDS + 1):
        step()
        if i % EVERY == 0:
            c = cost()
            if prev - c < TOL * abs(prev):
                return i
            prev = c
    return MAX_ROUNDS


def gamma(beta):
    return 1.0 / (2.0 - beta) if beta < 1 else (1.0 / (beta - 1) if beta > 2 else 1.0)


def nmf_beta(V, K, beta=1.0, l1H=0.0, tc=0.0):
    """β-divergence updates (H then W) with optional L1 on H and temporal
    continuity on H; the penalties scaled to the data (see the docstring)."""
    W, H = nmf.start_nndsvd(V, K, fill="mean")
    T = V.shape[1]
    g = gamma(beta)
    tc_scale = tc * V.sum() / (K * T)

    def penalties():
        num = np.zeros_like(H)
        den = np.zeros_like(H)
        if l1H:
            den += l1H * W.sum(axis=0).mean()
        if tc:
            s2 = np.sum(H * H, axis=1, keepdims=True) + EPS
            prev = np.concatenate([np.zeros((K, 1)), H[:, :-1]], axis=1)
            nxt = np.concatenate([H[:, 1:], np.zeros((K, 1))], axis=1)
            d2 = np.sum(np.diff(H, axis=1) ** 2, axis=1, keepdims=True)
            den += tc_scale * 4 * T * H / s2
            num += tc_scale * (2 * T * (prev + nxt) / s2 + 2 * T * H * d2 / s2 ** 2)
        return num, den

    def step():
        L = W @ H + EPS
        if beta == 1:
            a, b = V / L, np.ones_like(L)
        else:
            a, b = V * L ** (beta - 2), L ** (beta - 1)
        num, den = penalties()
        H[:] *= ((W.T @ a + num) / (W.T @ b + den + EPS)) ** g
        L = W @ H + EPS
        if beta == 1:
            a, b = V / L, np.ones_like(L)
        else:
            a, b = V * L ** (beta - 2), L ** (beta - 1)
        W[:] *= ((a @ H.T) / (b @ H.T + EPS)) ** g

    def cost():
        c = beta_div(V, W @ H, beta)
        if l1H:
            c += l1H * W.sum(axis=0).mean() * H.sum()
        if tc:
            s2 = np.sum(H * H, axis=1) + EPS
            c += tc_scale * T * float(np.sum(np.sum(np.diff(H, axis=1) ** 2, axis=1) / s2))
        return c

    rounds = run_rounds(step, cost)
    return W, H, rounds


def shift(H, l):
    """H moved l frames later (zeros in front)."""
    if l == 0:
        return H
    out = np.zeros_like(H)
    out[:, l:] = H[:, :-l]
    return out


def back(X, l):
    """X moved l frames earlier (zeros at the end)."""
    if l == 0:
        return X
    out = np.zeros_like(X)
    out[:, :-l] = X[:, l:]
    return out


def nmfd(V, K, span):
    """Convolutive KL updates (W_l for l < span), from nndsvda spread over the
    span with a falling profile. Returns the expanded rank-one factors
    (rows x K span, K span x frames) and group labels (k for each)."""
    W0, H0 = nmf.start_nndsvd(V, K, fill="mean")
    prof = np.exp(-np.arange(span) / max(1.0, span / 3.0))
    W = np.stack([W0 * p for p in prof])
    H = H0 / prof.sum()

    def model():
        return sum(W[l] @ shift(H, l) for l in range(span)) + EPS

    def step():
        Q = V / model()
        num = sum(W[l].T @ back(Q, l) for l in range(span))
        den = sum(np.outer(W[l].sum(axis=0), np.ones(V.shape[1]))
                  - W[l].sum(axis=0)[:, None] * (np.arange(V.shape[1]) >= V.shape[1] - l)[None, :]
                  for l in range(span))
        H[:] *= num / (den + EPS)
        Q = V / model()
        for l in range(span):
            Hl = shift(H, l)
            W[l] *= (Q @ Hl.T) / (Hl.sum(axis=1)[None, :] + EPS)

    rounds = run_rounds(step, lambda: beta_div(V, model() - EPS, 1.0))
    We = np.concatenate([W[l] for l in range(span)], axis=1)
    He = np.concatenate([shift(H, l) for l in range(span)], axis=0)
    labels = np.tile(np.arange(K), span)
    return We, He, labels, rounds


# ---- grouping ----------------------------------------------------------------

def mel_matrix(bins, sr, n_fft, n_mels=40, top=None):
    """Triangular mel filters (HTK mel scale) over 30 Hz .. top (sr/2)."""
    def mel(f):
        return 2595.0 * np.log10(1.0 + f / 700.0)

    def hz(m):
        return 700.0 * (10 ** (m / 2595.0) - 1.0)

    freqs = np.arange(bins) * sr / n_fft
    pts = hz(np.linspace(mel(30.0), mel(sr / 2 if top is None else top), n_mels + 2))
    M = np.zeros((n_mels, bins))
    for i in range(n_mels):
        lo, c, hi = pts[i], pts[i + 1], pts[i + 2]
        up = (freqs - lo) / (c - lo)
        down = (hi - freqs) / (hi - c)
        M[i] = np.maximum(0, np.minimum(up, down))
    return M


def channel_sum(W, channels, bins):
    return W.reshape(channels, bins, -1).sum(axis=0) if channels > 1 else W


def feat_mfcc(W, ctx, n_coef=13):
    """nussl-style timbre: cepstra of each basis on a mel scale (coefficient 0,
    the level, left out)."""
    Ws = channel_sum(W, ctx["channels"], ctx["bins"])
    M = mel_matrix(ctx["bins"], ctx["sr"], ctx["n_fft"])
    logm = np.log(M @ Ws + 1e-10 * Ws.max())
    C = dct(logm, type=2, axis=0, norm="ortho")[1:n_coef + 1]
    return C.T


def unit_rows(X):
    X = X - 0 * X
    n = np.linalg.norm(X, axis=1, keepdims=True)
    return X / np.maximum(n, 1e-300)


def feat_act(H, log=False):
    X = np.log(H + 1e-6 * H.max()) if log else H.copy()
    X = X - X.mean(axis=1, keepdims=True)
    return unit_rows(X)   # distances between rows ~ 1 - correlation


def feat_spec(W, ctx):
    Ws = channel_sum(W, ctx["channels"], ctx["bins"])
    return unit_rows(np.sqrt(Ws.T))   # Hellinger-like spectral shape


def feat_pan(W, ctx):
    """Each channel's share of the basis's energy (stereo only)."""
    if ctx["channels"] == 1:
        return np.zeros((W.shape[1], 0))
    E = (W.reshape(ctx["channels"], ctx["bins"], -1) ** 2).sum(axis=1)
    return (E / np.maximum(E.sum(axis=0), 1e-300)).T


def feat_rise(H):
    """The activation's rises from frame to frame over its sum: about 0.3
    for hits, under 0.1 for held sounds (one column)."""
    up = np.maximum(np.diff(H, axis=1), 0).sum(axis=1)
    return (up / np.maximum(H.sum(axis=1), 1e-300))[:, None]


def pitch_sums(W, ctx, low=35.0, high=1200.0, steps=240, partials=8, decay=0.84):
    """Subharmonic summation over each basis's unit sqrt spectrum: for each of
    `steps` pitches evenly spaced in log frequency, the sum of its partials
    (each the larger of the two bins around it, the h-th weighted
    decay^(h - 1)); returns the pitches and a row of sums per basis"""
    sp = feat_spec(W, ctx)
    hz = ctx["sr"] / ctx["n_fft"]
    f0s = np.exp(np.linspace(np.log(low), np.log(high), steps))
    sal = np.zeros((len(sp), steps))
    for j, f0 in enumerate(f0s):
        for h in range(1, partials + 1):
            b = h * f0 / hz
            if b >= sp.shape[1] - 1:
                break
            k = int(b)
            sal[:, j] += decay ** (h - 1) * np.maximum(sp[:, k], sp[:, k + 1])
    return f0s, sal


def feat_pitch(W, ctx):
    """log2 of each basis's pitch in Hz: the first pitch whose partials sum
    highest (one column)"""
    f0s, sal = pitch_sums(W, ctx)
    return np.log2(f0s[np.argmax(sal, axis=1)])[:, None]


def feat_harmonic(W, ctx, weight=0.5, spread=0.08):
    """How clearly each basis has a pitch: the log of its best pitch's sum
    over the median of its sums, scaled so that squared differences count
    `weight` over the variance across the bases, or over `spread` where that
    is larger (one column)"""
    _, sal = pitch_sums(W, ctx)
    best, med = sal.max(axis=1), np.median(sal, axis=1)
    h = np.where((best > 0) & (med > 0), np.log(np.maximum(best, 1e-300) / np.maximum(med, 1e-300)), 0.0)
    return (np.sqrt(weight / max(h.var(), spread)) * h)[:, None]


def feat_repeat(H, ctx, low=0.25, high=2.2):
    """How closely each activation repeats itself a beat to a bar later: its
    largest autocorrelation (centred, over its energy) at lags from `low` to
    `high` seconds, within its length; 0 for a flat one (one column)"""
    lo, hi = int(low * ctx["sr"] / ctx["hop"]), min(int(high * ctx["sr"] / ctx["hop"]), H.shape[1] - 1)
    out = np.zeros(len(H))
    for i, h in enumerate(H):
        x = h - h.mean()
        e = x @ x
        if e > 0 and hi > lo:
            out[i] = max((x[:-L] @ x[L:]) / e for L in range(lo, hi))
    return out[:, None]


def smooth(H, n):
    """moving average of each activation over n frames"""
    k = np.ones(n) / n
    return np.stack([np.convolve(h, k, mode="same") for h in H])


def kmeans(X, K, weights=None):
    """Deterministic k-means: farthest-point start from the heaviest point,
    Lloyd rounds; no empty cluster (the farthest point fills one)."""
    n = len(X)
    w = np.ones(n) if weights is None else weights
    centres = [int(np.argmax(w))]
    d = np.sum((X - X[centres[0]]) ** 2, axis=1)
    for _ in range(1, K):
        centres.append(int(np.argmax(d)))
        d = np.minimum(d, np.sum((X - X[centres[-1]]) ** 2, axis=1))
    C = X[centres].copy()
    lab = None
    for _ in range(100):
        D = ((X[:, None, :] - C[None, :, :]) ** 2).sum(axis=2)
        new = D.argmin(axis=1)
        for k in range(K):
            if not np.any(new == k):
                far = np.argmax(D[np.arange(n), new])
                new[far] = k
        if lab is not None and np.array_equal(new, lab):
            break
        lab = new
        for k in range(K):
            m = lab == k
            C[k] = (w[m, None] * X[m]).sum(axis=0) / w[m].sum()
    return lab


def agglomerative(X, K, method="average"):
    Z = linkage(X, method=method, metric="euclidean")
    return fcluster(Z, K, criterion="maxclust") - 1


def nmf_of_acts(H, K):
    """A K-component KL NMF of the (row-normalised) activations: component i
    goes to the group with the largest weight in its row of the loadings."""
    X = H / np.maximum(H.max(axis=1, keepdims=True), 1e-300)
    A, B = nmf.start_nndsvd(X, K, fill="mean")
    Q = np.empty(X.shape)
    for _ in range(200):
        nmf.kl_step(X, A, B, Q)
    A = A * B.max(axis=1)[None, :]
    return A.argmax(axis=1)


def oracle_start(W, H, specs_mag):
    """Each component to the source whose share of the mixture's
    time-frequency cells it lies in most (the oracle's first guess)."""
    share = specs_mag / np.maximum(specs_mag.sum(axis=0, keepdims=True), 1e-300)
    lab = []
    for i in range(W.shape[1]):
        C = np.outer(W[:, i], H[i])
        lab.append(int(np.argmax([np.sum(C * s) for s in share])))
    return np.array(lab)


def oracle(Y, S, lab):
    """Upper bound of grouping: coordinate ascent on the mean SI-SDR against
    the known sources (group s is source s), from lab."""
    K = len(S)
    lab = lab.copy()

    def value(lb):
        if len(set(lb.tolist())) < K:
            return -1e9
        return np.mean([an.si_sdr(Y[lb == k].sum(axis=0), S[k]) for k in range(K)])

    best = value(lab)
    for _ in range(6):
        moved = False
        for i in range(len(lab)):
            for k in range(K):
                if k == lab[i]:
                    continue
                trial = lab.copy()
                trial[i] = k
                v = value(trial)
                if v > best + 1e-9:
                    best, lab, moved = v, trial, True
        if not moved:
            break
    return lab


def fix_empty(lab, K, energy):
    """Gives each empty group the weakest component of the largest group."""
    lab = lab.copy()
    for k in range(K):
        if not np.any(lab == k):
            counts = np.bincount(lab, minlength=K)
            big = int(np.argmax(counts))
            members = np.where(lab == big)[0]
            lab[members[np.argmin(energy[members])]] = k
    return lab


def groupings(W, H, K, ctx):
    energy = W.sum(axis=0) * H.sum(axis=1)
    mf, ac, sp, pn = feat_mfcc(W, ctx), feat_act(H), feat_spec(W, ctx), feat_pan(W, ctx)
    mfz = (mf - mf.mean(axis=0)) / (mf.std(axis=0) + 1e-12)
    acl = feat_act(H, log=True)
    combo = np.hstack([sp, ac])
    combo_p = np.hstack([sp, ac, 2 * pn])
    out = {
        "mfcc km": kmeans(mfz, K),
        "mfcc agg": agglomerative(mfz, K),
        "act km": kmeans(ac, K),
        "act agg": agglomerative(ac, K),
        "actlog agg": agglomerative(acl, K),
        "shape km": kmeans(sp, K),
        "shape agg": agglomerative(sp, K),
        "shape+act km": kmeans(combo, K),
        "shape+act agg": agglomerative(combo, K),
        "shape+act wkm": kmeans(combo, K, energy),
        "mfcc+act agg": agglomerative(np.hstack([unit_rows(mfz), ac]), K),
        "shape+act single": agglomerative(combo, K, "single"),
        "shape+2act agg": agglomerative(np.hstack([sp, 2 * ac]), K),
        "shape+act s5 agg": agglomerative(np.hstack([sp, feat_act(smooth(H, 5))]), K),
        "shape+act s9 agg": agglomerative(np.hstack([sp, feat_act(smooth(H, 9))]), K),
        "shape+act s17 agg": agglomerative(np.hstack([sp, feat_act(smooth(H, 17))]), K),
        "shape+act s25 agg": agglomerative(np.hstack([sp, feat_act(smooth(H, 25))]), K),
        "shape+act s33 agg": agglomerative(np.hstack([sp, feat_act(smooth(H, 33))]), K),
        "shape+act s25+2rise agg": agglomerative(
            np.hstack([sp, feat_act(smooth(H, 25)), 2 * feat_rise(H)]), K),
        "shape+act s25+2rise ward": agglomerative(
            np.hstack([sp, feat_act(smooth(H, 25)), 2 * feat_rise(H)]), K, "ward"),
        "shape+act s25+2rise+pitch ward": agglomerative(
            np.hstack([sp, feat_act(smooth(H, 25)), 2 * feat_rise(H), feat_pitch(W, ctx)]), K, "ward"),
        "shape+act s25+2rise+1.41pitch+2repeat ward": agglomerative(
            np.hstack([sp, feat_act(smooth(H, 25)), 2 * feat_rise(H), np.sqrt(2) * feat_pitch(W, ctx),
                       2 * feat_repeat(H, ctx)]), K, "ward"),
        "shape+act s25+2rise+1.41pitch+2repeat+harmonic ward": agglomerative(
            np.hstack([sp, feat_act(smooth(H, 25)), 2 * feat_rise(H), np.sqrt(2) * feat_pitch(W, ctx),
                       2 * feat_repeat(H, ctx), feat_harmonic(W, ctx)]), K, "ward"),
        "shape+act complete": agglomerative(combo, K, "complete"),
        "shape+act ward": agglomerative(combo, K, "ward"),
        "nmf(H)": nmf_of_acts(H, K),
    }
    if ctx["channels"] > 1:
        out["shape+act+pan agg"] = agglomerative(combo_p, K)
        out["pan agg"] = agglomerative(pn, K)
        for wp in (1, 4):
            out[f"shape+act+{wp}pan agg"] = agglomerative(np.hstack([sp, ac, wp * pn]), K)
        out["shape+act+4pan+2rise agg"] = agglomerative(np.hstack([sp, ac, 4 * pn, 2 * feat_rise(H)]), K)
        out["shape+act+4pan+2rise ward"] = agglomerative(np.hstack([sp, ac, 4 * pn, 2 * feat_rise(H)]), K,
                                                         "ward")
        out["act+2pan agg"] = agglomerative(np.hstack([ac, 2 * pn]), K)
        out["shape+2pan agg"] = agglomerative(np.hstack([sp, 2 * pn]), K)
        for n in (9, 17, 33):
            out[f"shape+act s{n}+2pan agg"] = agglomerative(
                np.hstack([sp, feat_act(smooth(H, n)), 2 * pn]), K)
        out["shape+act+2pan single"] = agglomerative(combo_p, K, "single")
        out["shape+act+2pan complete"] = agglomerative(combo_p, K, "complete")
    out = {k: fix_empty(v, K, energy) for k, v in out.items()}
    return out


# ---- mono grouping features ---------------------------------------------------
# Rate-independent: the tool's bins are sr / N = 10.8 Hz apart and its hop is
# 0.02 s at every rate, so spans are in seconds and spectra stop at 11025 Hz.

TOP_HZ = 11025.0


def frames_of(seconds, ctx):
    """an odd frame count spanning about `seconds`"""
    n = max(1, int(round(seconds * ctx["sr"] / ctx["hop"])))
    return n if n % 2 else n + 1


def low_rows(W, ctx, top=TOP_HZ):
    """W's rows below `top` Hz (channels summed)"""
    Ws = channel_sum(W, ctx["channels"], ctx["bins"])
    return Ws[:int(top * ctx["n_fft"] / ctx["sr"]) + 1]


def feat_lin(W, ctx):
    """unit square-root spectrum on linear bins up to 11025 Hz"""
    return unit_rows(np.sqrt(low_rows(W, ctx).T))


def mel_bands(ctx, n=48):
    """triangular mel bands 30 .. 11025 Hz, each row averaging its bins"""
    M = mel_matrix(int(TOP_HZ * ctx["n_fft"] / ctx["sr"]) + 1, ctx["sr"], ctx["n_fft"], n,
                   TOP_HZ)
    return M / np.maximum(M.sum(axis=1, keepdims=True), 1e-300)


def feat_mel(W, ctx, n=48):
    """unit square-root spectrum on n mel bands"""
    return unit_rows(np.sqrt((mel_bands(ctx, n) @ low_rows(W, ctx)).T))


def feat_cep(W, ctx, n=12):
    """unit vector of cepstral coefficients 1 .. n of the log mel bands
    (floor 1e-4 of each basis's peak band): the envelope, not the level"""
    B = mel_bands(ctx) @ low_rows(W, ctx)
    L = np.log(B + 1e-4 * B.max(axis=0, keepdims=True) + 1e-300)
    return unit_rows(dct(L, type=2, axis=0, norm="ortho")[1:n + 1].T)


def feat_acts(H, ctx, seconds, kind="lin"):
    """unit centred activations smoothed over `seconds`: 'lin' as they are,
    'log' their log (floor 1e-3 of the row's peak), 'ons' their onsets (the
    half-wave rectified frame difference)"""
    if kind == "log":
        X = np.log(H + 1e-3 * H.max(axis=1, keepdims=True) + 1e-300)
    elif kind == "ons":
        X = np.maximum(np.diff(H, axis=1, prepend=H[:, :1]), 0)
    else:
        X = H
    return feat_act(smooth(X, frames_of(seconds, ctx)) if seconds > 0 else X)


def spikiness(H, ctx, seconds=0.25):
    """share of each activation above its moving average over `seconds`:
    near 0 for held parts, towards 1 for hits"""
    slow = smooth(H, frames_of(seconds, ctx))
    return np.maximum(H - slow, 0).sum(axis=1) / np.maximum(H.sum(axis=1), 1e-300)


def flatness(W, ctx):
    """spectral flatness of each basis on mel bands (geometric over
    arithmetic mean): near 0 for lines, towards 1 for noise"""
    B = mel_bands(ctx) @ low_rows(W, ctx) + 1e-12 * W.max()
    return np.exp(np.mean(np.log(B), axis=0)) / np.maximum(B.mean(axis=0), 1e-300)


def harmonicity(W, ctx, lo=60.0, hi=800.0, top=5000.0):
    """peak of the normalised autocorrelation of each basis's centred
    spectrum (bins up to `top` Hz) over lags of lo .. hi Hz: high for a
    comb of partials"""
    X = low_rows(W, ctx, top)
    X = X - X.mean(axis=0)
    hz = ctx["sr"] / ctx["n_fft"]
    a, b = int(np.ceil(lo / hz)), int(hi / hz) + 1
    F = np.fft.rfft(X, n=2 * len(X), axis=0)
    ac = np.fft.irfft(np.abs(F) ** 2, axis=0)[:len(X)]
    return ac[a:b].max(axis=0) / np.maximum(ac[0], 1e-300)


def cepstral_peak(W, ctx, lo=60.0, hi=800.0):
    """cepstral peak prominence of each basis: the real cepstrum of its log
    spectrum (bins to 11025 Hz, floor 1e-3 of its peak), the peak over
    quefrencies of lo .. hi Hz above the mean there, in standard deviations"""
    X = low_rows(W, ctx)
    L = np.log(X + 1e-3 * X.max(axis=0, keepdims=True) + 1e-300)
    c = np.fft.irfft(L, axis=0)
    q_rate = 2.0 * TOP_HZ     # the cepstrum's sample rate (2 (rows - 1) bins of sr / N)
    seg = c[int(q_rate / hi):int(q_rate / lo) + 1]
    return (seg.max(axis=0) - seg.mean(axis=0)) / np.maximum(seg.std(axis=0), 1e-300)


def mono_blocks(W, H, ctx):
    """named feature blocks (components x coordinates), each of comparable
    spread: unit vectors, or scalars in 0 .. 1"""
    blocks = {"lin": feat_lin(W, ctx), "mel": feat_mel(W, ctx),
              "spk": spikiness(H, ctx)[:, None], "flat": flatness(W, ctx)[:, None],
              "harm": harmonicity(W, ctx)[:, None], "raw": feat_act(H),
              "cep": feat_cep(W, ctx), "log1.0": feat_acts(H, ctx, 1.0, "log"),
              "cpp": np.clip((cepstral_peak(W, ctx) - 3.0) / 3.0, 0.0, 1.0)[:, None]}
    for s in (0.3, 0.5, 0.8):
        for kind in ("lin", "log", "ons"):
            blocks[f"{kind}{s}"] = feat_acts(H, ctx, s, kind)
    return blocks


# each set: '+'-joined blocks, a block optionally weighted ('2spk'), then
# the linkage if not average
MONO_SETS = [
    "lin+lin0.5", "mel+lin0.5", "mel+lin0.3", "mel+lin0.8",
    "mel+log0.3", "mel+log0.5", "mel+log0.8", "mel+ons0.3", "mel+ons0.5",
    "mel+lin0.5+ons0.5", "mel+log0.5+ons0.5",
    "mel+lin0.5+1spk", "mel+lin0.5+2spk", "mel+lin0.5+1flat", "mel+lin0.5+2flat",
    "mel+lin0.5+1harm", "mel+lin0.5+1spk+1flat", "mel+lin0.5+2spk+2flat",
    "mel+lin0.5+1spk+1flat+1harm", "mel+lin0.5+2spk+2flat+2harm",
    "mel+log0.5+1spk", "mel+log0.5+2spk", "mel+log0.5+1spk+1flat", "mel+log0.5+2spk+2flat",
    "mel+log0.5+1spk+1flat+1harm", "mel+ons0.5+1spk+1flat",
    "mel+2spk+2flat", "mel+2spk+2flat+2harm", "0.5mel+log0.5+1spk+1flat",
    "mel+2log0.5+1spk+1flat",
    "mel+lin0.5 ward", "mel+log0.5 ward", "mel+lin0.5+1spk+1flat ward",
    "mel+log0.5+1spk+1flat ward", "mel+lin0.5+1spk+1flat complete",
    "cep+log0.5", "mel+cep+log0.5", "cep+log0.5+1flat+1harm", "mel+log1.0", "mel+log0.5+1harm",
    "mel+2log0.5", "0.5mel+log0.5", "mel+log0.5+lin0.5", "mel+log0.5+1flat", "mel+log0.5+2flat",
    "mel+log0.5+1cpp", "mel+log0.5+2cpp", "mel+log0.5+3cpp", "mel+lin0.5+1cpp", "mel+lin0.5+2cpp",
    "mel+log0.5+1spk+1flat+1cpp", "mel+log0.5+2spk+2flat+2cpp", "mel+lin0.5+2spk+2flat+1cpp",
    "mel+lin0.5+2spk+2flat+2cpp", "mel+log0.5+2cpp ward",
]


def parse_set(text, blocks):
    """joined weighted blocks, e.g. "mel+log0.5+2spk" """
    parts = []
    for tok in text.split("+"):
        m = re.match(r"^([0-9.]*?)([a-z][a-z0-9.]*)$", tok)
        w = float(m.group(1)) if m.group(1) else 1.0
        parts.append(w * blocks[m.group(2)])
    return np.hstack(parts)


def mono_groupings(W, H, K, ctx, anchor=None):
    """the MONO_SETS groupings; with an unpooled factorisation (W0, H0) also
    'anchor': each component to the unpooled component whose share of the
    cells it lies in most"""
    blocks = mono_blocks(W, H, ctx)
    out = {}
    for setting in MONO_SETS:
        feats, _, method = setting.partition(" ")
        out[f"m:{setting}"] = agglomerative(parse_set(feats, blocks), K, method or "average")
    if anchor is not None:
        W0, H0 = anchor
        models = np.stack([np.outer(W0[:, k], H0[k]) for k in range(K)])
        out["m:anchor"] = oracle_start(W, H, models)
    return out


# ---- resynthesis of groups -------------------------------------------------------

def component_signals(W, H, specs, fr, mode):
    """Each rank-one component through its ratio mask (P x samples x
    channels); a group's estimate is the sum of its components' signals."""
    F = specs[0].shape[0]
    P = W.shape[1]
    out = np.zeros((P, fr.L, len(specs)))
    for c, X in enumerate(specs):
        Wc = W[c * F:(c + 1) * F] if mode == "stack" and len(specs) > 1 else W
        model = np.maximum(Wc @ H, 1e-300)
        for i in range(P):
            out[i, :, c] = an.istft(np.outer(Wc[:, i], H[i]) / model * X, fr)
    return out


def resynth_groups(W, H, labels, K, specs, fr, mode):
    """Ratio masks of the groups' sums (each channel its own rows of W when
    stacked), as analysis.resynth does for single components."""
    F = specs[0].shape[0]
    out = np.zeros((K, fr.L, len(specs)))
    for c, X in enumerate(specs):
        Wc = W[c * F:(c + 1) * F] if mode == "stack" and len(specs) > 1 else W
        model = np.maximum(Wc @ H, 1e-300)
        for k in range(K):
            m = labels == k
            out[k, :, c] = an.istft((Wc[:, m] @ H[m]) / model * X, fr)
    return out


# ---- the run ---------------------------------------------------------------------

def one_mixture(d, meta, pools, quick_models, base=None, keep=None):
    sr, mix, S = mt.read(d)
    N, hop, win = an.sizes(sr)
    fr = an.Framing(len(mix), N, hop, "tool", win)
    specs = an.spectra(mix, fr)
    K = len(S)
    mode = "stack" if meta["channels"] == 2 else "sum"
    V = an.magnitude(specs, mode)
    ctx = {"channels": meta["channels"], "bins": specs[0].shape[0], "sr": sr, "n_fft": N,
           "hop": hop}
    # each source's magnitude on V's rows (stacked channels for stereo)
    src_specs = [an.spectra(S[s], fr) for s in range(K)]
    src_mag = np.stack([an.magnitude(sp, mode) for sp in src_specs])
    recs = []

    def add(name, W, H, labels, rounds, secs):
        est = resynth_groups(W, H, labels, K, specs, fr, mode)
        sc = an.matched_scores(est, S)
        recs.append(dict(meta, model=name, score=float(np.mean(sc)),
                         sources=[float(x) for x in sc], rounds=rounds, seconds=secs))
        print(f"  {name:28s} {np.mean(sc):6.2f}  ({rounds} rounds, {secs:.1f} s)",
              file=sys.stderr, flush=True)

    ident = np.arange(K)
    models = [("kl", {})]
    if not quick_models or base:
        models += [("beta 0", {"beta": 0.0}), ("beta 0.5", {"beta": 0.5}),
                   ("beta 1.5", {"beta": 1.5}),
                   ("l1H 0.1", {"l1H": 0.1}), ("l1H 0.3", {"l1H": 0.3}), ("l1H 1", {"l1H": 1.0}),
                   ("tc 0.03", {"tc": 0.03}), ("tc 0.3", {"tc": 0.3}), ("tc 3", {"tc": 3.0})]
    if base:
        models = [m for m in models if m[0] in base]
    for name, kw in models:
        t0 = time.time()
        W, H, r = nmf_beta(V, K, **kw)
        add(name, W, H, ident, r, time.time() - t0)
    if not quick_models:
        for span in (4, 8):
            t0 = time.time()
            We, He, lab, r = nmfd(V, K, span)
            add(f"nmfd {span}", We, He, lab, r, time.time() - t0)
    anchor = nmf_beta(V, K, beta=0.5)[:2] if meta["channels"] == 1 else None
    for shape in pools:
        m, _, mod = shape.partition("@")   # e.g. 2@tc0.3, +2@b0.5: the pool's model
        P, tag = (K + int(m[1:]), f"K+{m[1:]}") if m.startswith("+") else (int(m) * K, f"{m}K")
        kw = {}
        if mod:
            kw = {"tc": float(mod[2:])} if mod.startswith("tc") else {"beta": float(mod[1:])}
            tag += f"@{mod}"
        t0 = time.time()
        W, H, r = nmf_beta(V, P, **kw)
        secs = time.time() - t0
        Y = component_signals(W, H, specs, fr, mode)
        gs = groupings(W, H, K, ctx)
        if ctx["channels"] == 1:
            gs.update({k: fix_empty(v, K, W.sum(axis=0) * H.sum(axis=1))
                       for k, v in mono_groupings(W, H, K, ctx, anchor).items()})
        if keep:
            gs = {k: v for k, v in gs.items() if re.search(keep, k)}
        gs["oracle"] = oracle(Y, S, fix_empty(oracle_start(W, H, src_mag), K,
                                              W.sum(axis=0) * H.sum(axis=1)))
        for gname, lab in gs.items():
            est = np.stack([Y[lab == k].sum(axis=0) for k in range(K)])
            sc = an.matched_scores(est, S)
            recs.append(dict(meta, model=f"group {tag} {gname}", score=float(np.mean(sc)),
                             sources=[float(x) for x in sc], rounds=r, seconds=secs,
                             labels=lab.tolist()))
            print(f"  group {tag} {gname:20s} {np.mean(sc):6.2f}", file=sys.stderr, flush=True)
    return recs


def table(records, ref="kl"):
    kinds = [k for k in mt.KINDS if any(r["kind"] == k for r in records)]
    lines = []
    for ch in sorted({r["channels"] for r in records}):
        rs = [r for r in records if r["channels"] == ch]
        models = list(dict.fromkeys(r["model"] for r in rs))
        lines.append(f"\n### {'Mono' if ch == 1 else 'Stereo (stacked)'}\n")
        lines.append(f"Mean SI-SDR (dB) over the mixtures; in brackets the difference to {ref}.\n")
        lines.append("| model | " + " | ".join(kinds) + " | mean |")
        lines.append("|---|" + "---:|" * (len(kinds) + 1))
        base = {k: np.mean([r["score"] for r in rs if r["kind"] == k and r["model"] == ref])
                for k in kinds}
        for m in models:
            cells, means = [], []
            for k in kinds:
                v = [r["score"] for r in rs if r["kind"] == k and r["model"] == m]
                if not v:
                    cells.append("")
                    continue
                mv = float(np.mean(v))
                means.append(mv)
                cells.append(f"{mv:.1f} ({mv - base[k]:+.1f})")
            lines.append(f"| {m} | " + " | ".join(cells) + f" | {np.mean(means):.1f} |")
    return "\n".join(lines)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--variants", type=int, default=1)
    p.add_argument("--first-variant", type=int, default=0)
    p.add_argument("--kinds", default=",".join(mt.KINDS))
    p.add_argument("--channels", default="1,2")
    p.add_argument("--pools", default="2,3,4",
                   help="components to factorise and group: m (m K) or +a (K + a), "
                        "optionally @tcA or @bB for the pool's model")
    p.add_argument("--groups-only", action="store_true", help="kl and grouping only")
    p.add_argument("--base", default="",
                   help="comma-separated unpooled models to run (e.g. 'kl,beta 0.5'); all if empty")
    p.add_argument("--keep", default="",
                   help="regular expression: only the groupings it finds (oracle always); "
                        "with --from-json only the models it finds (and kl, --ref)")
    p.add_argument("--rate", type=int, default=22050)
    p.add_argument("--ref", default="kl", help="the model the table's differences are to")
    p.add_argument("--cache", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   "..", "..", "build", "separation"))
    p.add_argument("--out", default="")
    p.add_argument("--from-json", default="")
    a = p.parse_args()
    if a.from_json:
        recs, seen = [], set()
        for f in a.from_json.split(","):
            with open(f) as fh:
                for r in json.load(fh):   # a run repeated in several files counts once
                    key = (r["kind"], r["channels"], r["variant"], r["model"])
                    if key not in seen and (not a.keep or r["model"] in ("kl", a.ref)
                                            or re.search(a.keep, r["model"])):
                        seen.add(key)
                        recs.append(r)
        print(table(recs, a.ref))
        return
    try:
        from threadpoolctl import threadpool_limits
        threadpool_limits(1)
    except ImportError:
        pass
    pools = [x for x in a.pools.split(",") if x]
    recs = []
    for ch in [int(c) for c in a.channels.split(",")]:
        for kind in a.kinds.split(","):
            for v in range(a.first_variant, a.first_variant + a.variants):
                vv = v + (4 if ch == 2 else 0)    # as run.py: stereo is other material
                d = mt.build(a.cache, kind, vv, ch, a.rate)
                meta = {"kind": kind, "channels": ch, "variant": vv, "rate": a.rate}
                print(f"{kind} {'stereo' if ch == 2 else 'mono'} {vv}", file=sys.stderr, flush=True)
                recs += one_mixture(d, meta, pools, a.groups_only,
                                    [b for b in a.base.split(",") if b],
                                    f"{a.keep}|oracle" if a.keep else None)
                if a.out:
                    with open(a.out, "w") as fh:
                        json.dump(recs, fh)
    print(table(recs, a.ref))


if __name__ == "__main__":
    main()
