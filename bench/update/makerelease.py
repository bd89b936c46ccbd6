#!/usr/bin/env python3
"""Writes the two versions of one benchmark release.

    makerelease.py A|B OUT

OUT/www/<version>/files/<key> is the mirror tree (unchanged files of version 2 are hard
links to version 1), OUT/install1 an installation of version 1, and per version
OUT/<version>.served (md5, key: the files as downloaded), OUT/<version>.installed (md5,
installed path), OUT/<version>.gz (key TAB installed path of the gzip entries) and
OUT/<version>.ini, the product ini (signed by the caller). Version 2 changes every tenth file.

A: 400 files, about 1 GiB: four of 128 MiB, the rest 1 KiB to 2 MiB, in 45 directories
(some nested), every fourth gzip-compressed (text-like content, so unpacking does real work).
B: 20,000 files of 1 to 8 KiB in 200 directories, all plain.
"""
import gzip
import hashlib
import os
import random
import sys

MIB = 1 << 20


def layout(kind, rng):
    """(installed path, size, gzip) for every file."""
    files = []
    if kind == "A":
        dirs = []
        for d in range(45):
            dirs.append(f"pkg{d // 3:02d}/part{d % 3}" if d % 3 else f"pkg{d // 3:02d}")
        for i in range(400):
            if i < 4:
                size = 128 * MIB
            else:
                # Skewed towards the top so the total comes near 1 GiB.
                size = 1024 + int((2 * MIB - 1024) * rng.random() ** 0.5)
            files.append((f"{dirs[i % 45]}/file{i:03d}.bin", size, i % 4 == 3))
    else:
        count = int(os.environ.get("B_FILES", "20000"))
        for i in range(count):
            files.append((f"dir{i % max(1, count // 100):03d}/f{i:05d}.dat", rng.randint(1024, 8192), False))
    return files


def content(size, gz, rng):
    if gz:
        # Hex text compresses to about half, like program data does.
        return rng.randbytes((size + 1) // 2).hex().encode()[:size]
    return rng.randbytes(size)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    kind, out = sys.argv[1], sys.argv[2]
    rng = random.Random(13 if kind == "A" else 14)
    files = layout(kind, rng)
    for version in (1, 2):
        served, installed, gzlist, ini = [], [], [], ["[files]"]
        for i, (path, size, gz) in enumerate(files):
            key = path + ".gz" if gz else path
            mirror = f"{out}/www/{version}/files/{key}"
            if version == 2 and i % 10 != 5:
                os.makedirs(os.path.dirname(mirror), exist_ok=True)
                os.link(f"{out}/www/1/files/{key}", mirror)
                data = None
                md5, plain_md5, packed_size = prev[i]
            else:
                data = content(size, gz, rng)
                plain_md5 = hashlib.md5(data).hexdigest()
                packed = gzip.compress(data, 6, mtime=0) if gz else data
                md5, packed_size = hashlib.md5(packed).hexdigest(), len(packed)
                write(mirror, packed)
                if version == 1:
                    write(f"{out}/install1/{path}", data)
            if version == 1:
                prev.append((md5, plain_md5, packed_size))
            served.append(f"{md5}  {key}\n")
            installed.append(f"{plain_md5}  {path}\n")
            if gz:
                gzlist.append(f"{key}\t{path}\n")
                ini.append(f"{key}={md5}::{packed_size}::{plain_md5}::{size}::{path}")
            else:
                ini.append(f"{key}={md5}::{size}")
        for suffix, lines in (("served", served), ("installed", installed), ("gz", gzlist)):
            with open(f"{out}/{version}.{suffix}", "w") as f:
                f.writelines(lines)
        with open(f"{out}/{version}.ini", "w") as f:
            f.write("\n".join(ini) + "\n")


prev = []
main()
