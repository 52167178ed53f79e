#!/usr/bin/env bash
# The main job on a sample folder, as `make demo` shows it: installs what is missing, builds
# tresmo-cli in release mode, generates a deterministic sample folder and runs init, save,
# edits with fixed times and saves with --time, log, ls with a filter, history, cat, export
# and verify, printing each command before its output; then, when a display is available,
# opens the desktop program on the archive.
#
# Everything happens under build/demo-run; the user's settings are not touched (the tool
# lists and settings of the run live there too). With the fixed times the archive is the
# same byte for byte on every run and every machine; its SHA-256 is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset cli >/dev/null
cmake --build --preset cli -j "${JOBS:-2}" --target tresmo-cli >/dev/null
cli="$PWD/build/cli/archive_cli/tresmo-cli"

run_dir="$PWD/build/demo-run"
rm -rf "$run_dir"
mkdir -p "$run_dir/config"
export TRESMO_CONFIG_DIR="$run_dir/config"
export TZ="${TZ:-UTC}"
cd "$run_dir"

# Fixed times: the sample's files, then one edit step a day, each saved an hour later.
t_files=1764000000   # 2025-11-24 16:00 UTC
day=86400
hour=3600

bold="" plain=""
if [ -t 1 ] && [ -z "${NO_COLOR:-}" ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
show() {
  printf '\n%s$ %s%s\n' "$bold" "$*" "$plain"
  "$@"
}
tresmo-cli() { "$cli" "$@"; }

show python3 ../../tools/make-sample.py create project --mtime $t_files
show tresmo-cli init project --exclude-types tmp
show tresmo-cli save project.trsm --time $((t_files + hour))
for step in 1 2 3; do
  edit_time=$((t_files + step * day))
  show python3 ../../tools/make-sample.py edit project --step $step --mtime $edit_time
  if [ $step -eq 3 ]; then
    # The archive keeps permission bits and symbolic links too (the link gets a fixed time).
    show chmod 700 project/docs
    show ln -s README.TXT project/LATEST.TXT
    touch -h -d @$edit_time project/LATEST.TXT
    show tresmo-cli status project.trsm
  fi
  show tresmo-cli save project.trsm --time $((edit_time + hour))
done
show tresmo-cli save project.trsm
show tresmo-cli log project.trsm
show tresmo-cli ls project.trsm --range 3..4 -r
show tresmo-cli ls project.trsm docs/part1 --at 1
file=README.TXT
show tresmo-cli history project.trsm $file
show tresmo-cli diff project.trsm $file --range 2..4 --unified
# Inside the watched folder the archive is found by itself and paths start at the folder one is in.
cd project/src
show tresmo-cli log module0 -n 2
cd ../..
printf '\n%s$ %s%s\n' "$bold" "tresmo-cli cat project.trsm $file --at 1 | head -5" "$plain"
"$cli" cat project.trsm $file --at 1 | head -5
mkdir -p exported
show tresmo-cli export project.trsm exported --at 2
show tresmo-cli export project.trsm exported || echo "(refused: exit status $?)"
show tresmo-cli export project.trsm exported --force
show diff -r --no-dereference project exported/project
echo "(no output: the export of the newest transaction equals the folder)"
show tresmo-cli verify project.trsm
show sha256sum project.trsm

# With a display, the desktop program opens on the same archive (the run's own settings).
if [ -n "${DISPLAY:-}" ]; then
  cd ../..
  cmake --preset dev >/dev/null
  cmake --build --preset dev -j "${JOBS:-2}" --target tresmo >/dev/null
  printf '\n%s$ tresmo project.trsm%s\n' "$bold" "$plain"
  build/dev/archive_gui/tresmo "$run_dir/project.trsm"
fi
