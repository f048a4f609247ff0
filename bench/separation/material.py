"""Mixtures with known sources, built from Debian-packaged material:
hydrogen-drumkits samples, notes rendered by fluidsynth with the TimGM6mb
soundfont, speech from espeak-ng. Each mixture is cached in a folder as its
mix (float WAV) and its sources (sources.npy, sources x samples x channels)."""
import os
import re
import struct
import subprocess
import tempfile
import xml.etree.ElementTree as ET

import numpy as np
import soundfile as sf
from scipy.io import wavfile
from scipy.signal import resample_poly

SR = 44100
SECONDS = 4.0
KIT_DIR = "/usr/share/hydrogen/data/drumkits"
SOUNDFONT = "/usr/share/sounds/sf2/TimGM6mb.sf2"
VERSION = "2"   # bump when the material changes, so caches are rebuilt

KITS = ["The Black Pearl 1.0", "Millo-Drums_v.1", "ForzeeStereo", "HardElectro1",
        "VariBreaks", "Audiophob", "Millo_MultiLayered2", "ColomboAcousticDrumkit"]
PIECES = {
    "kick": (r"kick|bass ?drum", r"zzz"),
    "snare": (r"snare", r"roll|rim|stick|2\b"),
    "hat": (r"clos|\bcl\b|\bchh\b", r"open|pedal"),
}


def load(path):
    x, sr = sf.read(path, always_2d=True)
    x = x.mean(axis=1)
    if sr != SR:
        g = np.gcd(sr, SR)
        x = resample_poly(x, SR // g, sr // g)
    return x


def kit_pieces(kit):
    """{'kick': [(top velocity, samples), ...], ...} of a kit, layers by velocity."""
    root = ET.parse(os.path.join(KIT_DIR, kit, "drumkit.xml")).getroot()
    ns = {"h": root.tag[1:].split("}")[0]} if root.tag.startswith("{") else {}
    q = (lambda t: "h:" + t) if ns else (lambda t: t)
    found = {}
    for inst in root.iter(("{%s}" % ns["h"] if ns else "") + "instrument"):
        name = (inst.findtext(q("name"), namespaces=ns) or "").lower()
        for piece, (want, avoid) in PIECES.items():
            if piece in found or not re.search(want, name) or re.search(avoid, name):
                continue
            layers = []
            for layer in inst.findall(q("layer"), ns):
                f = layer.findtext(q("filename"), namespaces=ns)
                top = float(layer.findtext(q("max"), "1", ns))
                if f:
                    layers.append((top, os.path.join(KIT_DIR, kit, f)))
            if not layers:
                f = inst.findtext(q("filename"), namespaces=ns)
                if f:
                    layers = [(1.0, os.path.join(KIT_DIR, kit, f))]
            if layers:
                found[piece] = sorted(layers)
    missing = set(PIECES) - set(found)
    if missing:
        raise RuntimeError(f"kit {kit}: no {', '.join(sorted(missing))}")
    return found


class Kit:
    def __init__(self, name):
        self.layers = kit_pieces(name)
        self.cache = {}

    def hit(self, piece, velocity):
        layers = self.layers[piece]
        path = next((p for top, p in layers if velocity <= top + 1e-9), layers[-1][1])
        if path not in self.cache:
            self.cache[path] = load(path)
        return self.cache[path] * velocity


def place(track, sound, at):
    a = int(round(at * SR))
    n = min(len(sound), len(track) - a)
    if n > 0:
        track[a:a + n] += sound[:n]


def drum_tracks(kit, bpm, kicks, snares, hat_every, rng):
    """Kick, snare and hat tracks of a 16-step pattern repeated over the mix."""
    L = int(SECONDS * SR)
    step = 60.0 / bpm / 4
    tracks = {p: np.zeros(L) for p in ("kick", "snare", "hat")}
    n = int(SECONDS / step)
    for s in range(n):
        t = s * step
        if s % 16 in kicks:
            place(tracks["kick"], kit.hit("kick", 0.9 + 0.1 * rng.random()), t)
        if s % 16 in snares:
            place(tracks["snare"], kit.hit("snare", 0.85 + 0.15 * rng.random()), t)
        if s % hat_every == 0:
            v = 0.8 if s % 4 == 0 else 0.55
            place(tracks["hat"], kit.hit("hat", v + 0.1 * rng.random()), t)
    return tracks


# ---- notes through fluidsynth ------------------------------------------------

def midi_file(path, program, notes, channel=0):
    """A one-track MIDI file: notes are (start s, end s, key, velocity); 120
    bpm at 480 ticks a beat, so a second is 960 ticks."""
    events = [(0, bytes([0xC0 | channel, program]))]
    for start, end, key, vel in notes:
        events.append((int(start * 960), bytes([0x90 | channel, key, vel])))
        events.append((int(end * 960), bytes([0x80 | channel, key, 0])))
    events.sort(key=lambda e: (e[0], e[1][0] & 0xF0 == 0x90))
    body, now = b"", 0
    for tick, data in events:
        body += varlen(tick - now) + data
        now = tick
    # the track ends half a second after the sound, or at its last note's end
    body += varlen(max(int((SECONDS + 0.5) * 960), now) - now) + b"\xff\x2f\x00"
    with open(path, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480))
        f.write(b"MTrk" + struct.pack(">I", len(body)) + body)


