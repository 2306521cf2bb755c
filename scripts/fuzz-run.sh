#!/usr/bin/env bash
# Runs one fuzz target for a while on its committed seeds:
#   scripts/fuzz-run.sh FUZZER NAME SECONDS BUILD_DIR [libFuzzer options...]
# New inputs go to BUILD_DIR/fuzz-corpus/NAME (kept between runs, never
# into the committed Fuzz/corpus/NAME), crashes, leaks and time-outs to
# BUILD_DIR/fuzz-artifacts/NAME/. Prints libFuzzer's last status line and
# exits with its status: non-zero when the target found something.
set -euo pipefail
if [ $# -lt 4 ]; then
  echo "usage: $0 FUZZER NAME SECONDS BUILD_DIR [libFuzzer options...]" >&2
  exit 2
fi
fuzzer=$1 name=$2 seconds=$3 build=$4
shift 4
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$build/fuzz-corpus/$name"
artifacts="$build/fuzz-artifacts/$name"
mkdir -p "$work" "$artifacts"
# The image targets describe images by recipes (Fuzz/Harness/ImageRecipe.h),
# so their inputs stay short; a signature of 17 blocks is 545 bytes.
dict=(-dict="$root/Fuzz/dict/image.dict")
case "$name" in
  image|update) max_len=4096 ;;
  capsule-hobs) max_len=8192 ;;
  signature) max_len=1024 dict=() ;;
  *) max_len=4096 dict=() ;;
esac
log="$artifacts/last-run.log"
# Stack traces with file and line when a symbolizer is installed.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ]; then
  for symbolizer in llvm-symbolizer-19 /usr/lib/llvm-19/bin/llvm-symbolizer llvm-symbolizer; do
    if command -v "$symbolizer" >/dev/null; then
      export ASAN_SYMBOLIZER_PATH="$(command -v "$symbolizer")"
      break
    fi
  done
fi
status=0
# One input may take a while (a whole update on the simulator), but never
# a minute.
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}" \
"$fuzzer" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -max_len=$max_len \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" "$@" \
  "$work" "$root/Fuzz/corpus/$name" >"$log" 2>&1 || status=$?
grep -E '^(#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log" | tail -6
# The run's final statistics, for `camfw figures` (build/*/fuzz/*.stats).
mkdir -p "$build/fuzz"
grep -E '^stat::' "$log" >"$build/fuzz/$name.stats" || true
if [ $status -ne 0 ]; then
  echo "== $name: libFuzzer exited with $status; the end of its log ($log):" >&2
  tail -60 "$log" >&2
fi
exit $status
