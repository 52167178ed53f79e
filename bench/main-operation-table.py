#!/usr/bin/env python3
"""Prints the table of bench/main-operation.sh from its results folder (hyperfine JSON files,
/usr/bin/time -v output): medians of wall time, mean CPU time, MB/s, the ratio against each
peer, peak RSS and the target where there is one.

  main-operation-table.py RESULTS TREE FILES
"""
import json
import os
import sys

out, tree, files = sys.argv[1], sys.argv[2], int(sys.argv[3])
MB = 1e6


def res(i):
    """(median wall s, mean cpu s) of one measurement, or None when it did not run."""
    try:
        r = json.load(open(os.path.join(out, i + ".json")))["results"][0]
    except (OSError, ValueError, KeyError, IndexError):
        return None
    return r["median"], r["user"] + r["system"]


def run_text(i):
    try:
        return open(os.path.join(out, i + ".time")).read()
    except OSError:
        return ""


def rss(i):  # MiB
    for line in run_text(i).splitlines():
        if "Maximum resident" in line:
            return int(line.split(":")[1]) / 1024
    return None


def size(part):  # bytes of the part's files now (the newest state)
    total = 0
    for d, _, fs in os.walk(os.path.join(tree, part)):
        total += sum(os.path.getsize(os.path.join(d, f)) for f in fs)
    return total


def first_bytes(part):  # what the first save read, from its reported statistics
    text = run_text("save-first-" + part)
    if " bytes read" not in text:
        return size(part)
    return int(text.split(" bytes read")[0].split(", ")[-1])


rows = []


def row(what, i, peer=None, mb=None, target=None):
    """One line; target is (text, 'ratio' or 'mbps', limit) and is judged on wall and cpu."""
    r = res(i)
    if r is None:
        rows.append("| %-36s | not measured |" % what)
        return
    w, c = r
    cells = [what, "%.3f" % w, "%.3f" % c]
    cells += ["%.1f" % (mb / w), "%.1f" % (mb / c)] if mb else ["", ""]
    p = res(peer) if peer else None
    cells += [peer, "%.2f" % (w / p[0]), "%.2f" % (c / p[1])] if p else [peer or "", "", ""]
    m = rss(i)
    cells.append("%.0f" % m if m else "")
    if target:
        text, kind, limit = target
        if kind == "ratio" and p:
            verdict = "/".join("met" if v <= limit else "missed" for v in (w / p[0], c / p[1]))
        elif kind == "mbps" and mb:
            verdict = "/".join("met" if mb / v >= limit else "missed" for v in (w, c))
        else:
            verdict = "?"
        cells.append("%s (wall/cpu: %s)" % (text, verdict))
    else:
        cells.append("")
    rows.append("| " + " | ".join(cells) + " |")


sb, lb = first_bytes("small") / MB, first_bytes("large") / MB
sn, ln = size("small") / MB, size("large") / MB
print()
print("small tree: %d files, %.1f MB (%.1f MB after the change); large tree: 3 files, %.1f MB "
      "(%.1f MB after the change)" % (files, sb, sn, lb, ln))
print("| operation | wall s | cpu s | MB/s wall | MB/s cpu | peer | x peer wall | x peer cpu "
      "| RSS MiB | target |")
print("|" + "---|" * 10)
for part, mb in (("small", sb), ("large", lb)):
    row("first save, %s" % part, "save-first-" + part, "git-first-" + part, mb,
        ("<= 1.0x git add+commit", "ratio", 1.0))
    row("first save, %s" % part, "save-first-" + part, "tar-zstd-" + part, mb)
    row("  tar + zstd -3, %s" % part, "tar-zstd-" + part, None, mb)
    row("  git add -A && commit, %s" % part, "git-first-" + part, None, mb)
row("refresh, nothing changed, small", "refresh-small", "find-small", None,
    ("<= 1.5x find", "ratio", 1.5))
row("refresh, nothing changed, small", "refresh-small", "git-status-small")
row("  find -printf", "find-small")
row("  git status", "git-status-small")
for part in ("small", "large"):
    row("save of the change, %s" % part, "save-change-" + part, "git-change-" + part)
    row("  same without syncs", "save-change-%s-nosync" % part, "save-change-" + part)
    row("  git add -A && commit of it", "git-change-" + part)
for part, newest, oldest in (("small", sn, sb), ("large", ln, lb)):
    for which, mb in (("newest", newest), ("oldest", oldest)):
        target = (">= 100 MB/s", "mbps", 100.0) if part == "large" else None
        row("restore %s, %s" % (which, part), "restore-%s-%s" % (which, part),
            "untar-zstd-" + part, mb, target)
    row("  zstd -d + tar -x, %s" % part, "untar-zstd-" + part, None, oldest)
for r in rows:
    print(r)
print()
for part in ("small", "large"):
    for kind in ("first", "change"):
        lines = [l for l in run_text("save-%s-%s" % (kind, part)).splitlines()
                 if l.startswith(("syncs:", "saved"))]
        print("%s save, %s: %s" % (kind, part, "; ".join(lines) or "not measured"))
