#!/usr/bin/env bash
# Fails when an #include runs against the engine's layer order (archive/README.md): a layer
# includes only itself and the layers below it; the front ends include only the layers open to
# them. Tests, benchmarks and fuzz targets may include any layer.
set -euo pipefail
cd "$(dirname "$0")/.."

git grep -n -E '^#include ("archive/|<Q)' -- 'archive/*.h' 'archive/*.cpp' 'archive_cli/*.h' \
    'archive_cli/*.cpp' 'archive_gui/*.h' 'archive_gui/*.cpp' ':!archive_gui/tests' |
    awk -F: '
    BEGIN {
        n = split("os support codec storage delta tree objects scan ops", names, " ")
        for (i = 1; i <= n; i++) rank[names[i]] = i
        split("os support tree objects ops", open, " ")
        for (i in open) frontOpen[open[i]] = 1
        bad = 0
    }
    function report(why) {
        printf "%s:%s: %s (%s)\n", $1, $2, $3, why > "/dev/stderr"
        bad = 1
    }
    {
        split($1, from, "/")
        if ($3 ~ /^#include </) {
            if (from[1] == "archive") report("Qt stays out of the engine")
            next
        }
        inc = $3
        sub(/^#include "/, "", inc)
        split(inc, to, "/")
        if (!(to[2] in rank)) { report("not a layer folder"); next }
        if (from[1] == "archive") {
            if (!(from[2] in rank)) report("the engine lives in its layer folders")
            else if (rank[to[2]] > rank[from[2]]) report("a layer above its own")
        } else if (!(to[2] in frontOpen)) {
            report("a layer closed to the front ends")
        }
    }
    END {
        if (bad) print "check-layers: includes against the layer order (archive/README.md)" > "/dev/stderr"
        exit bad
    }'
