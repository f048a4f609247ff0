"""Candidate starts and the engine's Kullback-Leibler multiplicative updates in
numpy; the peers: scikit-learn's NMF on the same V and a convolutive NMF.

The updates are those of qm_matrixOps/kl_iterate.c: H first, then W with the
new H, eps = 2^-52 added to W H and to the column/row sums."""
import numpy as np

EPS = 2.220446049250313e-16


def divergence(V, W, H):
    WH = W @ H + EPS
    pos = V > 0
    return float(np.sum(V[pos] * np.log(V[pos] / WH[pos])) - V.sum() + WH.sum())


def quotient(V, W, H, Q):
    """Q = V / (W H + eps), in place"""
    np.matmul(W, H, out=Q)
    Q += EPS
    np.divide(V, Q, out=Q)


def kl_step(V, W, H, Q):
    quotient(V, W, H, Q)
    H *= (W.T @ Q) / (W.sum(axis=0)[:, None] + EPS)
    quotient(V, W, H, Q)
    W *= (Q @ H.T) / (H.sum(axis=1)[None, :] + EPS)


def iterate(V, W, H, checkpoints, tols, every=10):
    """Runs up to max(checkpoints) rounds. Returns {label: (W, H, rounds, D)}
    with a copy at each checkpoint ('it100' ...) and, for each tolerance, at
    the first check (every `every` rounds) where the divergence improved by
    less than tol relative to the previous check ('tol1e-04' ...)."""
    W, H = W.copy(), H.copy()
    Q = np.empty(V.shape)
    last = max(checkpoints)
    out = {}
    prev = divergence(V, W, H)
    open_tols = list(tols)
    for i in range(1, last + 1):
        kl_step(V, W, H, Q)
        if i in checkpoints:
            out[f"it{i}"] = (W.copy(), H.copy(), i, divergence(V, W, H))
        if open_tols and i % every == 0:
            d = divergence(V, W, H)
            for tol in list(open_tols):
                if (prev - d) < tol * abs(prev) or i == last:
                    out[f"tol{tol:.0e}"] = (W.copy(), H.copy(), i, d)
                    open_tols.remove(tol)
            prev = d
    return out


class GlibcRand:
    """glibc's rand() (the additive feedback generator behind srand/rand), so
    that the tool's own start can be replayed for a given --seed."""

    def __init__(self, seed):
        r = [0] * 34
        r[0] = seed if seed != 0 else 1
        for i in range(1, 31):
            hi, lo = divmod(r[i - 1], 127773)
            word = 16807 * lo - 2836 * hi
            if word < 0:
                word += 2147483647
            r[i] = word
        for i in range(31, 34):
            r[i] = r[i - 31]
        self.r = r
        for _ in range(310):
            self._next()

    def _next(self):
        r = self.r
        v = (r[-31] + r[-3]) & 0xFFFFFFFF
        r.append(v)
        if len(r) > 64:
            del r[:-34]
        return v >> 1

    def uniform(self, n):
        return np.array([self._next() for _ in range(n)], dtype=float) / 2147483647.0


def start_tool(V, K, seed):
    """Today's start, uniform [0, 1]: rand() / (2^31 - 1) for all of W, then
    all of H, in storage order, after srand(seed) (the tool's --seed)."""
    F, T = V.shape
    g = GlibcRand(seed)
    W = g.uniform(F * K).reshape(F, K)
    H = g.uniform(K * T).reshape(K, T)
    return W, H


def start_uniform(V, K, seed):
    """Uniform [0, 1] draws from numpy's generator."""
    rng = np.random.default_rng(seed)
    F, T = V.shape
    return rng.random((F, K)), rng.random((K, T))


def start_scaled(V, K, seed):
    """Uniform start scaled so that the mean of W H is the mean of V. The KL
    updates undo any scale of the start after the first H update (W H is then
    that of the unscaled start), so this only checks that."""
    W, H = start_uniform(V, K, seed)
    s = 2.0 * np.sqrt(V.mean() / K)
    return W * s, H * s


def start_halfnormal(V, K, seed):
    """scikit-learn's 'random' start: sqrt(mean(V) / K) times the magnitudes
    of normal draws, H drawn before W, from RandomState(seed)."""
    F, T = V.shape
    rng = np.random.RandomState(seed)
    avg = np.sqrt(V.mean() / K)
    H = avg * rng.standard_normal(size=(K, T))
    W = avg * rng.standard_normal(size=(F, K))
    return np.abs(W), np.abs(H)


