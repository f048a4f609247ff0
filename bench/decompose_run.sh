#!/usr/bin/env bash
# `korvane decompose` on a synthetic stereo sound at 44.1 kHz, K = 10, every
# component written: wall time, the factorisation's share of it and the peak
# resident memory (/usr/bin/time -v). Usage: decompose_run.sh SECONDS [args...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${KV_BUILD:-$here/../build}"
seconds="${1:-60}"
shift || true
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# tones whose levels swing, over a little noise, one-second blocks
/usr/bin/python3 - "$work/in.wav" "$seconds" <<'PY'
import sys, wave, numpy as np
path, seconds, rate = sys.argv[1], int(sys.argv[2]), 44100
rng = np.random.default_rng(1)
with wave.open(path, "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate)
    for s in range(seconds):
        t = np.arange(rate) / rate + s
        x = sum(np.sin(2 * np.pi * f * t) * (0.5 + 0.5 * np.sin(2 * np.pi * (0.3 + i / 7) * t)) * 0.08
                for i, f in enumerate((110, 220, 330, 587, 880, 1320)))
        l = x + 0.01 * rng.standard_normal(rate)
        r = 0.7 * x + 0.01 * rng.standard_normal(rate)
        w.writeframes((np.stack([l, r], 1) * 32767).astype("<i2").tobytes())
PY

/usr/bin/time -v "$build/korvane" decompose "$work/in.wav" -k 10 -o "$work/out" "$@" \
    >"$work/stdout" 2>"$work/time"
wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time")
rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time")
cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {printf "%.2f", s}' "$work/time")
factor=$(sed -n 's/.*factorisation \([0-9.]*\) s.*/\1/p' "$work/stdout")
secs=$(echo "$wall" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
echo "== decompose ${seconds} s stereo 44.1 kHz, K = 10: wall ${secs} s, factorisation ${factor} s," \
     "outside it $(awk -v w="$secs" -v f="$factor" 'BEGIN { printf "%.0f%%", 100 * (w - f) / w }')," \
     "peak RSS $((rss / 1024)) MiB, CPU ${cpu} s"

# KV_PEER=1: the same work with numpy, scipy and scikit-learn
# (sklearn_pipeline.py, plain Kullback-Leibler, 200 rounds) on the same sound
if [ "${KV_PEER:-0}" = 1 ]; then
    /usr/bin/time -v /usr/bin/python3 "$here/sklearn_pipeline.py" "$work/in.wav" -k 10 \
        -o "$work/peer" ${KV_PEER_ARGS:-} >"$work/peer_stdout" 2>"$work/peer_time"
    pwall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/peer_time" |
        awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
    prss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/peer_time")
    pcpu=$(awk -F': ' '/User time|System time/ {s += $2} END {printf "%.2f", s}' "$work/peer_time")
    echo "== the same pipeline with scikit-learn: wall ${pwall} s ($(cat "$work/peer_stdout"))," \
         "peak RSS $((prss / 1024)) MiB, CPU ${pcpu} s; ratio $(awk -v p="$pwall" -v w="$secs" 'BEGIN { printf "%.1f", p / w }')" \
         "(CPU $(awk -v p="$pcpu" -v w="$cpu" 'BEGIN { printf "%.1f", p / w }'))"
fi
