"""Separation benchmark: mixtures with known sources, factorised by numpy
prototypes of the engine's candidate starts, by scikit-learn's NMF and by
the `korvane decompose` tool; SI-SDR after matching components to sources.
Prints markdown tables; the records go to a JSON file beside the material."""
import argparse
import json
import re
import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import analysis as an  # noqa: E402
import material as mt  # noqa: E402
import nmf  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--quick", action="store_true",
                   help="one variant per kind, 3 seeds, no best-of-N")
    p.add_argument("--variants", type=int, default=3, help="mixtures per kind and channel count")
    p.add_argument("--first-variant", type=int, default=0,
                   help="variants run from this one (to add mixtures to an earlier run)")
    p.add_argument("--seeds", type=int, default=10)
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--cache", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   "..", "..", "build", "separation"))
    p.add_argument("--kinds", default=",".join(mt.KINDS))
    p.add_argument("--channels", default="1,2", help="1, 2 or 1,2")
    p.add_argument("--framing", choices=["pad", "tool"], default="pad",
                   help="frames over the padded sound (as planned) or today's frames")
    p.add_argument("--starts", default="uniform,halfnormal,nndsvda",
                   help="of uniform (today's), halfnormal (scikit-learn's random), nndsvda, "
                        "nndsvd, scaled, numpy-uniform")
    p.add_argument("--best-of", type=int, default=3,
                   help="N of the best-of-N by divergence among the seeds of a random start, "
                        "seed s taking the best of s .. s+N-1 (cyclically); 0: none")
    p.add_argument("--rate", type=int, default=22050, help="sample rate of the mixtures")
    p.add_argument("--no-proto", action="store_true")
    p.add_argument("--no-sklearn", action="store_true")
    p.add_argument("--tool", default="", help="korvane executable; empty: not run")
    p.add_argument("--tool-config", action="append", default=[],
                   help="NAME=ARGS: extra arguments for korvane decompose (repeatable); "
                        "default: one run with none")
    p.add_argument("--json", default="", help="where the records go (default: in the cache)")
    p.add_argument("--from-json", default="",
                   help="print the tables of earlier records (files joined by commas)")
    p.add_argument("--rows", default="", help="only the rows whose 'method setting' matches this regex")
    return p.parse_args()


CHECKPOINTS = (100, 200, 300)
TOLS = (1e-3, 1e-4)


def mixtures(args):
    kinds = [k for k in args.kinds.split(",") if k]
    chans = [int(c) for c in args.channels.split(",")]
    out = []
    for ch in chans:
        for kind in kinds:
            for v in range(args.first_variant, args.first_variant + args.variants):
                # stereo mixtures are other material than the mono ones
                out.append((kind, ch, v + (4 if ch == 2 else 0)))
    if max(v for _, _, v in out) >= len(mt.TEMPOS):
        sys.exit("at most 4 variants per kind and channel count")
    return out


def setup_mixture(d, framing):
    sr, mix, S = mt.read(d)
    N, hop = an.sizes(sr)
    fr = an.Framing(len(mix), N, hop, framing)
    return mix, S, fr, an.spectra(mix, fr)


def score(W, H, specs, fr, S, mode):
    est = an.resynth(W, H, specs, fr, mode)
    return an.matched_scores(est, S)


def record(meta, method, config, seed, scores, **extra):
    r = dict(meta, method=method, config=config, seed=seed,
             score=float(np.mean(scores)), sources=[float(s) for s in scores])
    r.update(extra)
    return r


def modes_for(channels):
    return ["sum", "stack"] if channels == 2 else ["sum"]


def proto_job(job):
    """The engine's updates from each candidate start, on one mixture. Seeds
    run from 1 (the tool's --seed); deterministic starts run once."""
    d, meta, args = job
    mix, S, fr, specs = setup_mixture(d, args["framing"])
    K = len(S)
    out = []
    for mode in modes_for(meta["channels"]):
        V = an.magnitude(specs, mode)
        for start in args["starts"]:
            seeds = [1] if start in nmf.DETERMINISTIC else range(1, args["seeds"] + 1)
            runs = []
            for seed in seeds:
                W0, H0 = nmf.STARTS[start](V, K, seed)
                t0 = time.time()
                snaps = nmf.iterate(V, W0, H0, CHECKPOINTS, TOLS)
                secs = time.time() - t0
                res, by_rounds = {}, {}
                for label, (W, H, its, D) in snaps.items():
                    if its not in by_rounds:   # a tolerance stop on a checkpoint
                        by_rounds[its] = score(W, H, specs, fr, S, mode)
                    res[label] = (by_rounds[its], its, D)
                    out.append(record(meta, "ours", f"{start} {label} {mode}", seed,
                                      by_rounds[its], iterations=its, divergence=D,
                                      seconds=secs))
                runs.append(res)
            n, N = len(runs), args["best_of"]
            if N > 1 and n >= N:
                for i in range(n):
                    group = [runs[(i + j) % n] for j in range(N)]
                    for label in group[0]:
                        sc, its, D = min((r[label] for r in group), key=lambda x: x[2])
                        out.append(record(meta, "ours", f"{start} best{N} {label} {mode}",
                                          seeds[i], sc, iterations=its * N, divergence=D))
    return out