def start_nndsvd(V, K, seed=None, fill="zero"):
    """Non-negative double SVD (Boutsidis and Gallopoulos), as scikit-learn
    forms it; fill 'mean' puts the mean of V into its zeros (nndsvda)."""
    U, S, Vt = np.linalg.svd(V, full_matrices=False)
    F, T = V.shape
    W, H = np.zeros((F, K)), np.zeros((K, T))
    W[:, 0] = np.sqrt(S[0]) * np.abs(U[:, 0])
    H[0, :] = np.sqrt(S[0]) * np.abs(Vt[0, :])
    for j in range(1, K):
        x, y = U[:, j], Vt[j, :]
        xp, yp = np.maximum(x, 0), np.maximum(y, 0)
        xn, yn = np.abs(np.minimum(x, 0)), np.abs(np.minimum(y, 0))
        xpn, ypn = np.linalg.norm(xp), np.linalg.norm(yp)
        xnn, ynn = np.linalg.norm(xn), np.linalg.norm(yn)
        mp, mn = xpn * ypn, xnn * ynn
        if mp > mn:
            u, v, sigma = xp / xpn, yp / ypn, mp
        else:
            u, v, sigma = xn / xnn, yn / ynn, mn
        lbd = np.sqrt(S[j] * sigma)
        W[:, j] = lbd * u
        H[j, :] = lbd * v
    W[W < 1e-6] = 0
    H[H < 1e-6] = 0
    if fill == "mean":
        avg = V.mean()
        W[W == 0] = avg
        H[H == 0] = avg
    return W, H


STARTS = {
    "uniform": start_tool,
    "numpy-uniform": start_uniform,
    "scaled": start_scaled,
    "halfnormal": start_halfnormal,
    "nndsvd": lambda V, K, seed: start_nndsvd(V, K, seed, "zero"),
    "nndsvda": lambda V, K, seed: start_nndsvd(V, K, seed, "mean"),
}
DETERMINISTIC = {"nndsvd", "nndsvda"}


# ---- peers: scikit-learn's settings and a convolutive NMF ---------------------

def sklearn_peer(V, K, init, seed, beta="kullback-leibler", solver="mu", alpha=0.0,
                 l1_ratio=0.0, iters=200, W=None, H=None):
    """scikit-learn's NMF (1.2: alpha_W with alpha_H='same', each scaled by
    the other dimension as it does), tol 0 so that every round runs."""
    import warnings
    from sklearn.decomposition import NMF
    from sklearn.exceptions import ConvergenceWarning
    m = NMF(n_components=K, solver=solver, beta_loss=beta, init=init, max_iter=iters, tol=0,
            random_state=seed, alpha_W=alpha, alpha_H="same", l1_ratio=l1_ratio)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        warnings.simplefilter("ignore", FutureWarning)
        W = m.fit_transform(V, W=W, H=H)
    return W, m.components_


def shifted(X, lag):
    """X moved `lag` frames later (lag > 0) or earlier (lag < 0), zeros in."""
    Y = np.zeros_like(X)
    if lag == 0:
        Y[:] = X
    elif lag > 0:
        Y[:, lag:] = X[:, :-lag]
    else:
        Y[:, :lag] = X[:, -lag:]
    return Y


def nmfd_model(W, H):
    """Lambda = sum_l W_l shift(H, l); W is lags x rows x K."""
    return sum(W[l] @ shifted(H, l) for l in range(W.shape[0]))


def nmfd(V, K, L, seed, iters=200):
    """Convolutive NMF (NMFD) with the Kullback-Leibler updates of Smaragdis
    (2004) as the NMF Toolbox applies them: each lag's W_l against the same
    quotient, then H by the quotient's sum over lags, then each component's
    templates normalised to unit sum (H taking the scale). Uniform random
    start. Returns W (L x rows x K) and H."""
    rng = np.random.default_rng(seed)
    F, T = V.shape
    W = rng.random((L, F, K))
    H = rng.random((K, T))
    ones_cols = [np.minimum(1.0, np.maximum(0.0, T - l - np.arange(T))) for l in range(L)]
    for _ in range(iters):
        Q = V / (nmfd_model(W, H) + EPS)
        for l in range(L):
            Hs = shifted(H, l)
            W[l] *= (Q @ Hs.T) / (Hs.sum(axis=1)[None, :] + EPS)
        Q = V / (nmfd_model(W, H) + EPS)
        num = sum(W[l].T @ shifted(Q, -l) for l in range(L))
        den = sum(W[l].sum(axis=0)[:, None] * ones_cols[l][None, :] for l in range(L))
        H *= num / (den + EPS)
        norm = W.sum(axis=(0, 1)) + EPS
        W /= norm[None, None, :]
        H *= norm[:, None]
    return W, H


def nmfd_components(W, H):
    """Each component's Lambda_k (rows x frames), for the ratio masks."""
    return [sum(np.outer(W[l, :, k], shifted(H[k:k + 1], l)[0]) for l in range(W.shape[0]))
            for k in range(W.shape[2])]
