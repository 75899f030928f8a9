#!/usr/bin/env bash
# One table of the suite's speed against its baselines, every figure measured in this one run
# against a reference service on loopback (the absolute times depend on the machine's load;
# compare the ratios):
#   the mounted drive (bench/drivefs/compare.sh): cold and warm 256 MiB reads against curl and
#   the page cache, a 256 MiB write against curl, `ls -l` of 5,000 entries against local disk,
#   1,000 small-file creates (`cp -r` of 1,000 x 4 KiB), `cp -r` of a source tree against
#   local disk;
#   Keelhaven (bench_keelhaven_sync): the initial, no-change and 50-touched runs of a
#   5,000-file backup against `rsync -a` to a local folder.
# Each row shows the goal set for it earlier and whether this run met it.
# Usage: bench/e2e/bench-e2e.sh [Release build folder with bvmount, brimvault-server and
#   bench_keelhaven_sync; default build/bench]. BV_BENCH_TREE: the source tree to copy
#   (default: the reference service's sources of this checkout).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-build/bench}" && pwd)
out=$(mktemp -d "${TMPDIR:-/tmp}/bvbenche2e.XXXXXX")
trap 'rm -rf "$out"' EXIT

echo "== the drive (bench/drivefs/compare.sh)"
BV_BENCH_TREE=${BV_BENCH_TREE:-$root/server} "$root/bench/drivefs/compare.sh" "$build" |
    tee "$out/drive.txt"
echo "== Keelhaven (bench_keelhaven_sync)"
KH_BENCH_BIG_MIB=0 "$build/bench/keelhaven/bench_keelhaven_sync" | tee "$out/keelhaven.txt"

python3 - "$out/drive.txt" "$out/keelhaven.txt" <<'PY'
import re, sys
drive, keelhaven = (open(path).read() for path in sys.argv[1:3])

def seconds(text, pattern):
    found = re.search(pattern, text)
    if not found:
        sys.exit(f"bench-e2e: no figure for {pattern!r} in the output above")
    return [float(x) for x in found.groups()]

rows = []  # what, ours, baseline, ratio, goal text, met
def row(what, ours, base, goal, met, ratio=None):
    if ratio is None and base:
        ratio = ours / base
    rows.append((what, f"{ours:.3f} s", f"{base:.3f} s" if base is not None else "-",
                 f"{ratio:.2f}" if ratio is not None else "-", goal, "met" if met else "not met"))

cold, curl = seconds(drive, r"cold dd through the mount: ([\d.]+) s, curl -o /dev/null: ([\d.]+) s")
row("cold 256 MiB read vs curl", cold, curl, "<= 1.25x curl", cold / curl <= 1.25)
warm, page = seconds(drive, r"warm re-read through the mount: ([\d.]+) s .*page cache: ([\d.]+) s")
row("warm 256 MiB re-read vs page cache", warm, page, "<= 0.13 s", warm <= 0.13)
up, curl_up = seconds(drive, r"cp onto the mount: ([\d.]+) s, curl in 20 MiB chunks: ([\d.]+) s")
row("256 MiB write vs curl", up, curl_up, "<= 1.2x curl", up / curl_up <= 1.2)
ls_mount, ls_local = seconds(drive, r"ls -l warm: mount ([\d.]+) s, local ([\d.]+) s")
row("ls -l of 5,000 entries vs local disk", ls_mount, ls_local, "<= 1.2x local",
    ls_mount / ls_local <= 1.2)
(small,) = seconds(drive, r"cp -r of \d+ x 4 KiB: ([\d.]+) s")
row("1,000 small-file creates (cp -r 1,000 x 4 KiB)", small, None, "<= 2 s", small <= 2)
found = re.search(r"cp -r of a source tree \((\d+) files\): mount ([\d.]+) s, local ([\d.]+) s", drive)
if found:
    files, tree, tree_local = int(found.group(1)), float(found.group(2)), float(found.group(3))
    # The goal of the small files, per file: 2 s per 1,000.
    limit = 2.0 * files / 1000
    row(f"cp -r of a source tree ({files} files) vs local disk", tree, tree_local,
        f"<= {limit:.2f} s (2 s per 1,000 files)", tree <= limit)
(rsync_initial,) = seconds(keelhaven, r"rsync -a initial:\s+([\d.]+) s")
(rsync_noop,) = seconds(keelhaven, r"rsync -a no-change:\s+([\d.]+) s")
(initial,) = seconds(keelhaven, r"initial run:\s+([\d.]+) s")
(noop,) = seconds(keelhaven, r"no-change run:\s+([\d.]+) s")
(touched,) = seconds(keelhaven, r"50-touched run:\s+([\d.]+) s")
row("Keelhaven initial run, 5,000 x 4 KiB, vs rsync -a", initial, rsync_initial, "<= 4 s",
    initial <= 4)
row("Keelhaven no-change run vs rsync -a", noop, rsync_noop, "<= 0.5 s", noop <= 0.5)
# rsync has no "touched" run of its own; its no-change run is the floor.
row("Keelhaven 50-touched run vs rsync -a (no-change)", touched, rsync_noop, "<= 1 s",
    touched <= 1)

header = ("what", "ours", "baseline", "ratio", "goal", "")
widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
line = lambda r: "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip()
print()
print(line(header))
print(line(tuple("-" * w for w in widths)))
for r in rows:
    print(line(r))
PY
