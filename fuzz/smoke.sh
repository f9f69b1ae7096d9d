#!/usr/bin/env bash
# A short fuzzing run for the test suite: builds the fuzzers with the `fuzz` preset's settings (clang,
# libFuzzer, ASan, UBSan) into BUILD, makes the seed corpora, then runs each fuzzer for SECONDS from
# the kept corpus of its inputs' kind (fuzz/corpus/json, handle, http or connections) and the seeds. Fails when a fuzzer does not build or finds anything; on a finding libFuzzer's
# report (with the input in base64 when it is small) is printed and the input kept in BUILD.
# Usage: fuzz/smoke.sh [BUILD [SECONDS]]   (defaults: build/fuzz-smoke, 20)
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
bin=$(mkdir -p "${1:-$src/build/fuzz-smoke}" && cd "${1:-$src/build/fuzz-smoke}" && pwd)
seconds=${2:-20}

run_quiet() {  # runs a command, printing its output only when it fails
  local log
  log=$(mktemp)
  if ! "$@" > "$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}

run_quiet cmake -S "$src" --preset fuzz -B "$bin"
# The fuzzers this configuration builds (fuzz_json_oracle only where RapidJSON is installed;
# fuzz_http_oracle where llhttp's sources are, fuzz_http in its place elsewhere).
read -r -a fuzzers < "$bin/fuzz/fuzzers.txt"
run_quiet cmake --build "$bin" --target "${fuzzers[@]}"
"$src/fuzz/make_corpus.sh" "$bin/seeds"

status=0
for fuzzer in "${fuzzers[@]}"; do
  name=${fuzzer#fuzz_}
  seeds=${name%_oracle}  # an oracle starts from its plain fuzzer's seeds and dictionary
  work=$bin/smoke/$name
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  start=$SECONDS
  kept=()  # the corpus the repository keeps, so that a short run starts from coverage
  [[ -d $src/fuzz/corpus/$seeds ]] && kept=("$src/fuzz/corpus/$seeds")
  # -max_len keeps mutants small enough for thousands of runs a second; deep-nesting seeds are cut
  # to it and still nest far past the writer's limit. A hang of 10 s in one input is a finding.
  if "$bin/fuzz/$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -dict="$src/fuzz/$seeds.dict" -artifact_prefix="$work/findings/" \
      "$work/corpus" "${kept[@]}" "$bin/seeds/$seeds" > "$work/log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
    echo "$fuzzer: ${execs:-?} inputs, ${rate:-?}/s, $((SECONDS - start)) s, no findings"
  else
    echo "$fuzzer: FAILED after $((SECONDS - start)) s; findings in $work/findings"
    grep -v -E '^#[0-9]+\s+(NEW|REDUCE|pulse)' "$work/log" | tail -n 80
    status=1
  fi
done
exit $status
