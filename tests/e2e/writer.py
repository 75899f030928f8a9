#!/usr/bin/env python3
"""Writes files of random sizes into a folder until stopped or failing. Before each file
its name and digest go to INTENDED; after its close() returned, its name goes to CLOSED.
Both logs are made durable line by line, so they survive a kill of anything else."""
import hashlib, os, random, sys

folder, prefix, intended_log, closed_log = sys.argv[1:5]
count = int(sys.argv[5]) if len(sys.argv) > 5 else 1000
rng = random.Random(os.getpid())


def log(path, line):
    with open(path, "a") as f:
        f.write(line + "\n")
        f.flush()
        os.fsync(f.fileno())


for n in range(count):
    name = f"{prefix}-{n}.bin"
    size = rng.choice([0, 1, 4096, 65536, 65537, rng.randrange(1, 3 << 20)])
    data = os.urandom(size)
    log(intended_log, f"{name} {hashlib.sha256(data).hexdigest()} {size}")
    try:
        fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view[: 1 << 20]):]
        os.close(fd)
    except OSError:
        sys.exit(0)
    log(closed_log, name)
