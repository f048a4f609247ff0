"""Sounds for the tests, made here, and a reader of the WAV files written."""

import struct
import wave

import numpy as np


def tones(rate=22050, seconds=2.0):
    """Stereo: two notes on the left, a steady pair on the right (samples x 2)."""
    t = np.arange(int(rate * seconds)) / rate
    left = 0.3 * np.sin(2 * np.pi * 220 * t) * (t < 1) + 0.2 * np.sin(2 * np.pi * 1500 * t) * (t >= 0.7)
    right = 0.25 * np.sin(2 * np.pi * 440 * t) + 0.05 * np.sin(2 * np.pi * 3000 * t)
    return np.stack([left, right], axis=1)


def write_pcm16(path, x, rate):
    """x (samples x channels) in [-1, 1] as 16-bit WAV; returns the samples as read back."""
    pcm = np.round(np.clip(x, -1, 1) * 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())
    return pcm / 32768.0


def read_wav(path):
    """(samples x channels float64, rate, format tag, bits) of a PCM or float WAV."""
    data = open(path, "rb").read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE"
    pos, fmt, samples = 12, None, None
    while pos + 8 <= len(data):
        tag, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        body = data[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
            if fmt[0] == 0xFFFE:  # extensible: the sub-format's tag
                fmt = (struct.unpack("<H", body[24:26])[0],) + fmt[1:]
        elif tag == b"data":
            samples = body
        pos += 8 + size + (size & 1)
    tag, channels, rate, _, _, bits = fmt
    if tag == 3:
        x = np.frombuffer(samples, "<f4" if bits == 32 else "<f8").astype(np.float64)
    elif bits == 16:
        x = np.frombuffer(samples, "<i2") / 32768.0
    elif bits == 24:
        b = np.frombuffer(samples, np.uint8).reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        x = np.where(v >= 1 << 23, v - (1 << 24), v) / float(1 << 23)
    else:
        raise AssertionError(f"unexpected WAV: tag {tag}, {bits} bits")
    return x.reshape(-1, channels), rate, tag, bits
