#!/usr/bin/env python3
"""Writes version N of the demo client into a folder: a few hundred files in nested folders,
some of them large, and the start script. Later versions change, add and drop some files, so
an update has something of every kind to do. The content depends only on N."""
import os
import random
import sys


def write(root, path, data):
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data)


def main():
    root, version = sys.argv[1], int(sys.argv[2])
    os.makedirs(root, exist_ok=True)
    for i in range(320):
        # Files 0-39 are dropped in version 3, 280-319 only appear from version 2 on.
        if (version >= 3 and i < 40) or (version < 2 and i >= 280):
            continue
        # Every fifth file changes in each version; the rest stay as they were.
        edition = version if i % 5 == version % 5 else 1
        rnd = random.Random(i * 1000 + edition)
        folder = f"share/set{i % 8}/part{i % 3}" if i % 4 else f"lib/plugins/group{i % 6}"
        if i % 2:
            words = [rnd.choice(["alpha", "beta", "gamma", "delta", "quorvel", "client", "update"]) for _ in range(2000)]
            write(root, f"{folder}/text {i}.txt", " ".join(words).encode() + b"\n")
        else:
            write(root, f"{folder}/data{i}.bin", rnd.randbytes(rnd.randint(1000, 200000)))
    for n, size in enumerate((24, 16, 8)):
        # The last large file changes with each version.
        seed = 900 + n + (version if n == 2 else 0)
        write(root, f"assets/pack{n}.dat", random.Random(seed).randbytes(size * 1024 * 1024))
    write(root, "bin/quorvel3", f"#!/bin/sh\necho 'Quorvel 3 demo client, version {version}'\n".encode())
    write(root, "qv3client_runscript.sh",
          b'#!/bin/sh\ncd "$(dirname "$0")" && sh bin/quorvel3 > "${QUORVEL_DEMO_CLIENT_LOG:-/dev/null}"\n')
    for script in ("bin/quorvel3", "qv3client_runscript.sh"):
        os.chmod(os.path.join(root, script), 0o755)


if __name__ == "__main__":
    main()
