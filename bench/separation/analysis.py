"""The tool's analysis in numpy, the level-true ratio-mask resynthesis and
the scoring (SI-SDR after matching components to sources).

Framing 'tool' is `korvane decompose`'s (kv_engine/stream_shape.c): a window
of round(0.08 s x rate) samples (1764 at 22.05 kHz), the square root of the
periodic Blackman of that length, zero-padded to the FFT size N (the next
power of two, 2048); hop = round(window x 0.25) (441); the frames start
lead = floor((window - 1) / hop) x hop samples before the sound and run on
while their window overlaps it. 'pad' and 'old' are earlier framings (the
window as long as N, hop N / 4): 'pad' padded by N at both ends, 'old' the
object's frames from sample 0, none past the end."""
import numpy as np
from scipy.optimize import linear_sum_assignment


def sizes(sr, win=0.08, hop=0.25, framing="tool"):
    """(FFT size, hop, window length) in samples: the tool's, or for the
    earlier framings korvane~'s (window as long as N, hop a share of N)."""
    if framing == "tool":
        n = round(win * sr)
        N = 1 << int(np.ceil(np.log2(n)))
        return N, int(round(float(np.float32(n) * np.float32(hop)))), n
    n = round(float(np.float32(win)) * sr)
    N = 1 << int(np.ceil(np.log2(n)))
    return N, int(round(float(np.float32(N) * np.float32(hop)))), N


def window(N, n=None):
    """Square root of the periodic Blackman of n samples, zeros on to N."""
    n = N if n is None else n
    k = np.arange(n)
    w = 0.42 - 0.5 * np.cos(2 * np.pi * k / n) + 0.08 * np.cos(4 * np.pi * k / n)
    g = np.zeros(N)
    g[:n] = np.sqrt(np.maximum(w, 0.0))
    return g