def varlen(v):
    if v < 0:
        raise ValueError("a MIDI delta time is never negative")
    out = [v & 0x7F]
    v >>= 7
    while v:
        out.append(0x80 | (v & 0x7F))
        v >>= 7
    return bytes(reversed(out))


def render_notes(program, notes):
    L = int(SECONDS * SR)
    with tempfile.TemporaryDirectory() as d:
        mid, wav = os.path.join(d, "n.mid"), os.path.join(d, "n.wav")
        midi_file(mid, program, notes)
        subprocess.run(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-g", "0.5",
                        "-r", str(SR), "-T", "wav", "-F", wav, SOUNDFONT, mid],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        x = load(wav)
    out = np.zeros(L)
    out[:min(L, len(x))] = x[:L]
    return out


def speech(voice, speed, text):
    L = int(SECONDS * SR)
    with tempfile.TemporaryDirectory() as d:
        wav = os.path.join(d, "s.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-w", wav, text],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        x = load(wav)
    out = np.zeros(L)
    a = int(0.2 * SR)
    n = min(len(x), L - a)
    out[a:a + n] = x[:n]
    return out


# ---- the mixtures ------------------------------------------------------------

TEMPOS = [96, 104, 112, 120, 126, 132, 88, 100]
KICKS = [{0, 8}, {0, 6, 8}, {0, 8, 10}, {0, 3, 8, 11}]
HATS = [2, 2, 1, 2]
BASS_PROGRAMS = [33, 34, 38, 39]
BASS_KEYS = [40, 36, 38, 33, 35, 41, 39, 37]   # one key a variant, so one spectrum a source
HELD = [  # (program, key) per instrument
    [(19, 48), (73, 76), (42, 57)],
    [(48, 55), (71, 67), (56, 72)],
    [(16, 43), (68, 79), (65, 62)],
    [(52, 60), (74, 84), (32, 38)],
    [(20, 50), (40, 74), (57, 58)],
    [(0, 45), (80, 81), (70, 52)],
    [(49, 53), (60, 70), (24, 64)],
    [(18, 41), (72, 86), (43, 47)],
]
VOICES = [("en-us", 150), ("en-gb+f3", 165), ("en-gb-scotland", 140), ("en-gb-x-rp+f2", 155),
          ("en-us+m3", 170), ("de+f4", 150), ("fr", 145), ("en-gb", 135)]
TEXTS = ["The quick brown fox jumps over the lazy dog, and the drums keep time.",
         "Separation by factorisation works best when the sources differ.",
         "Seven silver swans swam silently seaward at sunset.",
         "A sound file is split into components, each written as a sound."]
# melody over drums and bass: (lead program, root key) per variant; flute,
# voice oohs, alto sax, violin, clarinet, trumpet, choir aahs, oboe
LEADS = [(73, 72), (53, 67), (65, 62), (40, 74), (71, 65), (56, 70), (52, 64), (68, 69)]
MELODY_BASS = [33, 34, 32, 38, 35, 39, 33, 34]
MAJOR = [0, 2, 4, 5, 7, 9, 11, 12]
PANS = {"kick": 0.0, "snare": -0.35, "hat": 0.55, "bass": -0.15, "speech": 0.25,
        "held0": -0.6, "held1": 0.6, "held2": 0.0, "melody": 0.3}
KINDS = ["drums", "drums+bass", "held notes", "speech+drums", "melody+drums+bass"]
# tracks mixed into one source (what a user separates: the drum kit as one stem)
GROUPS = {"melody+drums+bass": {"melody": ["melody"], "drums": ["kick", "snare", "hat"],
                                "bass": ["bass"]}}


