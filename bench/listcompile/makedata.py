# Makes an up-to-date installation and its product ini: makedata.py <dir> <count> <min bytes> <max bytes>
import hashlib, os, random, sys

root, count, lo, hi = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
install, work = os.path.join(root, "install"), os.path.join(root, "work")
os.makedirs(work, exist_ok=True)
rng = random.Random(1)
lines = ["[files]"]
for i in range(count):
    rel = "d%02d/f%05d.bin" % (i % 50, i)
    size = rng.randint(lo, hi)
    data = os.urandom(size)
    path = os.path.join(install, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    lines.append("%s=%s::%d" % (rel, hashlib.md5(data).hexdigest(), size))
with open(os.path.join(work, "client.ini"), "w") as f:
    f.write("\n".join(lines) + "\n")
