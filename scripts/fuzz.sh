#!/usr/bin/env bash
# Builds the fuzz targets (the fuzz preset) and runs each one in turn for
# SECONDS (default 600) on its committed seeds and on what earlier runs kept:
#   scripts/fuzz.sh [SECONDS] [TARGET...]      TARGET: image signature capsule-hobs update
# The corpus each run grows stays in build/fuzz/fuzz-corpus/TARGET; crashes,
# leaks and time-outs go to build/fuzz/fuzz-artifacts/TARGET/ with the run's
# log. Exits 1 when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
if [ $# -gt 0 ]; then
  shift
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(image signature capsule-hobs update)
fi
bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
failed=()
for target in "${targets[@]}"; do
  echo "== fuzz-$target for $seconds s"
  if ! scripts/fuzz-run.sh "build/fuzz/Fuzz/fuzz-$target" "$target" "$seconds" build/fuzz; then
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "findings in: ${failed[*]} (see build/fuzz/fuzz-artifacts/)" >&2
  exit 1
fi
echo "no findings"
