#!/usr/bin/env bash
# Installs the Debian packages the build needs; does nothing when all are present.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libfftw3-dev libopenblas-dev libopenblas-serial-dev libsndfile1-dev libgtest-dev
      libbenchmark-dev libcli11-dev nlohmann-json3-dev libcairo2-dev)
# the listening page's test drives a headless browser; its recommended
# desktop services are not needed for that
lean=(chromium)
missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t need < <(missing "${pkgs[@]}")
mapfile -t needLean < <(missing "${lean[@]}")
[ ${#need[@]} -eq 0 ] && [ ${#needLean[@]} -eq 0 ] && exit 0
echo "setup: installing ${need[*]} ${needLean[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update
[ ${#need[@]} -eq 0 ] || $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
[ ${#needLean[@]} -eq 0 ] || $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  "${needLean[@]}"
