#!/usr/bin/env bash
# Runs every libFuzzer binary in a folder for a bounded time each, starting from its seed corpus.
#   tools/run-fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
dir=$1
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for bin in "$dir"/*_fuzz; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  work=$(mktemp -d)
  seeds="$root/fuzz/corpus/$name"
  mkdir -p "$seeds"
  echo "== $name: ${seconds}s"
  # A crash reproducer lands in the seed corpus, so the CTest replay keeps it as a regression
  # test once the fault is fixed.
  # The sanitizer's quarantine of freed memory is capped, so that the memory limit measures
  # what a target holds rather than what the sanitizer keeps back.
  if ! ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16" \
       "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=256 -print_final_stats=1 \
       -artifact_prefix="$seeds/" "$work" "$seeds" 2>"$work.log"; then
    status=1
    tail -40 "$work.log"
  else
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$work.log" | tr '\n' ' '; echo
  fi
  rm -rf "$work" "$work.log"
done
exit $status
