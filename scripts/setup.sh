#!/usr/bin/env bash
# Installs the Debian packages the build needs; does nothing when all are present.
# `setup.sh fuzz` (or KV_SETUP_FUZZ=1) adds clang and libFuzzer;
# `setup.sh --packages P...` installs just the packages named (the benches use it).
set -euo pipefail
# chromium: the listening page's test drives a headless browser; libopusenc-dev
# and libsoxr-dev: the page's sounds; clang-format: the layout check; puredata-*:
# the Pd externals and their tests in the real pd; pybind11 and python3-*: the
# Python module; parallel: the scale-out recipe's test
pkgs=(cmake g++ make pkg-config libfftw3-dev libopenblas-dev libopenblas-serial-dev libsndfile1-dev libgtest-dev
      libbenchmark-dev libcli11-dev nlohmann-json3-dev libcairo2-dev liblapacke-dev libopusenc-dev libsoxr-dev
      clang-format chromium puredata-core puredata-dev pybind11-dev python3-dev python3-numpy python3-pytest parallel)
if [ "${1:-}" = --packages ]; then
  shift
  pkgs=("$@")
elif [ "${1:-}" = fuzz ] || [ -n "${KV_SETUP_FUZZ:-}" ]; then
  # libFuzzer ships in the runtime package of Debian 12's clang 14
  pkgs+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# other installs may hold the lock for a while
$SUDO apt-get -o DPkg::Lock::Timeout=900 update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y "${missing[@]}"
