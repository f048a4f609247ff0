#!/usr/bin/env bash
# Installs the Debian packages the separation benchmark needs (bench only,
# not part of the build's setup); does nothing when all are present.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec bash "$here/../../scripts/setup.sh" --packages python3-numpy python3-scipy python3-sklearn python3-soundfile \
  hydrogen-drumkits fluidsynth timgm6mb-soundfont espeak-ng
