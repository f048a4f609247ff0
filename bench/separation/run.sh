#!/usr/bin/env bash
# make bench-separation: installs the bench-only packages when missing, builds
# the command line, then scores the separations (see bench/README.md).
# Arguments go to run.py, for example --quick, --rate 44100, or
#   --tool-config "tol0=--tol 0" --table-out goal.md
# (no --rate: 22.05 and 44.1 kHz in one run, one goal table)
# or, after --bases, to bases.py (make bench-separation ARGS="--bases --quick").
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${KV_BUILD:-$here/../../build}"

bash "$here/setup.sh"
cmake --build "$build" --target korvane -j2
echo "== machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
# --bases [ARGS]: learned bases against blind decomposition (bases.py)
if [ "${1:-}" = "--bases" ]; then
  shift
  exec nice -n 10 /usr/bin/python3 "$here/bases.py" --tool "$build/korvane" --cache "$build/separation" "$@"
fi
# Debian's interpreter, where the python3-* packages install
exec nice -n 10 /usr/bin/python3 "$here/run.py" --tool "$build/korvane" --cache "$build/separation" "$@"
