#!/usr/bin/env python3
"""Deterministic sample folders for the demo, benchmarks and manual tests.

    make-sample.py create DIR [--files N] [--seed S] [--mtime T]
        A new folder of about N files (default 300): prose and source-like text in nested
        folders, compressible and random binary data, a few empty files. Every byte and every
        modification time (T, Unix seconds) depends only on the arguments.

    make-sample.py edit DIR --step K [--seed S] [--mtime T]
        Edit step K of a history: changes lines in some text files, appends to others,
        patches a binary file in place, adds new files and a folder, and removes a few files.
        Every file it writes gets modification time T. The same step on the same folder state
        gives the same result, so two runs make byte-identical archives.
"""

import argparse
import os
import random
import sys

WORDS = (
    "archive version folder file change store delta block record time stamp tree node "
    "transaction export restore compare viewer refresh select commit replay storage item "
    "the a of to and in is that it for on with as by this be are from at or an which"
).split()


def prose(rng, lines):
    out = []
    for _ in range(lines):
        n = rng.randint(4, 14)
        words = [rng.choice(WORDS) for _ in range(n)]
        words[0] = words[0].capitalize()
        out.append(" ".join(words) + ".")
    return "\n".join(out) + "\n"


def source(rng, name, functions):
    out = [f"// {name}: generated sample source", "#include <cstdio>", ""]
    for i in range(functions):
        out.append(f"int {name}_f{i}(int x) {{")
        for j in range(rng.randint(2, 8)):
            out.append(f"    x = x * {rng.randint(2, 97)} + {rng.randint(0, 999)};  // step {j}")
        out.append("    return x;")
        out.append("}")
        out.append("")
    return "\n".join(out)


def binary(rng, size, compressible):
    if compressible:
        # Runs and repeated records: the kind of binary data that compresses well.
        rec = bytes(rng.randrange(256) for _ in range(64))
        data = bytearray()
        while len(data) < size:
            data += rec[: rng.randint(8, 64)] + bytes([rng.randrange(4)]) * rng.randint(1, 40)
        return bytes(data[:size])
    return rng.randbytes(size)


def write(path, data, mtime):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode) as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def create(root, files, seed, mtime):
    if os.path.exists(root):
        sys.exit(f"make-sample.py: {root} exists already")
    rng = random.Random(seed)
    made = 0
    modules = max(1, files // 40)
    for m in range(modules):
        for k in range(12):
            name = f"mod{m}_{k}"
            ext = ".cpp" if k % 3 else ".h"
            write(f"{root}/src/module{m}/{name}{ext}", source(rng, name, rng.randint(3, 30)), mtime)
            made += 1
    for d in range(max(1, files // 60)):
        for k in range(15):
            write(f"{root}/docs/part{d}/note{k:02d}.txt", prose(rng, rng.randint(5, 200)), mtime)
            made += 1
    data_files = 0
    while made < files - 3:
        compressible = data_files % 3 != 0
        size = rng.choice([700, 1500, 4096, 20000, 70000, 150000])
        ext = ".dat" if compressible else ".bin"
        write(f"{root}/data/set{data_files % 5}/blob{data_files:03d}{ext}",
              binary(rng, size, compressible), mtime)
        data_files += 1
        made += 1
    write(f"{root}/README.TXT", prose(rng, 20), mtime)
    write(f"{root}/empty.txt", "", mtime)
    write(f"{root}/data/empty.bin", b"", mtime)
    # Directories carry the same time, so nothing depends on when the script ran.
    for dirpath, _, _ in os.walk(root):
        os.utime(dirpath, (mtime, mtime))
    print(f"{root}: {made + 3} files")


def all_files(root):
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for f in sorted(filenames):
            out.append(os.path.join(dirpath, f))
    return out


def edit(root, step, seed, mtime):
    rng = random.Random(seed * 1000 + step)
    files = all_files(root)
    texts = [f for f in files if f.endswith((".txt", ".TXT", ".cpp", ".h")) and os.path.getsize(f)]
    blobs = [f for f in files if f.endswith(".dat") and os.path.getsize(f) > 4096]
    changed = removed = added = 0

    for path in rng.sample(texts, min(len(texts), 8)):
        with open(path) as f:
            lines = f.read().split("\n")
        if rng.random() < 0.5:
            i = rng.randrange(len(lines))
            lines[i] = f"Edited in step {step}: " + prose(rng, 1).strip()
        else:
            lines.append(prose(rng, rng.randint(1, 5)).rstrip("\n"))
        write(path, "\n".join(lines), mtime)
        changed += 1

    # One file changes in every step, so its history is long.
    readme = os.path.join(root, "README.TXT")
    if os.path.exists(readme):
        with open(readme) as f:
            text = f.read()
        write(readme, text + f"Step {step}: " + prose(rng, 1), mtime)
        changed += 1

    for path in rng.sample(blobs, min(len(blobs), 2)):
        with open(path, "rb") as f:
            data = bytearray(f.read())
        at = rng.randrange(len(data) - 64)
        data[at:at + 64] = rng.randbytes(64)
        write(path, bytes(data), mtime)
        changed += 1

    for path in rng.sample(files, min(len(files), 2)):
        if os.path.exists(path) and not path.endswith("README.TXT"):
            os.remove(path)
            removed += 1

    for k in range(3):
        write(f"{root}/docs/step{step}/new{k}.txt", prose(rng, rng.randint(3, 30)), mtime)
        added += 1
    for dirpath, _, _ in os.walk(root):
        os.utime(dirpath, (mtime, mtime))
    print(f"{root}: step {step}: {changed} changed, {added} added, {removed} removed")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("action", choices=["create", "edit"])
    p.add_argument("dir")
    p.add_argument("--files", type=int, default=300)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--mtime", type=int, default=1764000000)
    p.add_argument("--step", type=int, default=1)
    a = p.parse_args()
    if a.action == "create":
        create(a.dir, a.files, a.seed, a.mtime)
    else:
        edit(a.dir, a.step, a.seed, a.mtime)


if __name__ == "__main__":
    main()
