"""korvane.nmf against a plain numpy version of the same rounds, and how it
takes arrays, refuses bad ones and reports."""

import numpy as np
import pytest

import korvane
import nmf_reference as ref


def problem(F=40, T=60, K=5, seed=0, dtype=np.float64):
    rng = np.random.default_rng(seed)
    V = (rng.random((F, K)) @ rng.random((K, T)) + 0.1 * rng.random((F, T))).astype(dtype)
    return V, rng.random((F, K)) + 0.1, rng.random((K, T)) + 0.1


# The fast loops sum in another order than numpy; after 50 rounds the
# factors agree to far better than 1e-10 of their size in double precision,
# and their divergence to 1e-5 in single.
@pytest.mark.parametrize("cost", ["kl", "euclidean"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_rounds_from_given_factors_equal_numpy(cost, dtype):
    V, W0, H0 = problem(dtype=dtype)
    W, H, info = korvane.nmf(V, 5, cost=cost, iterations=50, tol=0, W=W0, H=H0, precision="double")
    Wr, Hr = ref.rounds(V, W0, H0, 50, cost)
    np.testing.assert_allclose(W, Wr, rtol=1e-10, atol=1e-10 * np.abs(Wr).max())
    np.testing.assert_allclose(H, Hr, rtol=1e-10, atol=1e-10 * np.abs(Hr).max())
    assert info["iterations"] == 50 and info["cost"] == cost
    assert W.dtype == H.dtype == np.float64 and W.flags.c_contiguous and H.flags.c_contiguous
    Ws, Hs, single = korvane.nmf(V, 5, cost=cost, iterations=50, tol=0, W=W0, H=H0)
    assert np.array_equal(Ws, Ws.astype(np.float32)) and np.array_equal(Hs, Hs.astype(np.float32))
    assert single["divergence"] == pytest.approx(info["divergence"], rel=1e-5)


def test_given_factors_are_not_changed():
    V, W0, H0 = problem()
    W1, H1 = W0.copy(), H0.copy()
    korvane.nmf(V, 5, iterations=3, W=W0, H=H0)
    assert np.array_equal(W0, W1) and np.array_equal(H0, H1)


def test_kl_divergence_reported_is_the_final_one():
    V, W0, H0 = problem(dtype=np.float32)
    W, H, info = korvane.nmf(V, 5, iterations=20, tol=0, W=W0, H=H0)
    assert info["divergence"] == pytest.approx(ref.kl_divergence(V, W, H), rel=1e-9)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_layouts_give_the_same_factors(dtype):
    V, W0, H0 = problem(dtype=dtype)
    want = korvane.nmf(V, 5, iterations=30, W=W0, H=H0)[:2]
    wide = np.zeros((V.shape[0], 2 * V.shape[1]), dtype=dtype)
    wide[:, ::2] = V
    for layout in (np.asfortranarray(V), wide[:, ::2], V.T.copy().T):
        got = korvane.nmf(layout, 5, iterations=30, W=W0, H=H0)[:2]
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])


def test_float32_is_read_as_its_float64_widening():
    V, W0, H0 = problem(dtype=np.float32)
    a = korvane.nmf(V, 5, iterations=30, tol=0, W=W0, H=H0)
    b = korvane.nmf(V.astype(np.float64), 5, iterations=30, tol=0, W=W0, H=H0)
    np.testing.assert_allclose(a[0], b[0], rtol=1e-12)
    np.testing.assert_allclose(a[1], b[1], rtol=1e-12)


def test_integer_and_list_input_is_taken_as_float64():
    V = np.arange(1, 13).reshape(3, 4)
    a = korvane.nmf(V, 2, seed=3, iterations=10)
    b = korvane.nmf(V.astype(np.float64).tolist(), 2, seed=3, iterations=10)
    assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1])


@pytest.mark.parametrize("start", ["nndsvda", "random"])
def test_a_seed_repeats_the_run_and_is_reported(start):
    V = problem()[0]
    a = korvane.nmf(V, 4, start=start, seed=11, iterations=20)
    b = korvane.nmf(V, 4, start=start, seed=11, iterations=20)
    assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1]) and a[2]["seed"] == 11
    c = korvane.nmf(V, 4, start=start, iterations=20)
    d = korvane.nmf(V, 4, start=start, seed=c[2]["seed"], iterations=20)
    assert np.array_equal(c[0], d[0])