# A second set of mixtures, held back from every choice of a default: the
# kits the first set leaves out, and tempos, patterns, instruments, keys,
# voices and texts drawn once from a fixed seed (run.py --material fresh).
# The first set's variants repeat its tables every 8; these tables have 4 to
# 16 entries, so a drum part repeats whole after 80 variants, held notes' instruments after 16.
_fresh = np.random.default_rng(91)


def _chord(rng):
    """Three (program, key): programs 0 to 87, keys 36 to 84 at least two
    semitones apart (one key played by two instruments is left out)."""
    while True:
        keys = rng.integers(36, 85, 3)
        if min(abs(int(a) - int(b)) for i, a in enumerate(keys) for b in keys[i + 1:]) >= 2:
            return [(int(p), int(k)) for p, k in zip(rng.integers(0, 88, 3), keys)]


FRESH = {
    "kits": ["BJA_Pacific", "ElectricEmpireKit", "Millo_MultiLayered3", "rumpf_kit_z01_h2"],
    "tempos": [int(x) for x in _fresh.integers(84, 141, 16)],
    "kicks": [{0, 8}, {0, 6, 8}, {0, 8, 10}, {0, 3, 8, 11}, {0, 10}, {0, 7, 8, 14}, {0, 2, 8},
              {0, 8, 11, 14}],
    "hats": [2, 1, 2, 4, 1],
    "bass_programs": [int(x) for x in _fresh.integers(32, 40, 16)],
    "bass_keys": [int(x) for x in _fresh.integers(31, 44, 16)],
    "held": [_chord(_fresh) for _ in range(16)],
    "voices": [("en-gb-x-gbclan", 150), ("en-029", 160), ("en-us-nyc", 145), ("en-gb-x-gbcwmd", 155),
               ("nl", 140), ("sv+f2", 150), ("it", 155), ("es+m2", 165), ("pt", 150)],
    "texts": ["Every morning the baker opens the shop before the sun comes up.",
              "Listening closely, she could hear the rain on the roof of the barn.",
              "Numbers were written on the wall in bright red paint.",
              "The old train left the station slowly and headed north."],
    "leads": [(int(p), int(k)) for p, k in zip(_fresh.choice([56, 57, 60, 64, 66, 69, 71, 72, 74, 75, 79, 81],
                                                             16), _fresh.integers(60, 76, 16))],
    "melody_bass": [int(x) for x in _fresh.integers(32, 40, 16)],
}
FIRST = {"kits": KITS, "tempos": TEMPOS, "kicks": KICKS, "hats": HATS, "bass_programs": BASS_PROGRAMS,
         "bass_keys": BASS_KEYS, "held": HELD, "voices": VOICES, "texts": TEXTS, "leads": LEADS,
         "melody_bass": MELODY_BASS}
MATERIALS = {"bench": FIRST, "fresh": FRESH}


def pick(table, i):
    return table[i % len(table)]


def drums_of(t, v, rng):
    kit = Kit(pick(t["kits"], v))
    return drum_tracks(kit, pick(t["tempos"], v), pick(t["kicks"], v), {4, 12}, pick(t["hats"], v), rng)


def sources_of(kind, v, material="bench"):
    """Named mono sources (dict, insertion order) of variant v of a kind."""
    t = MATERIALS[material]
    rng = np.random.default_rng(1000 * KINDS.index(kind) + v + (500 if material == "fresh" else 0))
    if kind == "drums":
        return drums_of(t, v, rng)
    if kind == "drums+bass":
        tr = drums_of(t, v + 3, rng)
        beat = 60.0 / pick(t["tempos"], v + 3)
        key = pick(t["bass_keys"], v)
        notes = []
        at = 0.0
        while at < SECONDS:
            notes.append((at, at + 0.9 * beat, key, 100))
            at += beat
        tr["bass"] = render_notes(pick(t["bass_programs"], v), notes)
        return tr
    if kind == "held notes":
        out = {}
        for i, (prog, key) in enumerate(pick(t["held"], v)):
            start = 0.1 + 0.8 * i + 0.2 * rng.random()
            end = min(SECONDS - 0.3, start + 2.2 + 0.3 * rng.random())
            out[f"held{i}"] = render_notes(prog, [(start, end, key, 100)])
        return out
    if kind == "speech+drums":
        tr = drums_of(t, v + 5, rng)
        voice, speed = pick(t["voices"], v)
        tr["speech"] = speech(voice, speed, pick(t["texts"], v))
        return tr
    if kind == "melody+drums+bass":
        tr = drums_of(t, v + 1, rng)
        beat = 60.0 / pick(t["tempos"], v + 1)
        prog, root = pick(t["leads"], v)
        tr["melody"] = render_notes(prog, melody_notes(root, beat, rng))
        tr["bass"] = render_notes(pick(t["melody_bass"], v), bass_notes(root, beat))
        return tr
    raise ValueError(kind)


