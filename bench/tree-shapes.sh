#!/usr/bin/env bash
# Forged archives of hostile tree shapes at full size, each command on them under
# /usr/bin/time: peak resident memory and wall time against the targets (256 MiB, 30 s).
#   bench/tree-shapes.sh [BUILD_DIR]   (default build/shapes, a release build made here)
# SHAPES="deep:1000" style overrides are not offered: the sizes are those the limits are for.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/shapes}
if [ $# -eq 0 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTRESMO_GUI=OFF >/dev/null &&
    cmake --build "$build" -j "$(nproc)" --target tresmo-cli tresmo_shape_forge >/dev/null || exit 1
fi
cli=$build/archive_cli/tresmo-cli
forge=$build/tresmo_shape_forge
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TRESMO_CONFIG_DIR=$work/conf
limit_kb=$((256 * 1024))
limit_s=30
status=0
printf "%-28s %-26s %10s %8s %s\n" shape command peak_KiB seconds verdict
# shape size command...: each command runs with the archive's path appended where ARCHIVE stands.
run_shape() {
  local shape=$1 n=$2
  shift 2
  local archive=$work/$shape.trsm
  rm -rf "$work/w" "$archive" "$work/$shape.sel"
  mkdir -p "$work/w" "$work/out"
  # A selection watching an empty folder, for status.
  "$cli" -q init "$work/w" "$archive" >/dev/null
  "$forge" "$shape" "$n" "$archive" || exit 1
  local size
  size=$(stat -c %s "$archive")
  for cmd in "$@"; do
    local args=${cmd//ARCHIVE/$archive}
    local out
    # shellcheck disable=SC2086
    /usr/bin/time -o "$work/time" -f '%M %e %x' "$cli" $args >/dev/null 2>&1
    read -r kb s rc < <(grep -v '^Command' "$work/time" | tail -1)
    local verdict=ok
    # Ended by a signal: time says so on a line of its own and gives no exit status.
    grep -q '^Command terminated by signal' "$work/time" && verdict=SIGNAL && status=1
    if [ "$kb" -gt "$limit_kb" ] || [ "$(echo "$s > $limit_s" | bc)" = 1 ]; then
      verdict="$verdict OVER"
      status=1
    fi
    printf "%-28s %-26s %10s %8s %s\n" "$shape $n ($((size / 1024)) KiB)" "$cmd" \
      "$kb" "$s" "exit $rc $verdict"
  done
}
run_shape root-file 1 "ls -r ARCHIVE" "export ARCHIVE $work/out" "verify ARCHIVE" "log ARCHIVE"
run_shape file-parent 1 "history ARCHIVE f --json" "verify ARCHIVE"
run_shape deep 100000 "ls -r ARCHIVE" "verify ARCHIVE" "status ARCHIVE"
run_shape deep 1000000 "log ARCHIVE" "verify ARCHIVE" "ls ARCHIVE"
run_shape deep-wide 30000 "verify ARCHIVE" "ls -r ARCHIVE"
run_shape deep 6000 "status ARCHIVE"
run_shape txns 1000000 "log ARCHIVE" "log --json ARCHIVE" "verify ARCHIVE"
run_shape wide 1000000 "ls -r --json ARCHIVE" "ls -r ARCHIVE" "verify ARCHIVE"
exit $status
