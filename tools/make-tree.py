#!/usr/bin/env python3
"""Builds the deterministic folders the main-operation benchmark works on.

  make-tree.py DIR            DIR/small: 100,000 small files (text and binary, 0 B to 24 KiB)
                              in nested folders; DIR/large: three files of 20, 35 and 50 MB
  make-tree.py DIR --change   edits 1% of the small files and makes a few local edits in each
                              large file, all with a later modification time (--time T
                              sets it; default 1650000000)

Every byte and every modification time follows from the seed, so two machines measure the
same work. Options: --files N (number of small files, for quick trials), --seed S.
"""
import argparse
import os
import random
import sys

BASE_TIME = 1600000000  # modification times of the first state: BASE_TIME + file index
CHANGE_TIME = 1650000000  # all edits of the change step

WORDS = (
    "the of and to in is for on that with as by this from are be at or an it not which file "
    "folder version archive change save restore delta block record value index buffer count "
    "size time name path node tree read write open close error message return static const "
    "int char void struct class public private include define if else while for switch case"
).split()


def text(rnd, n):
    """Text of about n bytes: words, spaces and line ends, compressible as source code is."""
    if n <= 0:
        return b""
    words = rnd.choices(WORDS, k=n // 5 + 2)
    out = []
    for i, w in enumerate(words):
        out.append(w)
        out.append("\n" if i % 11 == 10 else " ")
    return "".join(out).encode()[:n]


def binary(rnd, n):
    """Binary of n bytes: random runs mixed with zero runs and repeated records."""
    parts = []
    left = n
    while left > 0:
        k = min(left, rnd.randint(64, 4096))
        kind = rnd.random()
        if kind < 0.5:
            parts.append(rnd.randbytes(k))
        elif kind < 0.7:
            parts.append(bytes(k))
        else:
            rec = rnd.randbytes(rnd.randint(8, 64))
            parts.append((rec * (k // len(rec) + 1))[:k])
        left -= k
    return b"".join(parts)


def small_size(rnd):
    r = rnd.random()
    if r < 0.02:
        return 0
    if r < 0.70:
        return rnd.randint(64, 2048)
    if r < 0.92:
        return rnd.randint(2048, 8192)
    return rnd.randint(8192, 24576)


def is_text(i):
    return i % 4 != 3  # three files in four are text


def small_path(i):
    # 10 x 10 x 10 leaf folders of about 90 files each, and one file in ten one level up.
    a, b, c = i % 10, (i // 10) % 10, (i // 100) % 10
    name = "f%06d%s" % (i, ".txt" if is_text(i) else ".bin")
    if i % 10 == 9:
        return os.path.join("small", "d%d" % a, "e%d" % b, name)
    return os.path.join("small", "d%d" % a, "e%d" % b, "g%d" % c, name)


def small_files(count, seed):
    """Yields (relative path, bytes, mtime) of every small file, in index order."""
    rnd = random.Random(seed)
    for i in range(count):
        n = small_size(rnd)
        yield small_path(i), text(rnd, n) if is_text(i) else binary(rnd, n), BASE_TIME + i


LARGE = (("large/log.txt", 20_000_000, "text"), ("large/image.bin", 35_000_000, "binary"),
         ("large/mixed.dat", 50_000_000, "mixed"))


def large_data(rnd, n, kind):
    if kind == "text":
        return text(rnd, n)
    if kind == "binary":
        return binary(rnd, n)
    chunks = []
    size = 0
    while size < n:
        c = text(rnd, 65536) if rnd.random() < 0.5 else binary(rnd, 65536)
        chunks.append(c)
        size += len(c)
    return b"".join(chunks)[:n]


def write(root, rel, data, mtime):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def set_folder_times(root, mtime):
    for dirpath, _, _ in os.walk(root):
        os.utime(dirpath, (mtime, mtime))


def build(root, count, seed):
    for rel, data, mtime in small_files(count, seed):
        write(root, rel, data, mtime)
    rnd = random.Random(seed + 1)
    for i, (rel, n, kind) in enumerate(LARGE):
        write(root, rel, large_data(rnd, n, kind), BASE_TIME + count + i)
    set_folder_times(root, BASE_TIME)


def change(root, count, seed, mtime=CHANGE_TIME):
    rnd = random.Random(seed + 2)
    picked = sorted(rnd.sample(range(count), max(1, count // 100)))
    for i in picked:
        rel = small_path(i)
        with open(os.path.join(root, rel), "rb") as f:
            data = bytearray(f.read())
        kind = rnd.random()
        pos = rnd.randint(0, len(data))
        if kind < 0.4:
            data[pos:pos] = text(rnd, rnd.randint(1, 200))  # insertion
        elif kind < 0.7:
            data += text(rnd, rnd.randint(1, 500))  # append
        elif kind < 0.9:
            data[pos:pos + 100] = text(rnd, 100)  # overwrite a piece
        else:
            data = bytearray(text(rnd, len(data)))  # full rewrite
        write(root, rel, bytes(data), mtime)
    # A few local edits in each large file: what a delta should capture cheaply.
    for rel, _, _ in LARGE:
        path = os.path.join(root, rel)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        for _ in range(5):
            pos = rnd.randint(0, len(data))
            data[pos:pos + 1000] = text(rnd, 1200)
        write(root, rel, bytes(data), mtime)
    set_folder_times(root, BASE_TIME)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("dir")
    p.add_argument("--change", action="store_true")
    p.add_argument("--files", type=int, default=100_000)
    p.add_argument("--seed", type=int, default=17)
    p.add_argument("--time", type=int, default=CHANGE_TIME)
    args = p.parse_args()
    if args.change:
        change(args.dir, args.files, args.seed, args.time)
    else:
        if os.path.exists(args.dir) and os.listdir(args.dir):
            sys.exit("make-tree.py: %s is not empty" % args.dir)
        build(args.dir, args.files, args.seed)


if __name__ == "__main__":
    main()
