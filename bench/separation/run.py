"""Separation benchmark: mixtures with known sources, factorised by the
`korvane decompose` tool and by its peers (scikit-learn's NMF in its cost,
solver and penalty settings; a numpy NMFD), optionally by numpy prototypes
of the engine's starts; SI-SDR after matching components to sources. Prints
markdown tables and the goal table (the tool against the best peer setting
per kind, channel count and rate); the records go to a JSON file."""
import argparse
import json
import re
import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor, as_completed

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import analysis as an  # noqa: E402
import material as mt  # noqa: E402
import nmf  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--quick", action="store_true",
                   help="one variant per kind, 3 seeds of the tool and 2 of each peer's random "
                        "start, the peers of QUICK_PEERS, 22.05 kHz")
    p.add_argument("--variants", type=int, default=3, help="mixtures per kind and channel count")
    p.add_argument("--material", choices=sorted(mt.MATERIALS), default="bench",
                   help="bench: the goal table's mixtures (and variants 3 on, held back); fresh: a "
                        "second set, other kits, instruments and voices, to check a choice against")
    p.add_argument("--first-variant", type=int, default=0,
                   help="variants run from this one (to add mixtures to an earlier run)")
    p.add_argument("--seeds", type=int, default=10, help="seeds of the tool (and the prototypes)")
    p.add_argument("--peer-seeds", type=int, default=4,
                   help="seeds of each peer's random start (nndsvda: one)")
    p.add_argument("--peers", default="",
                   help="peer settings, names of PEERS joined by commas (default: all)")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--cache", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   "..", "..", "build", "separation"))
    p.add_argument("--kinds", default=",".join(mt.KINDS))
    p.add_argument("--channels", default="1,2", help="1, 2 or 1,2")
    p.add_argument("--stereo", default="stack",
                   help="how the peers see a stereo mixture: stack, sum, spatial (stacked, "
                        "resynthesised through the tool's spatial filter), joined by commas")
    p.add_argument("--framing", choices=["tool", "pad", "old"], default="tool",
                   help="the tool's frames (default) or earlier ones (see analysis.py)")
    p.add_argument("--rate", default="",
                   help="sample rates of the mixtures, joined by commas "
                        "(default 22050,44100; --quick: 22050)")
    p.add_argument("--proto", action="store_true",
                   help="also the numpy prototypes of the engine's starts (ours)")
    p.add_argument("--starts", default="uniform,halfnormal,nndsvda",
                   help="with --proto: of uniform (the old tool's), halfnormal (scikit-learn's "
                        "random), nndsvda, nndsvd, scaled, numpy-uniform")
    p.add_argument("--best-of", type=int, default=3,
                   help="with --proto: N of the best-of-N by divergence among the seeds of a "
                        "random start, seed s taking the best of s .. s+N-1 (cyclically); 0: none")
    p.add_argument("--no-peers", action="store_true")
    p.add_argument("--tool", default="", help="korvane executable; empty: not run")
    p.add_argument("--tool-config", action="append", default=[],
                   help="NAME=ARGS: extra arguments for korvane decompose ({k}, {2k}, {3k}: the sources, twice, thrice) (repeatable); "
                        "default: one run with none, named korvane; the first is the goal "
                        "table's")
    p.add_argument("--json", default="", help="where the records go (default: in the cache)")
    p.add_argument("--from-json", default="",
                   help="print the tables of earlier records (files joined by commas)")
    p.add_argument("--rows", default="", help="only the rows whose 'method setting' matches this regex")
    p.add_argument("--table-out", default="", help="the goal table (markdown) also to this file")
    return p.parse_args()


