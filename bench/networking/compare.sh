#!/usr/bin/env bash
# Runs the streaming benchmark and prints both throughputs and their ratio.
# Usage: bench/networking/compare.sh [build folder, default build/bench]
set -euo pipefail
build=${1:-build/bench}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bench/networking/bench_networking" --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
runs = {b["name"].split("/")[0]: b["bytes_per_second"] for b in json.load(open(sys.argv[1]))["benchmarks"]}
ours, curl = runs["BM_AsyncStreamingDownload"], runs["BM_CurlCommandLine"]
print(f"transport {ours/1e6:.1f} MB/s, curl {curl/1e6:.1f} MB/s, ratio {ours/curl:.2f} (goal >= 0.80)")
PY
