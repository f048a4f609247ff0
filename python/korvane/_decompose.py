"""korvane.decompose, korvane.load and korvane.remix: the command line's
decompose and remix for numpy users."""

from __future__ import annotations

import json
import os
import warnings

import numpy as np

from . import _korvane
from ._nmf import _as_progress, _integer

_DEFAULT_WIN, _DEFAULT_HOP = 0.08, 0.25
_FORMATS = ("same", "pcm16", "pcm24", "float", "flac")


def _components(name, xs, K=None):
    try:
        out = [_integer(name, x) for x in xs]
    except TypeError:
        raise ValueError(f"{name} must be a list of component indices") from None
    for x in out:
        if K is not None and not 0 <= x < K:
            raise ValueError(f"{name}: component {x} is not between 0 and {K - 1}")
    return out


class Decomposition:
    """A sound decomposed into K components (see korvane.decompose).

    Components are indexed from 0 (component 0 is the command line's
    number 1, file NAME-c01.wav), in the order chosen by ``order``.
    Matrices are float64; rows of W are the bins, or left then right bins
    when stereo is stacked; frames are analysis frames.
    """

    def __init__(self, core):
        self._core = core
        self.info = core.info()
        """The run: rate (Hz), channels, length (samples per channel),
        fft_size, hop (samples), bins, frames, channel_mode, iterations run,
        divergence, seed (the one a repeat passes), name."""

    @property
    def k(self) -> int:
        """The number of components K."""
        return len(self.energy_share)

    @property
    def W(self):
        """The bases as the resynthesis uses them, rows x K, unscaled."""
        return self._core.W

    @property
    def H(self):
        """The activations as the resynthesis uses them, K x frames, unscaled."""
        return self._core.H

    @property
    def bases(self):
        """Each component's spectrum as components.json shows it: bins x K,
        linear magnitude, stereo halves summed, scaled with the activations."""
        return self._core.bases

    @property
    def activations(self):
        """Each component's activation over the frames: K x frames, the
        largest value of all 1."""
        return self._core.activations

    @property
    def centroid_hz(self):
        """Spectral centroid of each basis, Hz (K values)."""
        return self._core.centroid_hz

    @property
    def peak_hz(self):
        """Frequency of each basis's largest bin, Hz (K values)."""
        return self._core.peak_hz

    @property
    def energy_share(self):
        """Each component's share of the model's energy, 0..1, summing to 1."""
        return self._core.energy_share

    def component(self, i):
        """Component i resynthesised level-true: float64 samples x channels
        (at most two channels), as long as the input. All K components sum
        to the input."""
        return self._core.resynthesise([_components("component", [i], self.k)])[0]

    def group(self, indices):
        """The components listed (indices from 0) through one mask: float64
        samples x channels, the sum of their components."""
        return self._core.resynthesise([_components("group", indices, self.k)])[0]

    def components(self):
        """Every component, in one pass: a list of K arrays as component(i)."""
        return self._core.resynthesise([[i] for i in range(self.k)])

    def save(self, dir, format="same", *, only=None, groups=None, plot=False, page=False):
        """Write what ``korvane decompose -o DIR`` writes: a sound file per
        component (NAME-cNN.wav), one per group (NAME-group.wav, or
        NAME-group1.wav ...), components.json, with plot decomposition.png
        and with page index.html. Files appear together once all are
        written (nothing half-written is left on failure or Ctrl-C).

        format: "same" (the input's; float for an array), "pcm16", "pcm24",
        "float" or "flac". only: the components to write (indices from 0;
        default all). groups: lists of indices, each mixed into one file.
        Returns the names of the files written. Raises OSError when a file
        cannot be written, ValueError for bad options."""
        if format not in _FORMATS:
            raise ValueError("--format must be one of " + ", ".join(_FORMATS))
        only = list(range(self.k)) if only is None else _components("only", only, self.k)
        groups = [] if groups is None else [_components("groups", g, self.k) for g in groups]
        if any(not g for g in groups):
            raise ValueError("a group needs at least one component")
        return self._core.save(os.fspath(dir), format, only, groups, bool(plot), bool(page))

    def __repr__(self):
        i = self.info
        return (f"<korvane.Decomposition of {i['name']}: {self.k} components, {i['rate']} Hz, "
                f"{i['channels']} channel(s), {i['length']} samples>")


