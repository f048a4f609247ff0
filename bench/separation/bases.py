"""Learned bases against blind decomposition: each drum of a kit is learned
from its single hits (`korvane decompose HITS -k n`), then the mixture is
decomposed from those bases (`--bases ... [--fix-bases] [--extra E]`) and
each source is scored (SI-SDR) against the components learned for it; the
free components stand for what is left (the bass line, where there is one).
Blind runs (`-k` = number of sources) are scored after matching components
to sources, as run.py does. Prints a markdown table."""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from scipy.io import wavfile
from scipy.signal import resample_poly

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import analysis as an  # noqa: E402
import material as mt  # noqa: E402

DRUMS = ("kick", "snare", "hat")
HIT_VELOCITIES = (0.55, 0.7, 0.85, 1.0)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--tool", required=True, help="korvane executable")
    p.add_argument("--cache", required=True, help="folder of the material")
    p.add_argument("--variants", type=int, default=3, help="mixtures per kind (at most 4)")
    p.add_argument("--kinds", default="drums,drums+bass")
    p.add_argument("--per-drum", default="1,3", help="bases learned per drum")
    p.add_argument("--seeds", type=int, default=2)
    p.add_argument("--rate", type=int, default=22050)
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--quick", action="store_true", help="2 mixtures per kind, 1 seed, 2 bases per drum")
    return p.parse_args()


def kit_of(kind, v):
    """The kit material.drums_of uses for variant v of a kind."""
    offset = {"drums": 0, "drums+bass": 3, "speech+drums": 5}[kind]
    return mt.KITS[(v + offset) % len(mt.KITS)]


