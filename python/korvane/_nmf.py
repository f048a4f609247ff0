"""korvane.nmf: the command line's factorisation of any non-negative matrix."""

from __future__ import annotations

import numpy as np

from . import _korvane

_COSTS = {"kl": False, "euclidean": True}
_STARTS = ("nndsvda", "random")
_PRECISIONS = ("single", "double")


def _as_progress(progress):
    """A callable taking (done, total): progress itself, or a bar with
    ``update`` (tqdm and the like) moved to ``done``."""
    if progress is None or callable(progress):
        return progress
    if hasattr(progress, "update"):
        bar = progress
        state = {"shown": 0}

        def advance(done, total):
            if getattr(bar, "total", None) is None or total > bar.total:
                bar.total = total  # a second factorisation adds its rounds
            bar.update(done - state["shown"])
            state["shown"] = done

        return advance
    raise ValueError("progress must be a callable taking (done, total) or a bar with an update method")


def _matrix(name, a, rows=None, cols=None):
    a = np.asarray(a)
    if a.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array, not {a.ndim}-D")
    if not (np.issubdtype(a.dtype, np.floating) or np.issubdtype(a.dtype, np.integer) or a.dtype == bool):
        raise ValueError(f"{name} must hold real numbers, not {a.dtype}")
    return a


def nmf(V, k, *, cost="kl", iterations=200, tol=1e-4, start="nndsvda", seed=None, W=None, H=None,
        fixed_bases=0, precision="single", progress=None):
    """Factorise V ~ W @ H with W, H >= 0 by multiplicative updates.

    The rounds are those of ``korvane decompose`` (and of scikit-learn's
    ``NMF(solver="mu")`` on the same cost): H is updated, then W with the
    new H, every round.

    Parameters
    ----------
    V : array (F x T), float32 or float64, non-negative and finite
        C-ordered arrays are read in place; any other layout or dtype is
        copied once (to float64 unless it is float32).
    k : int
        Number of components K, 1 or more.
    cost : "kl" or "euclidean"
        The generalised Kullback-Leibler divergence or the squared
        Euclidean distance.
    iterations : int
        Most rounds, 1 or more.
    tol : float
        Every 10 rounds the cost (for "kl" an estimate over a sample of
        the columns) is compared with the previous check; the rounds stop
        when it fell by less than this fraction. 0 runs them all.
    start : "nndsvda" or "random"
        How W and H start when not given: the nonnegative double SVD (zeros
        replaced by the mean of V), or uniform values in [0, 1].
    seed : int in [0, 2**32) or None
        Seeds the start; None picks one from the clock (see info["seed"]).
    W : array (F x j), 1 <= j <= k, optional
        Bases to start from; they replace the first j columns of the start.
    H : array (K x T), optional
        Activations to start from. With W (F x K) and H both given they are
        the start, as scikit-learn's ``init="custom"``.
    fixed_bases : int
        The first fixed_bases columns of W are kept as given, bit for bit
        (at most the columns of W given). With float64 V, fixed bases make
        the rounds read V as float32, as the command line does.
    precision : "single" or "double"
        "single" (as the command line) runs the rounds on V as float32 with
        W and H in float32 and the long sums in float64; the results come
        back as float64. "double" keeps W and H in float64, and on float64
        V runs the rounds on V itself, as scikit-learn does.
    progress : callable(done, total) or a tqdm-like bar, optional
        Called after each round; may raise to stop the work.

    Returns
    -------
    W : float64 array (F x K)
    H : float64 array (K x T)
    info : dict
        "iterations": rounds run; "divergence": the final cost of V from
        W @ H (computed on V as float32); "seed": the seed used; "cost".

    Raises
    ------
    ValueError
        Bad shapes, options, or values in V, W or H that are negative or
        not finite.
    MemoryError
        Not enough memory for the factorisation.
    KeyboardInterrupt
        Ctrl-C stops the rounds (checked after each round).

    The GIL is released while the work runs.
    """
    V = _matrix("V", V)
    if V.dtype != np.float32:
        V = np.ascontiguousarray(V, dtype=np.float64)
    else:
        V = np.ascontiguousarray(V)
    if cost not in _COSTS:
        raise ValueError("cost must be kl or euclidean")
    if start not in _STARTS:
        raise ValueError("start must be nndsvda or random")
    if precision not in _PRECISIONS:
        raise ValueError('precision must be "single" or "double"')
    k, iterations, fixed_bases = _integer("k", k), _integer("iterations", iterations), _integer(
        "fixed_bases", fixed_bases)
    try:
        tol = float(tol)
    except (TypeError, ValueError):
        raise ValueError("tol must be 0 or a positive fraction") from None
    if seed is not None:
        seed = _integer("seed", seed, 0, 2**32 - 1)
    if W is not None:
        W = np.ascontiguousarray(_matrix("W", W), dtype=np.float64)
    if H is not None:
        H = np.ascontiguousarray(_matrix("H", H), dtype=np.float64)
    if fixed_bases and W is None:
        raise ValueError("fixed_bases needs the bases W")
    W, H, rounds, divergence, seed = _korvane.nmf(V, k, _COSTS[cost], iterations, tol, start == "nndsvda",
                                                  seed, W, H, fixed_bases, precision == "single",
                                                  _as_progress(progress))
    return W, H, {"iterations": rounds, "divergence": divergence, "seed": seed, "cost": cost}


def _integer(name, x, least=-(2**31), most=2**31 - 1):
    """x as an int, refused unless the core can take it (a C int by
    default)."""
    if isinstance(x, (bool, np.bool_)) or not isinstance(x, (int, np.integer)):
        raise ValueError(f"{name} must be an integer")
    if not least <= x <= most:
        raise ValueError(f"{name} must be between {least} and {most}")
    return int(x)
