#!/usr/bin/env bash
# make bench: the Google Benchmark timings, then the comparison with
# scikit-learn's NMF on the same spectrogram. Extra arguments go to the
# comparison script (for example --runs 5 or --sizes 2580).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${KV_BUILD:-$here/../build}"

cmake --build "$build" --target kv_bench kv_nmf_time korvane -j"$(nproc)"
echo "== machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/kv_bench" --benchmark_counters_tabular=true
# Debian's interpreter, where python3-sklearn installs
/usr/bin/python3 "$here/sklearn_compare.py" --timer "$build/bench/kv_nmf_time" "$@"
# the command line end to end: a minute (the hour is `make bench-long`)
bash "$here/decompose_run.sh" 60
