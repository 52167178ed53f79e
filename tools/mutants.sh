#!/usr/bin/env bash
# Applies each deliberate fault in tools/mutants/ in turn to a copy of the working tree, builds
# `dev`, runs the fault's tests and reports the faults the suite failed to catch. Not part of
# `make test`: run it after changing tests, and add a fault whenever a test file is folded away.
#
#   tools/mutants.sh [name-pattern ...]     (default: every fault; MUTANT_TIMEOUT seconds per fault)
#
# A fault is a patch against the tree (made with git diff) with a preamble that patch skips:
#   # Fault: what is broken
#   # Tests: a ctest -R regular expression of the tests that must catch it
# It is caught when a selected test fails, crashes or runs out of time; a fault that does not
# apply or does not build is reported apart, as the patch then needs mending, not the suite.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$top/build/mutants
src=$work/src
limit=${MUTANT_TIMEOUT:-300}
jobs=${JOBS:-$(nproc)}

patches=()
if [ $# -eq 0 ]; then
    patches=(tools/mutants/*.patch)
else
    for p in "$@"; do patches+=(tools/mutants/*"$p"*.patch); done
fi

# The copy holds the working tree's tracked files as they are now, edits included. Only files
# whose bytes differ from the copy's are replaced, and they get a fresh time, so the build
# beside it rebuilds exactly those: a kept time older than the last build would hide an edit,
# and a fault left applied by a run cut short differs from the tree, so it is replaced too.
next=$work/next
rm -rf "$next"
mkdir -p "$next" "$src"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$next"
(cd "$next" && find . -type f -print0) | while IFS= read -r -d '' f; do
    cmp -s "$next/$f" "$src/$f" || { mkdir -p "$(dirname "$src/$f")" && cp "$next/$f" "$src/$f"; }
done
(cd "$src" && find . -type f -print0) | while IFS= read -r -d '' f; do
    [ -e "$next/$f" ] || rm -f "$src/$f"
done
rm -rf "$next"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug > "$work/configure.log" 2>&1 || {
    echo "mutants: configure failed, see $work/configure.log" >&2
    exit 2
}
build() { cmake --build "$work/build" -j "$jobs" > "$work/build.log" 2>&1; }
build || { echo "mutants: the unchanged tree does not build, see $work/build.log" >&2; exit 2; }

missed=()
broken=()
for p in "${patches[@]}"; do
    [ -f "$p" ] || continue
    name=$(basename "$p" .patch)
    tests=$(sed -n 's/^# Tests: //p' "$p" | head -n 1)
    if ! patch -d "$src" -p1 -s -N --dry-run < "$p" > "$work/$name.apply.log" 2>&1 \
        || ! patch -d "$src" -p1 -s -N < "$p" > /dev/null; then
        echo "$name: does not apply"
        broken+=("$name")
        continue
    fi
    start=$SECONDS
    if ! build; then
        echo "$name: does not build"
        broken+=("$name")
    elif timeout "$limit" ctest --test-dir "$work/build" -R "${tests:-.}" -j "$jobs" \
        --stop-on-failure --timeout "$limit" > "$work/$name.test.log" 2>&1; then
        if grep -q 'No tests were found' "$work/$name.test.log"; then
            echo "$name: its Tests line selects no test"
            broken+=("$name")
        else
            echo "$name: MISSED ($((SECONDS - start)) s)"
            missed+=("$name")
        fi
    else
        echo "$name: caught ($((SECONDS - start)) s)"
    fi
    patch -d "$src" -p1 -s -R < "$p"
done
build

echo "${#patches[@]} faults: ${#missed[@]} missed, ${#broken[@]} broken"
[ ${#missed[@]} -eq 0 ] || echo "missed: ${missed[*]}"
[ ${#broken[@]} -eq 0 ] || echo "broken: ${broken[*]}"
[ ${#missed[@]} -eq 0 ] && [ ${#broken[@]} -eq 0 ]
