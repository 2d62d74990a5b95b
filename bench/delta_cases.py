#!/usr/bin/env python3
"""Writes the two client versions of one delta-update benchmark case.

usage: delta_cases.py CASE V1_FOLDER V2_FOLDER [SCALE]

Cases (sizes for SCALE 1; SCALE divides the large files, for quick runs):
  overwrite  1 MiB overwritten in the middle of a 1 GiB file
  insert     1 MiB inserted 1 MiB from the start of a 1 GiB file (the rest shifts)
  scattered  16 edits of 4 KiB spread over a 1 GiB file
  tree       200 files of about 640 KiB in 10 folders; 20 moved unchanged, 5 edited (16 KiB each)
  shared     two 64 MiB files that share a 32 MiB range; v2 adds a file of that range + 1 MiB
  new100     v2 adds a new 100 MiB file
Every version also holds the game executable bin/64/Kaldren.exe. The bytes are
pseudo-random (seeded, so every run measures the same data) and do not compress.
Prints the bytes that changed between the versions.
"""
import os
import random
import shutil
import sys

MIB = 1 << 20


def rand(rng, size):
    return rng.randbytes(size)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def big_file(path, size, rng):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            step = min(left, 64 * MIB)
            f.write(rand(rng, step))
            left -= step


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def insert(source, target, offset, data):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(source, "rb") as src, open(target, "wb") as dst:
        dst.write(src.read(offset))
        dst.write(data)
        shutil.copyfileobj(src, dst, 64 * MIB)


def main():
    case, v1, v2 = sys.argv[1:4]
    scale = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    rng = random.Random(case)
    for folder in (v1, v2):
        shutil.rmtree(folder, ignore_errors=True)
        write(os.path.join(folder, "bin/64/Kaldren.exe"), b"the game executable\n" * 1000)
    gib = 1024 * MIB // scale
    archive = "data/archive.pak"
    changed = 0
    if case in ("overwrite", "insert", "scattered"):
        big_file(os.path.join(v1, archive), gib, rng)
        if case == "insert":
            changed = MIB
            insert(os.path.join(v1, archive), os.path.join(v2, archive), MIB, rand(rng, MIB))
        else:
            os.makedirs(os.path.join(v2, "data"), exist_ok=True)
            shutil.copyfile(os.path.join(v1, archive), os.path.join(v2, archive))
            edits = [(gib // 2, MIB)] if case == "overwrite" else [
                (i * (gib // 16) + rng.randrange(gib // 16 - 4096), 4096) for i in range(16)]
            for offset, size in edits:
                patch(os.path.join(v2, archive), offset, rand(rng, size))
                changed += size
    elif case == "tree":
        files = {}
        for i in range(200):
            files["data/folder%02d/file%03d.bin" % (i % 10, i)] = rand(rng, 320 * 1024 + rng.randrange(640 * 1024))
        for path, data in files.items():
            write(os.path.join(v1, path), data)
        names = sorted(files)
        moved = names[0:20]
        edited = names[100:105]
        for path in names:
            data = files[path]
            target = path
            if path in moved:
                target = path.replace("data/", "data/moved/")
            if path in edited:
                at = rng.randrange(len(data) - 16384)
                data = data[:at] + rand(rng, 16384) + data[at + 16384:]
                changed += 16384
            write(os.path.join(v2, target), data)
    elif case == "shared":
        common = rand(rng, 32 * MIB // scale)
        a = rand(rng, 32 * MIB // scale) + common
        b = common + rand(rng, 32 * MIB // scale)
        for folder in (v1, v2):
            write(os.path.join(folder, "data/a.pak"), a)
            write(os.path.join(folder, "data/b.pak"), b)
        tail = rand(rng, MIB // scale)
        write(os.path.join(v2, "data/c.pak"), common + tail)
        changed = len(tail)
    elif case == "new100":
        write(os.path.join(v1, "data/small.dat"), rand(rng, 100000))
        shutil.copytree(v1, v2, dirs_exist_ok=True)
        big_file(os.path.join(v2, "data/new.pak"), 100 * MIB // scale, rng)
        changed = 100 * MIB // scale
    else:
        sys.exit("unknown case " + case)
    print(changed)


if __name__ == "__main__":
    main()
