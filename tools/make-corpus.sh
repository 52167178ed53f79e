#!/usr/bin/env bash
# Builds the benchmark corpus from files every Debian machine has: four tar files picked by
# sorted path, so the same machine always gets the same bytes. Prints each file's sha256.
#   tools/make-corpus.sh [OUT_DIR]        (default build/corpus)
# Files already there are kept (delete the folder to rebuild).
#
#   text.tar        documentation and other text from /usr/share/doc and /usr/share (~24 MB)
#   source.tar      C and C++ headers from /usr/include (~24 MB)
#   binary.tar      shared libraries from /usr/lib (~32 MB)
#   compressed.tar  already-compressed files (.gz) from /usr/share (~10 MB or what there is)
# No pipefail: `take` stops reading early by design, which ends find and sort with SIGPIPE.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/corpus}
mkdir -p "$out"
export LC_ALL=C

# Takes NUL-separated paths on stdin in sorted order and keeps them until LIMIT bytes.
take() {
  local limit=$1 total=0 f size
  while IFS= read -r -d '' f; do
    [ -f "$f" ] && [ ! -L "$f" ] && [ -r "$f" ] || continue
    size=$(stat -c %s "$f")
    [ "$size" -gt 0 ] && [ "$size" -le 4000000 ] || continue
    printf '%s\0' "$f"
    total=$((total + size))
    [ "$total" -lt "$limit" ] || break
  done
}

pack() {
  local name=$1
  if [ -s "$out/$name.tar" ]; then cat >/dev/null; return; fi
  tar --null -T - --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
      --format=gnu -cf "$out/$name.tar" 2>/dev/null
}

find /usr/share/doc /usr/share/common-licenses /usr/share/perl* /usr/share/vim -type f \
     \( -name '*.txt' -o -name 'copyright' -o -name '*.html' -o -name 'README*' -o -name '*.pm' \
        -o -name '*.pod' -o -name '*.vim' -o -name 'changelog' -o -name 'NEWS*' \) \
     -print0 2>/dev/null | sort -z | take 24000000 | pack text
find /usr/include -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.hh' -o -name '*.tcc' \
     -o -name '*.def' \) -print0 2>/dev/null | sort -z | take 24000000 | pack source
find /usr/lib -type f -name '*.so*' -print0 2>/dev/null | sort -z | take 32000000 | pack binary
find /usr/share -type f -name '*.gz' -print0 2>/dev/null | sort -z | take 10000000 | pack compressed

for name in text source binary compressed; do
  printf '%s  %s  (%s bytes)\n' "$(sha256sum < "$out/$name.tar" | cut -d' ' -f1)" \
         "$name.tar" "$(stat -c %s "$out/$name.tar")"
done
