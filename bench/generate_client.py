#!/usr/bin/env python3
"""Writes a deterministic game-client-like folder for benchmarks.

usage: generate_client.py FOLDER TOTAL_MIB FILE_COUNT [SEED]

A third of the files hold incompressible bytes, a third text-like bytes that zstd
shrinks by about a quarter, a third highly repetitive data. Sizes are mixed: most
files are small, a few large ones carry much of the volume, as in a real client.
The bytes come from a seeded generator, so the same arguments give the same client.
"""
import os
import random
import sys


def main():
    folder, total_mib, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    rng = random.Random(seed)
    total = total_mib << 20
    # A few large files take 40% of the bytes; the rest spread over many small ones.
    large = max(1, count // 500)
    sizes = [int(total * 0.4 / large)] * large
    rest = total - sum(sizes)
    weights = [rng.lognormvariate(0, 1.2) for _ in range(count - large)]
    scale = rest / sum(weights)
    sizes += [max(1, int(w * scale)) for w in weights]
    data_rng = random.Random(seed * 7919)
    words = [bytes(data_rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(data_rng.randint(2, 9))) for _ in range(4000)]
    pattern = data_rng.randbytes(4096)
    os.makedirs(folder, exist_ok=True)
    written = 0
    for index, size in enumerate(sizes):
        kind = index % 3
        name = "bin/64/Kaldren.exe" if index == 0 else os.path.join("data", "pack%02d" % (index % 40), "file%05d.%s" % (index, ("bin", "txt", "dat")[kind]))
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            left = size
            while left > 0:
                n = min(left, 1 << 20)
                if kind == 0:
                    chunk = data_rng.randbytes(n)
                elif kind == 1:
                    chunk = b" ".join(data_rng.choices(words, k=n // 5 + 1))[:n]
                else:
                    chunk = (pattern * (n // 4096 + 1))[:n]
                f.write(chunk)
                left -= n
        written += size
    print("generated %d files, %d bytes in %s" % (len(sizes), written, folder))


if __name__ == "__main__":
    main()