def tool_frames(L, N, hop):
    """Today's frame count: no frame past the last sample, hop-fraction frames
    short of the end."""
    frames = L // hop - round(N / hop)
    return max(0, min(frames, (L - N) // hop + 1))


class Framing:
    """Where the frames of a sound of L samples lie (see the module's text).
    Frame t covers padded samples [t hop, t hop + N), the sound starting at
    padded sample `lead`."""

    def __init__(self, L, N, hop, mode="tool", win=None):
        self.L, self.N, self.hop, self.mode = L, N, hop, mode
        self.win = N if win is None else win
        if mode == "tool":
            self.lead = (self.win - 1) // hop * hop
            self.frames = (L - 1 + self.lead) // hop + 1
            self.total = (self.frames - 1) * hop + N
        elif mode == "pad":
            self.lead = N
            self.frames = (L + 2 * N - N) // hop + 1
            self.total = (self.frames - 1) * hop + N
        else:
            self.lead = 0
            self.frames = tool_frames(L, N, hop)
            self.total = max(L, (self.frames - 1) * hop + N)

    def padded(self, x):
        y = np.zeros((self.total,) + x.shape[1:])
        y[self.lead:self.lead + self.L] = x
        return y


def stft(x, fr):
    """Bins x frames complex spectrum of a mono sound (the DFT of each frame)."""
    y = fr.padded(x)
    idx = np.arange(fr.N)[None, :] + fr.hop * np.arange(fr.frames)[:, None]
    return np.fft.rfft(y[idx] * window(fr.N, fr.win)[None, :], axis=1).T


def istft(X, fr):
    """Windowed overlap-add of the inverse DFT, divided by the overlap sum of
    the squared window, so that istft(stft(x)) = x where frames cover x."""
    g = window(fr.N, fr.win)
    frames = np.fft.irfft(X.T, n=fr.N, axis=1) * g[None, :]
    out = overlap_add(frames, fr)
    norm = overlap_add(np.tile(g * g, (fr.frames, 1)), fr)
    out = np.where(norm > 1e-9, out / np.maximum(norm, 1e-9), 0.0)
    return out[fr.lead:fr.lead + fr.L]


def overlap_add(frames, fr):
    """Sum of the frames (frames x N), frame t placed at t * hop."""
    T, N, hop = fr.frames, fr.N, fr.hop
    out = np.zeros(fr.total + N)
    if N % hop == 0:
        # N / hop passes over whole hops instead of one pass per frame
        for j in range(N // hop):
            seg = out[j * hop:j * hop + T * hop].reshape(T, hop)
            seg += frames[:, j * hop:(j + 1) * hop]
    else:
        for t in range(T):
            out[t * hop:t * hop + N] += frames[t]
    return out[:fr.total]


def spectra(x, fr):
    """The complex spectrum of each channel of x (samples x channels)."""
    return [stft(x[:, c], fr) for c in range(x.shape[1])]


def magnitude(specs, channels):
    """V for the factorisation: |sum of channels| ('sum', as today) or the
    channels' magnitudes stacked ('stack', 2 bins x frames; 'spatial' too,
    resynthesised by the spatial filter)."""
    if channels == "sum" or len(specs) == 1:
        return np.abs(sum(specs))
    return np.vstack([np.abs(s) for s in specs])


def resynth(W, H, specs, fr, channels):
    """Each component through the ratio mask w_k h_k / sum_j w_j h_j applied
    to each channel's spectrum; returns K arrays of samples x channels. With
    stacked channels, each channel's mask comes from its own rows of W."""
    return resynth_models([np.outer(W[:, k], H[k]) for k in range(W.shape[1])], specs, fr, channels)


def resynth_models(models, specs, fr, channels):
    """The same from each component's model (rows x frames): the convolutive
    components' Lambda_k, or w_k h_k."""
    if channels == "spatial" and len(specs) == 2:
        return resynth_spatial(models, specs, fr)
    F = specs[0].shape[0]
    K = len(models)
    out = np.zeros((K, fr.L, len(specs)))
    total = sum(models)
    for c, X in enumerate(specs):
        rows = slice(c * F, (c + 1) * F) if channels == "stack" and len(specs) > 1 else slice(0, F)
        model = np.maximum(total[rows], 1e-300)
        for k in range(K):
            out[k, :, c] = istft(models[k][rows] / model * X, fr)
    return out


def resynth_spatial(models, specs, fr, load=1e-3):
    """The tool's spatial filter for two stacked channels: component k's
    covariance across the channels m m^T / |m|, m its two rows of the model
    (left, right) at each cell, widened on the diagonal by load / 2 of its
    trace; each component is R_k A^-1 x, A the sum over all. Returns K
    arrays of samples x 2 that sum to the mixture."""
    F = specs[0].shape[0]
    XL, XR = specs
    terms = []
    for m in models:
        ml, mr = m[:F], m[F:]
        n = np.maximum(np.hypot(ml, mr), 1e-300)
        terms.append((ml * ml / n, ml * mr / n, mr * mr / n))
    ll, lr, rr = (sum(t[i] for t in terms) for i in range(3))
    floor = len(models) * 1e-300
    d = load / 2 * (ll + rr) + floor
    # inverted through A / trace(A), as the tool does
    s = 1 / (ll + rr + 2 * d)
    a, o, b = (ll + d) * s, lr * s, (rr + d) * s
    f = s / (a * b - o * o)
    yl, yr = (b * XL - o * XR) * f, (a * XR - o * XL) * f
    out = np.zeros((len(models), fr.L, 2))
    for k, (cl, co, cr) in enumerate(terms):
        dk = load / 2 * (cl + cr) + 1e-300
        out[k, :, 0] = istft((cl + dk) * yl + co * yr, fr)
        out[k, :, 1] = istft(co * yl + (cr + dk) * yr, fr)
    return out


def si_sdr(est, ref):
    """Scale-invariant SDR in dB of est against ref (flattened: channels
    concatenated)."""
    e, r = est.ravel(), ref.ravel()
    rr = r @ r
    if rr <= 0:
        return float("nan")
    target = (e @ r) / rr * r
    noise = e - target
    tt, nn = target @ target, noise @ noise
    if tt <= 0:
        return -100.0
    if nn <= 0:
        return 100.0
    return float(10 * np.log10(tt / nn))


def matched_scores(estimates, sources):
    """SI-SDR of each source against the component matched to it (Hungarian
    assignment maximising the total)."""
    K, S = len(estimates), len(sources)
    M = np.array([[si_sdr(estimates[k], sources[s]) for s in range(S)] for k in range(K)])
    rows, cols = linear_sum_assignment(M, maximize=True)
    scores = np.full(S, -100.0)
    scores[cols] = M[rows, cols]
    return scores
