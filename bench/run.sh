#!/usr/bin/env bash
# Builds the bench preset, then runs the load driver and the micro-benchmarks. Everything lands in
# build/bench/: load_results.json and .txt (driver medians), bench_json.json, bench_handle.json
# and their .txt (Google Benchmark, three repetitions each, aggregates only).
# Arguments go to the load driver, e.g.: bench/run.sh --repeats 3 --pings 500000
# YARDSTICK, when set, is the path of a stand-in server that answers with fixed bytes; the driver
# then measures it in turn with demo_server and reports each figure as a ratio to it, e.g.
#   YARDSTICK=/path/to/yardstick-server bench/run.sh --repeats 3
# The probes of concurrency and starvation take minutes and run on their own, after this script:
#   build/release/bench/demo_probe --server build/release/demo_server [probe...]
# Over HTTP, bench/http_bench.sh measures demo_server beside the Node demo server with wrk (ping and
# echo at 1, 16 and 256 connections), RSS over a million pings, and 10,000 sessions at once with
# build/bench/bench/demo_http_sessions; it needs wrk, node and npm.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
out=build/bench

cmake --preset bench >/dev/null
cmake --build --preset bench

yardstick=()
if [ -n "${YARDSTICK:-}" ]; then yardstick=(--yardstick "$YARDSTICK"); fi
"$out/bench/demo_load" --server "$out/demo_server" "${yardstick[@]}" --out "$out/load_results.json" "$@" |
  tee "$out/load_results.txt"
for name in json handle; do
  "$out/bench/bench_$name" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/bench_$name.json" --benchmark_out_format=json | tee "$out/bench_$name.txt"
done
