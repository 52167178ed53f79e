#!/usr/bin/env bash
# Peak resident memory and time of cat, open and diff on a 1 GiB version, and of every command
# that reads an archive on three forged delta bombs: one of 13 KB whose version claims
# 2 GiB, one that really expands to 1 GiB (a thousand copies of a 1 MiB base), and one of a
# quarter million four-byte copies that each cross a block boundary of a text base (600 KB,
# the archive's bulk) and so jump between two blocks. Our targets:
# cat/open/diff of 1 GiB under 64 MiB; every command on a bomb under 256 MiB and 30 s.
#   bench/stream-memory.sh [WORK_DIR]     (default build/stream-bench; `make bench-stream`)
# The viewer and diff tool are /bin/true, so what is measured is the restore, not a tool.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=$root/build/release/archive_cli/tresmo-cli
tool=$root/build/release/bench/tresmo_bench_tool
work=${1:-$root/build/stream-bench}
rm -rf "$work"
mkdir -p "$work/proj" "$work/cfg" "$work/tmp"
export TRESMO_CONFIG_DIR=$work/cfg TMPDIR=$work/tmp NO_COLOR=1

# label, memory target in MiB (- for none), then the command; stdout is thrown away.
measure() {
    local label=$1 target=$2 kb secs rc
    shift 2
    /usr/bin/time -f "%M %e" -o "$work/time" "$@" >/dev/null 2>"$work/err"
    rc=$?
    read -r kb secs < <(tail -n 1 "$work/time")
    local verdict="(target $target MiB, 30 s) ok"
    if [ "$target" = - ]; then
        verdict="(for reference)"
    elif [ $((kb / 1024)) -ge "$target" ] || [ "${secs%.*}" -ge 30 ]; then
        verdict="(target $target MiB, 30 s) OVER"
    fi
    printf '%-30s %6d MiB %7.2f s  exit %d  %s\n' "$label" $((kb / 1024)) "$secs" "$rc" "$verdict"
}

echo "making a 1 GiB file of numbered lines and saving it..."
seq -f "line %012.0f of a file one gigabyte long" 1 30000000 | head -c 1073741824 \
    > "$work/proj/big.txt"
"$cli" -q init "$work/proj" "$work/big.trsm"
measure "save 1 GiB" - "$cli" -q save "$work/big.trsm"
"$cli" -q tools add viewer /bin/true --ext txt,bin
"$cli" -q tools add diff /bin/true --ext txt,bin
measure "cat 1 GiB" 64 "$cli" -q cat "$work/big.trsm" big.txt
measure "open --at 1, 1 GiB" 64 "$cli" -q open "$work/big.trsm" big.txt --at 1
measure "diff, 1 GiB and working file" 64 "$cli" -q diff "$work/big.trsm" big.txt
rm -rf "$work/tmp"/* "$work/proj"

for bomb in "2048 1" "1024 1024" "1 262144 65535 4"; do
    read -r claimed copies range <<<"$bomb"
    a=$work/bomb-$claimed.trsm
    # shellcheck disable=SC2086
    "$tool" bomb "$a" "$claimed" "$copies" $range || exit 1
    what="of 1 MiB"
    [ -z "$range" ] || what="of 4 bytes across a block boundary of a text base"
    echo "delta bomb of $(stat -c %s "$a") bytes claiming $claimed MiB, $copies copies $what:"
    mkdir -p "$work/out-$claimed"
    for cmd in log ls "history bomb.bin" "cat bomb.bin" verify "open bomb.bin --at 1" \
               "diff bomb.bin" "export $work/out-$claimed"; do
        read -r -a args <<<"$cmd"
        measure "  ${args[0]}" 256 "$cli" -q "${args[0]}" "$a" "${args[@]:1}"
    done
    rm -rf "$work/tmp"/*
done
