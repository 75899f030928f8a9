#!/usr/bin/env bash
# Runs the read-ahead benchmark and prints the cold read against curl of the same download,
# and the warm re-read.
# Usage: bench/controllers/compare.sh [build folder, default build/bench]
set -euo pipefail
build=${1:-build/bench}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bench/controllers/bench_controllers" --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
runs = {b["name"].split("/")[0]: b["bytes_per_second"] for b in json.load(open(sys.argv[1]))["benchmarks"]}
cold, curl, warm = runs["BM_ColdReadahead"], runs["BM_CurlDownload"], runs["BM_WarmReadahead"]
print(f"cold read-ahead {cold/1e6:.1f} MB/s, curl {curl/1e6:.1f} MB/s, ratio {cold/curl:.2f} (goal >= 0.80)")
print(f"warm read-ahead {warm/1e9:.2f} GB/s (goal >= 2)")
PY