def write_hits(path, kit, piece, rate):
    """The drum's single hits, one every 0.6 s at rising velocities, peak 0.5."""
    k = mt.Kit(kit)
    gap = int(0.6 * mt.SR)
    hits = [k.hit(piece, v) for v in HIT_VELOCITIES]
    x = np.zeros(gap * len(hits) + max(len(h) for h in hits))
    for i, h in enumerate(hits):
        x[i * gap:i * gap + len(h)] += h
    if rate != mt.SR:
        g = np.gcd(rate, mt.SR)
        x = resample_poly(x, rate // g, mt.SR // g)
    wavfile.write(path, rate, (x * 0.5 / np.max(np.abs(x))).astype(np.float32))


def decompose(tool, args):
    subprocess.run([tool, "decompose", "-q", "--format", "float"] + args, check=True)


def read_components(folder, name, K, length):
    out = []
    for k in range(1, K + 1):
        x, _ = mt.sf.read(os.path.join(folder, f"{name}-c{k:02d}.wav"), always_2d=True)
        out.append(x[:length])
    return out


def learn(tool, tmp, kit, rate, n):
    """components.json of each drum's n bases, in DRUMS order."""
    files = []
    for piece in DRUMS:
        wav = os.path.join(tmp, f"{piece}.wav")
        if not os.path.exists(wav):
            write_hits(wav, kit, piece, rate)
        out = os.path.join(tmp, f"{piece}-{n}")
        decompose(tool, [wav, "-k", str(n), "--seed", "1", "-o", out])
        files.append(os.path.join(out, "components.json"))
    return files


def learned_scores(est, S, n, extra):
    """Drum d is the sum of its n given components; anything beyond the drums
    (the bass) the sum of the free ones."""
    scores = [an.si_sdr(sum(est[d * n:(d + 1) * n]), S[d]) for d in range(len(DRUMS))]
    for s in range(len(DRUMS), len(S)):
        scores.append(an.si_sdr(sum(est[len(DRUMS) * n:]), S[s]) if extra else -100.0)
    return scores


def job(task):
    tool, cache, kind, v, rate, per_drum, seeds = task
    d = mt.build(cache, kind, v, 1, rate)
    _, mix, S = mt.read(d)
    mixf = os.path.join(d, "mix.wav")
    rec = []
    t0 = time.time()
    with tempfile.TemporaryDirectory() as tmp:
        for seed in range(1, seeds + 1):
            o = os.path.join(tmp, f"blind-{seed}")
            decompose(tool, [mixf, "-k", str(len(S)), "--seed", str(seed), "-o", o])
            est = read_components(o, "mix", len(S), len(mix))
            rec.append(("blind", f"-k {len(S)}", an.matched_scores(est, S)))
        extras = (0, 1, 2) if len(S) == len(DRUMS) else (1, 2)
        for n in per_drum:
            files = ",".join(learn(tool, tmp, kit_of(kind, v), rate, n))
            for fix in (True, False):
                for extra in extras:
                    flags = ["--bases", files, "--extra", str(extra)] + (["--fix-bases"] if fix else [])
                    name = f"{n} per drum{', fixed' if fix else ''}, --extra {extra}"
                    for seed in range(1, seeds + 1):
                        o = os.path.join(tmp, f"l-{seed}")
                        decompose(tool, [mixf, "--seed", str(seed), "-o", o] + flags)
                        K = len(DRUMS) * n + extra
                        est = read_components(o, "mix", K, len(mix))
                        rec.append(("learned", name, learned_scores(est, S, n, extra)))
    secs = time.time() - t0
    return [{"kind": kind, "variant": v, "method": m, "config": c, "sources": [float(x) for x in s],
             "score": float(np.mean(s)), "seconds": secs} for m, c, s in rec]


def table(records, kinds):
    blind = {k: np.mean([r["score"] for r in records if r["kind"] == k and r["method"] == "blind"])
             for k in kinds}
    rows = ["| setting | " + " | ".join(kinds) + " | gain over blind (mean) |",
            "|---|" + "---:|" * (len(kinds) + 1)]
    configs = [("blind", records[0]["config"])]
    for r in records:
        if (r["method"], r["config"]) not in configs and r["method"] == "learned":
            configs.append((r["method"], r["config"]))
    for m, c in configs:
        cells, gains = [], []
        for k in kinds:
            rs = [r for r in records if r["kind"] == k and r["method"] == m
                  and (r["config"] == c or m == "blind")]
            if not rs:
                cells.append("")
                continue
            sc = np.array([r["score"] for r in rs])
            cells.append(f"{sc.mean():.1f} / {sc.min():.1f}")
            gains.append(sc.mean() - blind[k])
        label = "blind, -k = sources (matched)" if m == "blind" else c
        rows.append(f"| {label} | " + " | ".join(cells) + f" | {np.mean(gains):+.1f} |")
    return "\n".join(rows)


def per_source(records, kinds):
    """Mean SI-SDR per drum for blind and for the best learned setting."""
    lines = ["| kind | setting | " + " | ".join(DRUMS) + " | bass |", "|---|---|" + "---:|" * 4]
    for k in kinds:
        rs = [r for r in records if r["kind"] == k]
        learned = {}
        for r in rs:
            if r["method"] == "learned":
                learned.setdefault(r["config"], []).append(r["score"])
        best = max(learned, key=lambda c: np.mean(learned[c]))
        for label, pick in (("blind", lambda r: r["method"] == "blind"), (best, lambda r: r["config"] == best
                                                                           and r["method"] == "learned")):
            src = np.array([r["sources"] for r in rs if pick(r)])
            cells = [f"{x:.1f}" for x in src.mean(axis=0)] + ([""] if src.shape[1] == 3 else [])
            lines.append(f"| {k} | {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    args = parse_args()
    if args.quick:
        args.variants, args.seeds, args.per_drum = min(args.variants, 2), 1, "2"
    kinds = [k for k in args.kinds.split(",") if k]
    per_drum = [int(n) for n in args.per_drum.split(",")]
    tasks = [(args.tool, args.cache, k, v, args.rate, per_drum, args.seeds)
             for k in kinds for v in range(min(args.variants, 4))]
    t0 = time.time()
    records = []
    with ProcessPoolExecutor(max_workers=args.jobs) as ex:
        for i, rs in enumerate(ex.map(job, tasks)):
            records += rs
            print(f"mixture {i + 1}/{len(tasks)} done at {time.time() - t0:.0f} s", file=sys.stderr)
    path = os.path.join(args.cache, "bases-records.json")
    with open(path, "w") as f:
        json.dump(records, f)
    print(f"records: {path}; {time.time() - t0:.0f} s", file=sys.stderr)
    print("Cells: mean / worst SI-SDR (dB) over mixtures and seeds.\n")
    print(table(records, kinds))
    print("\nMean SI-SDR (dB) per source, blind and the best learned setting:\n")
    print(per_source(records, kinds))


if __name__ == "__main__":
    main()
