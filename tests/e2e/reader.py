#!/usr/bin/env python3
"""Reads a file whole in 1 MiB reads and prints one line: "ok BYTES SHA256 SECONDS" or
"error ERRNO-NAME BYTES SECONDS" for the first failing read. A short file counts as ok: the
caller compares the digest. With a second argument GO it keeps the file open, waits until GO
exists and reads it whole once more from the start through the same descriptor, as a
long-running reader would: again after a failure, once a second, for up to 120 s. It prints
a second line of the same form for the last try."""
import errno, hashlib, os, sys, time


def read_whole(fd):
    started = time.monotonic()
    digest, got = hashlib.sha256(), 0
    try:
        os.lseek(fd, 0, os.SEEK_SET)
        while True:
            piece = os.read(fd, 1 << 20)
            if not piece:
                break
            digest.update(piece)
            got += len(piece)
        return f"ok {got} {digest.hexdigest()} {time.monotonic() - started:.1f}"
    except OSError as e:
        return f"error {errno.errorcode.get(e.errno, e.errno)} {got} {time.monotonic() - started:.1f}"


started = time.monotonic()
try:
    fd = os.open(sys.argv[1], os.O_RDONLY)
except OSError as e:
    print(f"error {errno.errorcode.get(e.errno, e.errno)} 0 {time.monotonic() - started:.1f}")
    sys.exit(0)
print(read_whole(fd), flush=True)
if len(sys.argv) > 2:
    deadline = time.monotonic() + 600
    while not os.path.exists(sys.argv[2]) and time.monotonic() < deadline:
        time.sleep(0.05)
    until = time.monotonic() + 120
    again = read_whole(fd)
    while again.startswith("error") and time.monotonic() < until:
        time.sleep(1)
        again = read_whole(fd)
    print(again, flush=True)
os.close(fd)