def decompose(sound, k=4, *, rate=None, win=0.08, hop=0.25, channels="stack", cost=None, iterations=None, tol=1e-4,
              start="nndsvda", seed=None, order="centroid", bases=None, fix_bases=False, extra=0, beta=None,
              sparse_w=None, sparse_h=None, l2_w=None, l2_h=None, continuity=None, span=None, pool=None, plain=False,
              precision="single", relax=None, bands=None, channel_spectra=None, filter=None, progress=None):
    """Decompose a sound into k components, as ``korvane decompose`` does.

    Parameters
    ----------
    sound : path, or array (samples x channels, or samples for mono)
        A sound file (WAV, AIFF, FLAC, OGG ...) or samples in [-1, 1]
        (taken as float32, as a float file is read). Of more than two
        channels the first two are analysed.
    k : int
        Number of components, 1 to 64. With bases, K is the given bases
        plus extra (k left at 4, or equal to that).
    rate : int
        Samples per second of an array (not for a file).
    win : float
        Analysis window, seconds.
    hop : float
        Hop as a fraction of the window, above 0 and at most 1.
    channels : "stack" or "sum"
        Stereo analysed as both channels' spectra stacked (sharing the
        activations) or as the spectrum of their sum.
    cost : "kl", "euclidean" or "is", optional
        The cost lowered (default kl; is: Itakura-Saito).
    iterations : int, optional
        Most rounds of the factorisation (default 200 plain rounds' worth:
        115 of the default model's relaxed rounds, 200 with plain=True;
        with bands 10 more, the last, on every bin).
    tol : float
        Stop when 10 rounds lower the divergence by less than this fraction
        (0: never).
    start : "nndsvda" or "random"
    seed : int or None
        Seed of the start; None draws one (see info["seed"]).
    order : "centroid", "peak", "energy" or "onset"
        Order of the components (after any given ones).
    bases : list of paths to components.json, optional
        Start from the bases of earlier runs.
    fix_bases : bool
        Keep the given bases fixed; learn only their activations.
    extra : int
        Free components beside the given bases.
    beta : float, optional
        Lower the beta-divergence of this beta instead of cost.
    sparse_w, sparse_h, l2_w, l2_h : float, optional
        L1 and L2 penalties on the bases and the activations.
    continuity : float, optional
        Temporal continuity of the activations (default 0.02 on one row a
        bin: mono, or channels="sum"; else 0).
    span : int, optional
        Frames of each basis; above 1, convolutive bases, started from the
        default model's factorisation (with plain=True, from the start).
    pool : int, optional
        Factorise this many components and group them into k. By default
        3 k (at most k + 6) for stacked channels; on one row a bin 4 k when
        k components alone leave much of the sound unexplained (a tune, a
        voice), else none.
    plain : bool
        Plain NMF: every model option not given is off.
    precision : "single" or "double"
        What the rounds keep the factors in, and the resynthesis works
        in: single is about twice as fast and lands within 1e-4 of
        double's divergence; its components sum to the sound within a few
        float steps of its peak.
    relax : float, optional
        Over-relaxed rounds, 1 to 2: each update's exponent times this, a
        round going about as many times as far (default 1.75; 1 with
        plain=True).
    bands : float, optional
        Hz: the rounds but the last 10 on bands of bins, one bin wide below
        twice this and twice as wide each octave above, about 3 times as
        fast (default 400 for stacked channels, else 250; 0: every round
        on every bin).
    channel_spectra : "shared" or "own", optional
        Stacked channels: each component one spectrum with a gain per
        channel, a panned source (default), or a spectrum of its own in
        each channel (plain=True).
    filter : "spatial" or "masks", optional
        Two stacked channels: each component cut from both channels
        together as a source at its place (default), or each channel by
        its own ratio masks (plain=True).
    progress : callable(done, total) or a tqdm-like bar, optional
        Hears of each round of the factorisation.

    Every model option left at None is the command line's default
    (``korvane decompose --help``). W and H are the factors as the rounds
    left them: with span or pool, rank-one inner components, several to a
    component.

    Returns a Decomposition. A WAV file shorter than its header claims is
    decomposed as far as it goes, with a RuntimeWarning (the command line's
    warning). Raises ValueError (bad options, a refused
    analysis), OSError (a file that cannot be read), MemoryError, and
    KeyboardInterrupt on Ctrl-C (checked every round). The GIL is released
    during the work.
    """
    settings = _korvane.Settings()
    settings.k = _integer("k", k)
    settings.k_set = bases is None or settings.k != 4
    for name, value, default in (("win", win, _DEFAULT_WIN), ("hop", hop, _DEFAULT_HOP)):
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"{name} must be a number") from None
        # the default is recorded as not given, as the command line does
        setattr(settings, name, None if value == default else value)
    for name, value in (("channels", channels), ("cost", cost), ("start", start), ("order", order)):
        if not isinstance(value, str) and not (name == "cost" and value is None):
            raise ValueError(f"{name} must be a string")
        setattr(settings, name, value)
    for name, value in (("beta", beta), ("sparse_w", sparse_w), ("sparse_h", sparse_h), ("l2_w", l2_w),
                        ("l2_h", l2_h), ("continuity", continuity), ("relax", relax), ("bands", bands)):
        if value is not None:
            try:
                value = float(value)
            except (TypeError, ValueError):
                raise ValueError(f"{name} must be a number") from None
        setattr(settings, name, value)
    settings.span = None if span is None else _integer("span", span)
    settings.pool = None if pool is None else _integer("pool", pool)
    settings.plain = bool(plain)
    if precision not in ("single", "double"):
        raise ValueError('precision must be "single" or "double"')
    settings.precision = precision
    settings.iterations = None if iterations is None else _integer("iterations", iterations)
    if channel_spectra is not None and not isinstance(channel_spectra, str):
        raise ValueError("channel_spectra must be a string")
    settings.channel_spectra = channel_spectra
    if filter is not None and not isinstance(filter, str):
        raise ValueError("filter must be a string")
    settings.filter = filter
    settings.tol = float(tol)
    if seed is not None:
        seed = _integer("seed", seed, 0, 2**32 - 1)
    settings.seed = seed
    settings.bases = [] if bases is None else [os.fspath(b) for b in ([bases] if isinstance(bases, (str, os.PathLike))
                                                                       else bases)]
    settings.fix_bases = bool(fix_bases)
    settings.extra = _integer("extra", extra)
    progress = _as_progress(progress)
    if isinstance(sound, (str, bytes, os.PathLike)):
        if rate is not None:
            raise ValueError("rate is for an array; a file has its own")
        path = os.fsdecode(os.fspath(sound))
        core = _korvane.Decomposition(path, None, 0, settings, progress)
        if core.cut_short:
            warnings.warn(core.cut_short, RuntimeWarning, stacklevel=2)
        return Decomposition(core)
    samples = np.asarray(sound)
    if samples.ndim == 1:
        samples = samples[:, None]
    if samples.ndim != 2 or samples.shape[0] < 1 or samples.shape[1] < 1:
        raise ValueError("the sound must be an array of samples x channels")
    if not (np.issubdtype(samples.dtype, np.floating) or np.issubdtype(samples.dtype, np.integer)):
        raise ValueError(f"the sound must hold real numbers, not {samples.dtype}")
    frames, chans = samples.shape
    if chans > _korvane.MOST_CHANNELS and frames <= _korvane.MOST_CHANNELS:
        # channels first, as some audio libraries give them
        raise ValueError(f"the sound must be an array of samples x channels, and this one is {frames} x {chans}: "
                         f"pass its transpose (sound.T) for {frames} channels of {chans} samples")
    if np.issubdtype(samples.dtype, np.floating):
        bad = np.flatnonzero(~np.isfinite(samples).all(axis=1))
        if bad.size:
            raise ValueError(f"the sound holds samples that are not finite numbers, the first at sample {bad[0]}")
    if rate is None:
        raise ValueError("an array needs its rate (samples per second)")
    rate_int = _integer("rate", rate, 1) if not isinstance(rate, float) else int(rate) if np.isfinite(rate) else 0
    if rate_int != rate or not 1 <= rate_int < 2**31:
        raise ValueError("rate must be a whole number of samples per second, 1 or more (and below 2**31)")
    with np.errstate(over="ignore"):  # beyond float's range is refused below, by the core
        samples = np.ascontiguousarray(samples, dtype=np.float32)
    return Decomposition(_korvane.Decomposition(None, samples, rate_int, settings, progress))


