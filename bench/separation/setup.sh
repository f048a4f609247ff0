#!/usr/bin/env bash
# Installs the Debian packages the separation benchmark needs (bench only,
# not part of scripts/setup.sh); does nothing when all are present.
set -euo pipefail
pkgs=(python3-numpy python3-scipy python3-sklearn python3-soundfile hydrogen-drumkits fluidsynth timgm6mb-soundfont espeak-ng)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "separation bench: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# other installs may hold the lock for a while
$SUDO apt-get -o DPkg::Lock::Timeout=900 update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends "${missing[@]}"