def sklearn_job(job):
    """scikit-learn's KL multiplicative updates: random and nndsvda starts, 100
    and 200 rounds (the second hundred continues the first, as one run of 200
    would)."""
    d, meta, args = job
    mix, S, fr, specs = setup_mixture(d, args["framing"])
    K = len(S)
    out = []
    for mode in modes_for(meta["channels"]):
        V = an.magnitude(specs, mode)
        for init in ("random", "nndsvda"):
            # nndsvda varies with the seed only through a randomised SVD
            n = args["seeds"] if init == "random" else min(3, args["seeds"])
            for seed in range(1, n + 1):
                W, H = nmf.sklearn_nmf(V, K, init, 100, seed)
                out.append(record(meta, "sklearn", f"{init} it100 {mode}", seed,
                                  score(W, H, specs, fr, S, mode)))
                W, H = nmf.sklearn_nmf(V, K, "custom", 100, seed, W, H)
                out.append(record(meta, "sklearn", f"{init} it200 {mode}", seed,
                                  score(W, H, specs, fr, S, mode)))
    return out


def tool_job(job):
    """`korvane decompose` itself, reading back its component files."""
    d, meta, args = job
    mix, S, fr, specs = setup_mixture(d, args["framing"])
    K = len(S)
    out = []
    for name, extra in args["tool_configs"]:
        for seed in range(1, args["seeds"] + 1):
            with tempfile.TemporaryDirectory() as tmp:
                o = os.path.join(tmp, "out")
                cmd = [args["tool"], "decompose", os.path.join(d, "mix.wav"), "-k", str(K),
                       "--format", "float", "-q", "-o", o, "--seed", str(seed)] + extra.split()
                subprocess.run(cmd, check=True)
                est = []
                for k in range(1, K + 1):
                    x, _ = mt.sf.read(os.path.join(o, f"mix-c{k:02d}.wav"), always_2d=True)
                    est.append(x[:len(mix)])
            out.append(record(meta, "korvane", name, seed, an.matched_scores(est, S)))
    return out


def run_all(args):
    mix_list = mixtures(args)
    t0 = time.time()
    dirs = []
    for kind, ch, v in mix_list:
        dirs.append(mt.build(args.cache, kind, v, ch, args.rate))
    print(f"material: {len(dirs)} mixtures in {time.time() - t0:.0f} s", file=sys.stderr)
    shared = {"framing": args.framing, "seeds": args.seeds, "starts": args.starts.split(","),
              "best_of": args.best_of, "tool": args.tool,
              "tool_configs": [tuple(c.split("=", 1)) for c in args.tool_config] or [("korvane", "")]}
    jobs = []
    for (kind, ch, v), d in zip(mix_list, dirs):
        meta = {"kind": kind, "channels": ch, "variant": v}
        if not args.no_proto:
            jobs.append((proto_job, (d, meta, shared)))
        if not args.no_sklearn:
            jobs.append((sklearn_job, (d, meta, shared)))
        if args.tool:
            jobs.append((tool_job, (d, meta, shared)))
    records = []
    with ProcessPoolExecutor(max_workers=args.jobs, initializer=one_thread) as ex:
        futures = [ex.submit(fn, job) for fn, job in jobs]
        for i, f in enumerate(futures):
            records += f.result()
            print(f"job {i + 1}/{len(jobs)} done at {time.time() - t0:.0f} s", file=sys.stderr)
    return records


def one_thread():
    # two workers on two cores: keep each worker's BLAS on one thread
    from threadpoolctl import threadpool_limits
    one_thread.limits = threadpool_limits(1)


# ---- the tables ----------------------------------------------------------------