# The peers: scikit-learn's NMF settings (V scaled to mean 1, so the penalties'
# weights, which scikit-learn multiplies by the other dimension, mean the same
# on every mixture; "power": V squared) and NMFD, each from nndsvda (one run,
# scikit-learn only) and from random starts; 200 rounds.
PEERS = {
    "KL mu": {"beta": "kullback-leibler"},
    "IS mu": {"beta": "itakura-saito"},
    "IS mu power": {"beta": "itakura-saito", "power": True},
    "beta0.5 mu": {"beta": 0.5},
    "beta1.5 mu": {"beta": 1.5},
    "Frobenius mu": {"beta": "frobenius"},
    "Frobenius cd": {"beta": "frobenius", "solver": "cd"},
    "KL mu L1 0.01": {"beta": "kullback-leibler", "alpha": 0.01, "l1_ratio": 1.0},
    "KL mu L2 0.01": {"beta": "kullback-leibler", "alpha": 0.01, "l1_ratio": 0.0},
    "KL mu L2 0.03": {"beta": "kullback-leibler", "alpha": 0.03, "l1_ratio": 0.0},
    "KL mu L2 0.1": {"beta": "kullback-leibler", "alpha": 0.1, "l1_ratio": 0.0},
    "Frobenius cd L2 0.3": {"beta": "frobenius", "solver": "cd", "alpha": 0.3, "l1_ratio": 0.0},
    "NMFD L4": {"nmfd": 4},
    "NMFD L8": {"nmfd": 8},
}
# the settings that were best on some kind in a first grid
QUICK_PEERS = ["KL mu", "IS mu", "IS mu power", "beta0.5 mu", "Frobenius cd", "KL mu L2 0.03",
               "KL mu L2 0.1", "NMFD L4"]
IS_FLOOR = 1e-6   # added to V (mean 1) for Itakura-Saito, which refuses zeros

CHECKPOINTS = (100, 200, 300)
TOLS = (1e-3, 1e-4)


def mixtures(args):
    kinds = [k for k in args.kinds.split(",") if k]
    chans = [int(c) for c in args.channels.split(",")]
    stereo = 4 if args.material == "bench" else 1000
    out = []
    for rate in args.rates:
        for ch in chans:
            for kind in kinds:
                for v in range(args.first_variant, args.first_variant + args.variants):
                    # stereo mixtures are other material than the mono ones
                    out.append((kind, ch, v + (stereo if ch == 2 else 0), rate))
    if args.material == "bench" and max(v for _, _, v, _ in out) >= len(mt.TEMPOS):
        sys.exit("at most 4 variants per kind and channel count")
    return out


def setup_mixture(d, framing):
    sr, mix, S = mt.read(d)
    N, hop, win = an.sizes(sr, framing=framing)
    fr = an.Framing(len(mix), N, hop, framing, win)
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


