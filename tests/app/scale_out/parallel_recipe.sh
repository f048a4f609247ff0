#!/bin/sh
# parallel_recipe.sh KORVANE GUIDE PYTHON3: runs docs/batch.md's GNU parallel
# recipe with its ssh hosts replaced by the local slot ":" and checks that
# every sound's output folder comes back whole and the log counts no failure.
set -eu
korvane=$1 guide=$2 python=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/korvane-parallel-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir bin sounds home
ln -s "$korvane" bin/korvane
# the recipe: the command of the sh block that starts with "parallel -S"
awk '/^```sh/ {block = 1; next} /^```/ {block = 0} block' "$guide" |
    awk '/^parallel -S / {on = 1} on {print} on && !/\\$/ {exit}' > recipe.sh
grep -q -- '-S host1,host2 ' recipe.sh || { echo "the guide's recipe is not found"; cat recipe.sh; exit 1; }
sed -i 's/-S host1,host2 /-S : /' recipe.sh
# three short sounds of different tones, 16-bit mono
"$python" - <<'PY'
import math, struct, wave
for name, hz in (("kick", 60), ("snare", 400), ("hat", 3000)):
    with wave.open(f"sounds/{name}.wav", "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(b"".join(struct.pack("<h", int(9000 * math.sin(2 * math.pi * hz * i / 8000) * (0.6 + 0.4 * math.cos(2 * math.pi * 3 * i / 8000)))) for i in range(6000)))
PY
echo "running: $(cat recipe.sh)"
status=0
HOME="$scratch/home" PARALLEL_HOME="$scratch/home/.parallel" PARALLEL=--will-cite PATH="$scratch/bin:$PATH" \
    sh recipe.sh || status=$?
[ "$status" -eq 0 ] || { echo "parallel exited $status"; cat jobs.log 2>/dev/null; exit 1; }
for name in kick snare hat; do
    for file in components.json $name-c01.wav $name-c06.wav; do
        [ -s "$name-out/$file" ] || { echo "missing $name-out/$file"; ls -la . "$name-out" 2>&1; exit 1; }
    done
    [ -s "sounds/$name.wav" ] || { echo "the input sounds/$name.wav is gone"; exit 1; }
done
# every job logged with exit value 0 (the seventh column)
[ "$(awk 'NR > 1 && $7 == 0' jobs.log | wc -l)" -eq 3 ] || { echo "jobs.log:"; cat jobs.log; exit 1; }
echo "three sounds decomposed through parallel"