def summarise(records):
    """{(channels, kind, method, config): stats} with mean, median, worst over
    all mixtures and seeds, and the runs more than 3 dB below their mixture's
    median over seeds."""
    groups = {}
    for r in records:
        key = (r["channels"], r["kind"], r["method"], r["config"])
        groups.setdefault(key, {}).setdefault(r["variant"], []).append(r)
    stats = {}
    for key, per_mix in groups.items():
        allv = np.array([r["score"] for rs in per_mix.values() for r in rs])
        low = sum(int(np.sum(np.array([r["score"] for r in rs])
                             < np.median([r["score"] for r in rs]) - 3.0))
                  for rs in per_mix.values())
        its = [r["iterations"] for rs in per_mix.values() for r in rs if "iterations" in r]
        stats[key] = {"mean": float(allv.mean()), "median": float(np.median(allv)),
                      "worst": float(allv.min()), "low": low, "runs": len(allv),
                      "iterations": float(np.mean(its)) if its else None}
    return stats


def with_capped_tolerance(records, cap=200):
    """Adds 'tolX max200' records: the tolerance stop, or the run at `cap`
    rounds where the stop came later (the runs go on to 300)."""
    at_cap = {}
    for r in records:
        if r["method"] == "ours" and f" it{cap} " in r["config"] and "best" not in r["config"]:
            at_cap[(r["channels"], r["kind"], r["variant"], r["config"], r["seed"])] = r
    extra = []
    for r in records:
        c = r["config"]
        if r["method"] != "ours" or " tol" not in c or "best" in c:
            continue
        start, tol, mode = c.split(" ")
        if r["iterations"] <= cap:
            extra.append(dict(r, config=f"{start} {tol} max{cap} {mode}"))
        else:
            capped = at_cap[(r["channels"], r["kind"], r["variant"], f"{start} it{cap} {mode}", r["seed"])]
            extra.append(dict(capped, config=f"{start} {tol} max{cap} {mode}"))
    return records + extra


def tables(records, rows_re=""):
    stats = summarise(with_capped_tolerance(records))
    if rows_re:
        stats = {k: v for k, v in stats.items() if re.search(rows_re, f"{k[2]} {k[3]}")}
    kinds = [k for k in mt.KINDS if any(s[1] == k for s in stats)]
    lines = []
    for ch in sorted({s[0] for s in stats}):
        lines.append(f"\n### {'Mono' if ch == 1 else 'Stereo'}\n")
        lines.append("Cells: mean / median / worst SI-SDR (dB) over mixtures and seeds; "
                     "in brackets, runs more than 3 dB below their mixture's median.\n")
        lines.append("| method | setting | " + " | ".join(kinds) + " | all kinds (mean) | rounds |")
        lines.append("|---|---|" + "---:|" * (len(kinds) + 2))
        rows = sorted({(s[2], s[3]) for s in stats if s[0] == ch},
                      key=lambda m: (["korvane", "ours", "sklearn"].index(m[0]), m[1]))
        for method, config in rows:
            cells, means, its = [], [], []
            for kind in kinds:
                st = stats.get((ch, kind, method, config))
                if not st:
                    cells.append("")
                    continue
                cells.append(f"{st['mean']:.1f} / {st['median']:.1f} / {st['worst']:.1f} ({st['low']})")
                means.append(st["mean"])
                if st["iterations"] is not None:
                    its.append(st["iterations"])
            rounds = f"{np.mean(its):.0f}" if its else ""
            lines.append(f"| {method} | {config} | " + " | ".join(cells)
                         + f" | {np.mean(means):.1f} | {rounds} |")
        lines.append("")
        lines.append("Best scikit-learn setting per kind (by mean):\n")
        lines.append("| kind | setting | mean | median | worst |")
        lines.append("|---|---|---:|---:|---:|")
        for kind in kinds:
            sk = [(st["mean"], key[3], st) for key, st in stats.items()
                  if key[0] == ch and key[1] == kind and key[2] == "sklearn"]
            if sk:
                m, cfg, st = max(sk, key=lambda x: x[0])
                lines.append(f"| {kind} | {cfg} | {m:.1f} | {st['median']:.1f} | {st['worst']:.1f} |")
    return "\n".join(lines)


def main():
    args = parse_args()
    if args.from_json:
        records = []
        for path in args.from_json.split(","):
            with open(path) as f:
                records += json.load(f)
        print(tables(records, args.rows))
        return
    if args.quick:
        args.variants = min(args.variants, 1)
        args.seeds = min(args.seeds, 3)
        args.best_of = 0
    records = run_all(args)
    path = args.json or os.path.join(args.cache, "records.json")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(records, f)
    print(f"records: {path}", file=sys.stderr)
    print(tables(records, args.rows))


if __name__ == "__main__":
    main()