def peer_job(job):
    """One peer setting on one mixture: from nndsvda (scikit-learn only) and
    from random starts (seeds 1 .. peer seeds)."""
    d, meta, args, name = job
    mix, S, fr, specs = setup_mixture(d, args["framing"])
    K = len(S)
    peer = dict(PEERS[name])
    power = peer.pop("power", False)
    modes = args["stereo"] if meta["channels"] == 2 else ["sum"]
    out = []
    for mode in modes:
        V = an.magnitude(specs, mode)
        V = V / V.mean()
        if "nmfd" in peer:
            for seed in range(1, args["peer_seeds"] + 1):
                t0 = time.time()
                W, H = nmf.nmfd(V, K, peer["nmfd"], seed)
                secs = time.time() - t0
                est = an.resynth_models(nmf.nmfd_components(W, H), specs, fr, mode)
                out.append(record(meta, "nmfd", f"{name} random {mode}", seed,
                                  an.matched_scores(est, S), seconds=secs))
            continue
        if power:
            # the power spectrogram; the masks are then the model's power shares
            V = V ** 2 / np.mean(V ** 2)
        if peer.get("beta") == "itakura-saito":
            V = V + IS_FLOOR
        runs = [("nndsvda", 1)] + [("random", s) for s in range(1, args["peer_seeds"] + 1)]
        for init, seed in runs:
            t0 = time.time()
            W, H = nmf.sklearn_peer(V, K, init, seed, **peer)
            secs = time.time() - t0
            out.append(record(meta, "sklearn", f"{name} {init} {mode}", seed,
                              score(W, H, specs, fr, S, mode), seconds=secs))
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
                       "--format", "float", "-q", "-o", o, "--seed", str(seed)] + [
                           a.replace("{k}", str(K)).replace("{2k}", str(2 * K))
                           .replace("{3k}", str(3 * K)) for a in extra.split()]
                subprocess.run(cmd, check=True, env=dict(os.environ, OMP_NUM_THREADS="1"))
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
    for kind, ch, v, rate in mix_list:
        dirs.append(mt.build(args.cache, kind, v, ch, rate, args.material))
    print(f"material: {len(dirs)} mixtures in {time.time() - t0:.0f} s", file=sys.stderr)
    shared = {"framing": args.framing, "seeds": args.seeds, "starts": args.starts.split(","),
              "best_of": args.best_of, "tool": args.tool, "peer_seeds": args.peer_seeds,
              "stereo": args.stereo.split(","), "tool_configs": tool_configs(args)}
    jobs = []
    for (kind, ch, v, rate), d in zip(mix_list, dirs):
        meta = {"kind": kind, "channels": ch, "variant": v, "rate": rate}
        if args.tool:
            jobs.append((tool_job, (d, meta, shared)))
        if args.proto:
            jobs.append((proto_job, (d, meta, shared)))
        if not args.no_peers:
            for name in args.peer_list:
                jobs.append((peer_job, (d, meta, shared, name)))
    records = []
    with ProcessPoolExecutor(max_workers=args.jobs, initializer=one_thread) as ex:
        futures = [ex.submit(fn, job) for fn, job in jobs]
        for i, f in enumerate(as_completed(futures)):
            records += f.result()
            if (i + 1) % 10 == 0 or i + 1 == len(jobs):
                print(f"job {i + 1}/{len(jobs)} done at {time.time() - t0:.0f} s", file=sys.stderr)
    return records


def tool_configs(args):
    return [tuple(c.split("=", 1)) for c in args.tool_config] or [("korvane", "")]


def one_thread():
    # two workers on two cores: keep each worker's BLAS on one thread
    from threadpoolctl import threadpool_limits
    one_thread.limits = threadpool_limits(1)


# ---- the tables ----------------------------------------------------------------

def summarise(records):
    """{(rate, channels, kind, method, config): stats} with mean, median, worst over
    all mixtures and seeds, and the runs more than 3 dB below their mixture's
    median over seeds."""
    groups = {}
    for r in records:
        key = (r.get("rate", 22050), r["channels"], r["kind"], r["method"], r["config"])
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
            at_cap[(r.get("rate"), r["channels"], r["kind"], r["variant"], r["config"], r["seed"])] = r
    extra = []
    for r in records:
        c = r["config"]
        if r["method"] != "ours" or " tol" not in c or "best" in c:
            continue
        start, tol, mode = c.split(" ")
        if r["iterations"] <= cap:
            extra.append(dict(r, config=f"{start} {tol} max{cap} {mode}"))
        else:
            capped = at_cap[(r.get("rate"), r["channels"], r["kind"], r["variant"],
                             f"{start} it{cap} {mode}", r["seed"])]
            extra.append(dict(capped, config=f"{start} {tol} max{cap} {mode}"))
    return records + extra


METHODS = ["korvane", "sklearn", "nmfd", "ours"]