def test_tolerance_stops_at_a_check_and_zero_runs_every_round():
    V = problem()[0]
    early = korvane.nmf(V, 4, seed=1, iterations=500, tol=1e-2)[2]
    assert early["iterations"] < 500 and early["iterations"] % 10 == 0
    assert korvane.nmf(V, 4, seed=1, iterations=37, tol=0)[2]["iterations"] == 37


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_fixed_bases_keep_their_bits_and_others_learn(dtype):
    V, W0, _ = problem(dtype=dtype)
    W, H, _ = korvane.nmf(V, 5, seed=2, iterations=20, W=W0[:, :2], fixed_bases=2)
    assert np.array_equal(W[:, :2], W0[:, :2])
    assert not np.array_equal(W[:, :2], korvane.nmf(V, 5, seed=2, iterations=20, W=W0[:, :2])[0][:, :2])
    assert np.all(H >= 0)


V0 = problem()[0]
bad_calls = [
    ({"V": V0[0]}, "2-D"),
    ({"V": -V0}, r"V\[0, 0\] is -"),
    ({"V": np.where(np.arange(V0.size).reshape(V0.shape) == 7, np.nan, V0)}, r"V\[0, 7\] is nan"),
    ({"V": np.where(np.arange(V0.size).reshape(V0.shape) == 61, np.inf, V0)}, r"V\[1, 1\] is inf"),
    ({"V": V0.astype(np.complex128)}, "real numbers"),
    ({"V": np.zeros((0, 4))}, "at least one row"),
    ({"k": 0}, "between 1|at least 1"),
    ({"k": 2.5}, "k must be an integer"),
    ({"cost": "itakura"}, "cost must be kl or euclidean"),
    ({"start": "svd"}, "start must be nndsvda or random"),
    ({"iterations": 0}, "iterations must be at least 1"),
    ({"iterations": 2**40}, "iterations must be between"),  # beyond the core's int
    ({"tol": -1}, "tol must be 0 or a positive fraction"),
    ({"tol": float("nan")}, "tol must be 0 or a positive fraction"),
    ({"seed": -1}, "seed must be between"),
    ({"seed": 2**32}, "seed must be between"),
    ({"seed": 2**70}, "seed must be between"),
    ({"W": np.ones((V0.shape[0] + 1, 2))}, "W must have"),
    ({"W": np.ones((V0.shape[0], 5))}, "W must have"),
    ({"W": -np.ones((V0.shape[0], 2))}, "finite values"),
    ({"H": np.ones((4, V0.shape[1]))}, "H must be"),
    ({"fixed_bases": 1}, "fixed_bases needs the bases W"),
    ({"W": np.ones((V0.shape[0], 2)), "fixed_bases": 3}, "fixed_bases must be between 0 and"),
    ({"progress": 3}, "progress must be"),
    ({"precision": "half"}, "precision must be"),
]


@pytest.mark.parametrize("change,message", bad_calls)
def test_refusals_raise_value_error_naming_the_fault(change, message):
    args = {"V": V0, "k": 3, "iterations": 5}
    args.update(change)
    with pytest.raises(ValueError, match=message):
        korvane.nmf(args.pop("V"), args.pop("k"), **args)


def test_progress_sees_every_round_and_a_bar_is_moved():
    seen = []
    korvane.nmf(V0, 3, iterations=25, tol=0, progress=lambda done, total: seen.append((done, total)))
    assert seen == [(i, 25) for i in range(1, 26)]

    class Bar:  # what tqdm offers
        total, n = None, 0

        def update(self, by):
            self.n += by

    bar = Bar()
    korvane.nmf(V0, 3, iterations=25, tol=0, progress=bar)
    assert bar.n == 25 and bar.total == 25


def test_an_error_in_progress_stops_the_rounds_and_is_raised():
    seen = []

    def progress(done, total):
        seen.append(done)
        if done == 4:
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        korvane.nmf(V0, 3, iterations=50, tol=0, progress=progress)
    assert seen == [1, 2, 3, 4]


def test_tqdm_bar_works():
    tqdm = pytest.importorskip("tqdm").tqdm
    with tqdm(total=30, disable=True) as bar:
        korvane.nmf(V0, 3, iterations=30, tol=0, progress=bar)
        assert bar.n == 30


def test_memory_running_out_raises_memory_error():
    # a child process whose address space has room for the factors but not
    # for the float copy of a float64 V the start and cost read
    import subprocess
    import sys
    code = """
import resource, numpy as np, korvane
V = np.ones((4000, 5000))
used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 60 * 2**20, resource.RLIM_INFINITY))
try:
    korvane.nmf(V, 2, iterations=1)
except MemoryError as e:
    print('MemoryError', e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert "MemoryError not enough memory for the factorisation" in out.stdout, out.stderr
