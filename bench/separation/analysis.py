"""The tool's analysis in numpy, the level-true ratio-mask resynthesis and
the scoring (SI-SDR after matching components to sources).

Frames as the library places them (qm_audio/stft.c, korvane~/stft.c): the
periodic Blackman window of the FFT size N, square-rooted; frame t starts at
sample t * hop; N is the window length in samples rounded up to a power of
two; hop = round(N * hop fraction)."""
import numpy as np
from scipy.optimize import linear_sum_assignment


def sizes(sr, win=0.08, hop=0.25):
    """FFT size and hop in samples, as korvane~ derives them (float settings)."""
    n = round(float(np.float32(win)) * sr)
    N = 1 << int(np.ceil(np.log2(n)))
    h = int(round(float(np.float32(N) * np.float32(hop))))
    return N, h


def window(N):
    k = np.arange(N)
    w = 0.42 - 0.5 * np.cos(2 * np.pi * k / N) + 0.08 * np.cos(4 * np.pi * k / N)
    return np.sqrt(np.maximum(w, 0.0))


def tool_frames(L, N, hop):
    """Today's frame count: no frame past the last sample, hop-fraction frames
    short of the end."""
    frames = L // hop - round(N / hop)
    return max(0, min(frames, (L - N) // hop + 1))


class Framing:
    """Where the frames of a sound of L samples lie. 'pad': one window of zeros
    at both ends, so every sample is analysed by all the frames over it;
    'tool': today's frames, from sample 0 and none past the end."""

    def __init__(self, L, N, hop, mode="pad"):
        self.L, self.N, self.hop, self.mode = L, N, hop, mode
        if mode == "pad":
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
    return np.fft.rfft(y[idx] * window(fr.N)[None, :], axis=1).T


def istft(X, fr):
    """Windowed overlap-add of the inverse DFT, divided by the overlap sum of
    the squared window, so that istft(stft(x)) = x where frames cover x."""
    g = window(fr.N)
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
    channels' magnitudes stacked ('stack', 2 bins x frames)."""
    if channels == "sum" or len(specs) == 1:
        return np.abs(sum(specs))
    return np.vstack([np.abs(s) for s in specs])


def resynth(W, H, specs, fr, channels):
    """Each component through the ratio mask w_k h_k / sum_j w_j h_j applied
    to each channel's spectrum; returns K arrays of samples x channels. With
    stacked channels, each channel's mask comes from its own rows of W."""
    F = specs[0].shape[0]
    K = W.shape[1]
    out = np.zeros((K, fr.L, len(specs)))
    for c, X in enumerate(specs):
        Wc = W[c * F:(c + 1) * F] if channels == "stack" and len(specs) > 1 else W
        model = Wc @ H
        tiny = 1e-300
        for k in range(K):
            mask = np.outer(Wc[:, k], H[k]) / np.maximum(model, tiny)
            out[k, :, c] = istft(mask * X, fr)
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