def tables(records, rows_re=""):
    stats = summarise(with_capped_tolerance(records))
    if rows_re:
        stats = {k: v for k, v in stats.items() if re.search(rows_re, f"{k[3]} {k[4]}")}
    kinds = [k for k in mt.KINDS if any(s[2] == k for s in stats)]
    lines = []
    for rate, ch in sorted({s[:2] for s in stats}):
        lines.append(f"\n### {'Mono' if ch == 1 else 'Stereo'}, {rate / 1000:g} kHz\n")
        lines.append("Cells: mean / median / worst SI-SDR (dB) over mixtures and seeds; "
                     "in brackets, runs more than 3 dB below their mixture's median.\n")
        lines.append("| method | setting | " + " | ".join(kinds) + " | all kinds (mean) | rounds |")
        lines.append("|---|---|" + "---:|" * (len(kinds) + 2))
        rows = sorted({(s[3], s[4]) for s in stats if s[:2] == (rate, ch)},
                      key=lambda m: (METHODS.index(m[0]), m[1]))
        for method, config in rows:
            cells, means, its = [], [], []
            for kind in kinds:
                st = stats.get((rate, ch, kind, method, config))
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
    return "\n".join(lines)


def goal_table(records, tool_name="korvane", margin=1.0):
    """Per rate, channel count and kind: the tool's mean, its low runs, the
    best peer setting (scikit-learn or NMFD, by mean) and the margin."""
    stats = summarise(records)
    lines = [f"| rate | channels | kind | korvane mean | low runs | best peer setting | peer mean "
             f"| margin | +{margin:g} dB |",
             "|---|---|---|---:|---:|---|---:|---:|---|"]
    met = total = 0
    for rate, ch, kind in sorted({k[:3] for k in stats},
                                 key=lambda k: (k[0], k[1], mt.KINDS.index(k[2]))):
        tool = stats.get((rate, ch, kind, "korvane", tool_name))
        peers = [(st["mean"], f"{k[3]} {k[4]}") for k, st in stats.items()
                 if k[:3] == (rate, ch, kind) and k[3] in ("sklearn", "nmfd")]
        if not tool or not peers:
            continue
        best, name = max(peers)
        gap = tool["mean"] - best
        ok = gap >= margin
        met += ok
        total += 1
        lines.append(f"| {rate / 1000:g} kHz | {'mono' if ch == 1 else 'stereo'} | {kind} "
                     f"| {tool['mean']:.1f} | {tool['low']} of {tool['runs']} | {name} | {best:.1f} "
                     f"| {gap:+.1f} | {'yes' if ok else 'no'} |")
    lines.append(f"\n`{tool_name}` meets +{margin:g} dB on {met} of {total} rows.")
    return "\n".join(lines)


def report(records, args, tool_name):
    out = tables(records, args.rows)
    goal = goal_table(records, tool_name)
    print(out)
    print("\n### Goal\n")
    print(goal)
    if args.table_out:
        with open(args.table_out, "w") as f:
            f.write(goal + "\n")


def main():
    args = parse_args()
    tool_name = tool_configs(args)[0][0]
    if args.from_json:
        records = []
        for path in args.from_json.split(","):
            with open(path) as f:
                records += json.load(f)
        report(records, args, tool_name)
        return
    args.peer_list = [n for n in args.peers.split(",") if n] or list(PEERS)
    if args.quick:
        args.variants = min(args.variants, 1)
        args.seeds = min(args.seeds, 3)
        args.peer_seeds = min(args.peer_seeds, 2)
        args.best_of = 0
        if not args.peers:
            args.peer_list = QUICK_PEERS
        args.rate = args.rate or "22050"
    args.rates = [int(r) for r in (args.rate or "22050,44100").split(",")]
    unknown = set(args.peer_list) - set(PEERS)
    if unknown:
        sys.exit(f"no peer setting {', '.join(sorted(unknown))}; known: {', '.join(PEERS)}")
    t0 = time.time()
    records = run_all(args)
    path = args.json or os.path.join(args.cache, "records.json")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(records, f)
    print(f"records: {path}; {time.time() - t0:.0f} s", file=sys.stderr)
    report(records, args, tool_name)


if __name__ == "__main__":
    main()
