#!/usr/bin/env bash
# Runs every fuzz target for FUZZ_SECONDS (default 60), one after another,
# on its seeds, its regression inputs and the corpus kept from earlier runs.
# Usage: fuzz/run.sh BUILD_DIR [TARGET...]
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)   # the targets change folder
shift
secs=${FUZZ_SECONDS:-60}
src=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then   # every target built (fuzz/CMakeLists.txt lists them)
  for exe in "$build"/fuzz/fuzz_*; do targets+=("${exe##*/fuzz_}"); done
fi

export LSAN_OPTIONS="suppressions=$src/../tests/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
seeds="$build/fuzz-seeds"
"$build/fuzz/kv_fuzz_seeds" "$seeds"
failed=()
for t in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$t"
  findings="$build/fuzz-findings"
  mkdir -p "$corpus" "$findings" "$src/regressions/$t"
  echo "== $t: ${secs}s"
  # stdout and stderr of the target itself are closed: the objects post a lot.
  # An object's decomposition of a small buffer at a hop of one sample takes
  # a second here and near a minute under the sanitizers on a busy machine:
  # only a unit past five minutes counts as hung.
  if ! "$build/fuzz/fuzz_$t" "$corpus" "$seeds/$t" "$src/regressions/$t" \
      -max_total_time="$secs" -timeout=300 -rss_limit_mb=3072 -malloc_limit_mb=2048 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$findings/$t-" \
      2> "$build/fuzz-$t.log"; then
    failed+=("$t")
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+.*DONE' "$build/fuzz-$t.log" || true
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}: see $build/fuzz-findings and $build/fuzz-<target>.log" >&2
  exit 1
fi
echo "fuzz: no findings"
