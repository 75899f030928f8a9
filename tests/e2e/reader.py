#!/usr/bin/env python3
"""Reads a file whole in 1 MiB reads and prints one line: "ok BYTES SHA256 SECONDS" or
"error ERRNO-NAME BYTES SECONDS" for the first failing read. A short file counts as ok: the
caller compares the digest."""
import errno, hashlib, os, sys, time

started = time.monotonic()
digest, got = hashlib.sha256(), 0
try:
    fd = os.open(sys.argv[1], os.O_RDONLY)
    while True:
        piece = os.read(fd, 1 << 20)
        if not piece:
            break
        digest.update(piece)
        got += len(piece)
    os.close(fd)
    print(f"ok {got} {digest.hexdigest()} {time.monotonic() - started:.1f}")
except OSError as e:
    print(f"error {errno.errorcode.get(e.errno, e.errno)} {got} {time.monotonic() - started:.1f}")