class Record:
    """A components.json read back (korvane.load): the run as recorded.

    ``json`` holds the whole record; the arrays are those of the
    Decomposition that wrote it (indices from 0)."""

    def __init__(self, dir):
        self.dir = os.fspath(dir)
        path = os.path.join(self.dir, "components.json")
        try:
            with open(path, encoding="utf-8") as f:
                self.json = json.load(f)
        except json.JSONDecodeError as e:
            raise ValueError(f"'{path}' is not a components.json: {e}") from None
        j = self.json
        try:
            comps = j["components"]
            K = len(comps)
            self.bases = np.array([c["basis"] for c in comps], dtype=np.float64).T.reshape(-1, K)
            self.activations = np.array([c["activation"] for c in comps], dtype=np.float64).reshape(K, -1)
            none = float("nan")
            self.centroid_hz = np.array([none if c["centroid_hz"] is None else c["centroid_hz"] for c in comps])
            self.peak_hz = np.array([none if c["peak_hz"] is None else c["peak_hz"] for c in comps])
            self.energy_share = np.array([c["energy_share"] for c in comps], dtype=np.float64)
            fac = j["factors"]
            inner = fac.get("inner", K)  # rank-one components; several to one with a pool or a span
            self.W = np.array(fac["W"], dtype=np.float64).reshape(fac["rows"], inner)
            self.H = np.array(fac["H"], dtype=np.float64).reshape(inner, -1)
            self.members = fac.get("members", [[k] for k in range(K)])
            self.info = {"rate": j["sample_rate"], "channels": j["channels"], "length": j["samples"],
                         "fft_size": j["fft_size"], "hop": j["hop"], "bins": j["bins"], "frames": j["frames"],
                         "channel_mode": j["channel_mode"], "iterations": j["iterations_run"],
                         "divergence": j["divergence"], "seed": j["seed_used"],
                         "mask_power": fac.get("mask_power", 1.0)}
        except (KeyError, TypeError, ValueError) as e:
            raise ValueError(f"'{path}' is not a components.json korvane wrote: {e!r}") from None

    @property
    def k(self):
        return len(self.members)

    def remix(self, groups, *, out=None, input=None, format="same"):
        """korvane.remix of this record's folder (see there)."""
        return remix(self.dir, groups, out=out, input=input, format=format)

    def __repr__(self):
        return f"<korvane.Record {self.dir!r}: {self.k} components>"


def load(dir):
    """Read DIR/components.json, written by ``korvane decompose`` or
    Decomposition.save, back as a Record (bases, activations, W, H,
    centroid_hz, peak_hz, energy_share, info, json). Raises OSError when
    it cannot be read, ValueError when it is no record."""
    return Record(dir)


def remix(dir, groups, *, out=None, input=None, format="same"):
    """``korvane remix DIR --group ...``: groups of an earlier run's
    components made again from its record and its input, without
    factorising again. groups: lists of component indices (from 0), each
    one file; out: the folder to write (default dir); input: the input
    sound when the record's cannot be found (or came from an array).
    Raises ValueError for bad groups, OSError when a file cannot be read
    or written."""
    groups = [_components("groups", g) for g in groups]
    if not groups or any(not g for g in groups):
        raise ValueError("remix needs at least one group of at least one component")
    texts = [",".join(str(i + 1) for i in g) for g in groups]
    _korvane.remix(os.fspath(dir), texts, "" if out is None else os.fspath(out),
                   "" if input is None else os.fspath(input), format)
