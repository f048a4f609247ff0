#!/usr/bin/env bash
# Lists every C and C++ file that clang-format would change; fails if any.
set -euo pipefail
fmt=${1:-clang-format}
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files -co --exclude-standard -- '*.c' '*.h' '*.cpp' '*.hpp')
else
  files=$(find . -path './build*' -prune -o -type f \( -name '*.c' -o -name '*.h' -o -name '*.cpp' -o -name '*.hpp' \) -print)
fi
[ -n "$files" ] || exit 0
# shellcheck disable=SC2086
"$fmt" --dry-run -Werror $files
