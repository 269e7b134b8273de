#!/usr/bin/env bash
# Usage: fuzz/run-fuzzers.sh BUILD_DIR SECONDS
# Makes the seed corpora if missing, then runs every fuzz target in BUILD_DIR/bin for SECONDS
# each. Fails on the first crash, leak, timeout or sanitizer report (libFuzzer's exit status);
# the crashing input is left in BUILD_DIR/fuzz-artifacts/.
set -euo pipefail
build=${1:?usage: run-fuzzers.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run-fuzzers.sh BUILD_DIR SECONDS}
here=$(cd "$(dirname "$0")" && pwd)
bin=$build/bin
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
if [ ! -d "$corpus/seeds-file" ] || [ ! -d "$corpus/seeds-frame" ]; then
  mkdir -p "$corpus/seeds-file" "$corpus/seeds-frame"
  "$bin/make_corpus" "$corpus/seeds-file" "$corpus/seeds-frame"
fi
status=0
found=0
for target in "$bin"/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  seeds=$corpus/seeds-file
  [ "$name" = fuzz_decode_frame ] && seeds=$corpus/seeds-frame
  [ "$name" = fuzz_process_frame ] && seeds=$corpus/seeds-frame
  work=$corpus/$name
  mkdir -p "$work"
  echo "== $name for ${seconds}s"
  if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
      "$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -max_len=65536 \
      -dict="$here/jpeg.dict" -artifact_prefix="$artifacts/$name-" -print_final_stats=1 \
      "$work" "$seeds" 2>&1 | tail -n 25; then
    status=1
  fi
done
[ $found = 1 ] || { echo "no fuzz targets in $bin"; exit 1; }
exit $status