def melody_notes(root, beat, rng):
    """A tune of some 6 to 10 notes: a walk over the major scale from the root
    (an octave up at most), steps of one or two degrees turning at the ends,
    notes of a half to one and a half beats, slightly detached, a rest now
    and then."""
    notes, t, deg = [], 0.05 + 0.5 * beat * rng.integers(0, 2), 0
    while t < SECONDS - 0.3:
        dur = beat * rng.choice([0.5, 0.5, 1.0, 1.0, 1.5])
        key = root + MAJOR[deg]
        notes.append((t, min(t + 0.92 * dur, SECONDS - 0.1), key, int(rng.integers(90, 115))))
        t += dur + (beat * 0.5 if rng.random() < 0.15 else 0.0)
        deg = abs(deg + int(rng.choice([-2, -1, -1, 1, 1, 2])))
        deg = deg if deg < len(MAJOR) else 2 * (len(MAJOR) - 1) - deg
    return notes


def bass_notes(root, beat):
    """The root two octaves down on every beat, the fourth above it in the
    second half (I, IV), as a bass under a tune plays."""
    base = root - 24 - (12 if root >= 70 else 0)
    notes, t = [], 0.0
    while t < SECONDS:
        key = base + (5 if t >= SECONDS / 2 else 0)
        notes.append((t, t + 0.85 * beat, key, 100))
        t += beat
    return notes


LEVELS = {"kick": 0.0, "snare": -2.0, "hat": -8.0, "bass": -2.0, "speech": 0.0,
          "held0": 0.0, "held1": 0.0, "held2": 0.0, "melody": 0.0}


def mixture(kind, v, channels, material="bench"):
    """(mix, sources): samples x channels and sources x samples x channels, the
    sources at their levels in the mix, the mix their sum, peak 0.5."""
    src = sources_of(kind, v, material)
    parts = {}
    for name, x in src.items():
        rms = np.sqrt(np.mean(x ** 2))
        x = x / rms * 10 ** (LEVELS[name] / 20) if rms > 0 else x
        if channels == 1:
            parts[name] = x[:, None]
        else:
            pan = PANS[name] + 0.1 * ((v % 3) - 1)
            th = (np.clip(pan, -1, 1) + 1) * np.pi / 4
            parts[name] = np.stack([np.cos(th) * x, np.sin(th) * x], axis=1)
    groups = GROUPS.get(kind, {n: [n] for n in parts})
    S = np.stack([sum(parts[n] for n in members) for members in groups.values()])
    mix = S.sum(axis=0)
    g = 0.5 / np.max(np.abs(mix))
    return mix * g, S * g


def build(cache, kind, v, channels, rate=SR, material="bench"):
    """The folder of one mixture at a sample rate (made at 44.1 kHz, then
    resampled), built when missing."""
    name = f"{kind.replace(' ', '_').replace('+', '_')}-{'st' if channels == 2 else 'mono'}-{v}"
    name = name if material == "bench" else f"{material}-{name}"
    d = os.path.join(cache, f"v{VERSION}-{rate}", name)
    mixf, srcf = os.path.join(d, "mix.wav"), os.path.join(d, "sources.npy")
    if not (os.path.exists(mixf) and os.path.exists(srcf)):
        os.makedirs(d, exist_ok=True)
        mix, S = mixture(kind, v, channels, material)
        if rate != SR:
            g = np.gcd(rate, SR)
            S = resample_poly(S, rate // g, SR // g, axis=1)
            mix = S.sum(axis=0)
        wavfile.write(mixf + ".tmp", rate, mix.astype(np.float32))
        np.save(srcf + ".tmp.npy", S)
        os.replace(srcf + ".tmp.npy", srcf)
        os.replace(mixf + ".tmp", mixf)
    return d


def read(d):
    sr, mix = wavfile.read(os.path.join(d, "mix.wav"))
    mix = mix.astype(np.float64)
    if mix.ndim == 1:
        mix = mix[:, None]
    return sr, mix, np.load(os.path.join(d, "sources.npy"))
