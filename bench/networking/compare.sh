#!/usr/bin/env bash
# Runs the networking benchmarks and prints each against the curl tool.
# Usage: bench/networking/compare.sh [build folder, default build/bench]
set -euo pipefail
build=${1:-build/bench}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bench/networking/bench_networking" --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
runs = {b["name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
ours, curl = (runs[n]["bytes_per_second"] for n in ("BM_AsyncStreamingDownload", "BM_CurlCommandLine"))
print(f"streaming: transport {ours/1e6:.1f} MB/s, curl {curl/1e6:.1f} MB/s, ratio {ours/curl:.2f} (goal >= 0.80)")
ours, curl = (runs[n]["real_time"] for n in ("BM_SyncSmallRequests", "BM_CurlSmallRequestsOneConnection"))
print(f"1,000 small requests: client {ours:.0f} ms, curl {curl:.0f} ms, ratio {ours/curl:.2f} (goal <= 1.50)")
PY
