#!/usr/bin/env bash
# A long fuzzing campaign: builds the `fuzz` preset (build/fuzz), refreshes the seed corpora, then
# runs each fuzzer for SECONDS. Corpora grow across campaigns in build/fuzz-corpus/<fuzzer>;
# findings (crash-*, leak-*, timeout-*, oom-*) land in build/fuzz-findings/<fuzzer>, and each
# fuzzer's full output in build/fuzz-findings/<fuzzer>.log. Prints executions per second and
# the findings of each fuzzer; exits non-zero when there are any.
# Extra libFuzzer flags may be given in FUZZ_FLAGS (for example FUZZ_FLAGS="-fork=2").
# Reproduce a finding: build/fuzz/fuzz/<fuzzer> <finding file>
# Usage: fuzz/campaign.sh SECONDS [FUZZER...]
#   (default: every fuzzer the configuration builds: fuzz_json, fuzz_handle, and fuzz_json_oracle
#   where RapidJSON is installed)
set -euo pipefail

seconds=${1:?usage: campaign.sh SECONDS [FUZZER...]}
shift
fuzzers=("$@")

src=$(cd "$(dirname "$0")/.." && pwd)
bin=$src/build/fuzz
cd "$src"
cmake --preset fuzz > /dev/null
[[ ${#fuzzers[@]} == 0 ]] && read -r -a fuzzers < "$bin/fuzz/fuzzers.txt"
cmake --build --preset fuzz --target "${fuzzers[@]}"
fuzz/make_corpus.sh "$bin/seeds"

total=0
for fuzzer in "${fuzzers[@]}"; do
  name=${fuzzer#fuzz_}
  seeds=${name%_oracle}  # fuzz_json_oracle starts from fuzz_json's seeds and dictionary
  corpus=$src/build/fuzz-corpus/$fuzzer
  findings=$src/build/fuzz-findings/$fuzzer
  mkdir -p "$corpus" "$findings"
  before=$(ls "$findings" | wc -l)
  echo "== $fuzzer: ${seconds} s, corpus $(ls "$corpus" | wc -l) inputs"
  # A finding ends the fuzzer's run; run again to go on (the corpus is kept), or collect several
  # in one run with FUZZ_FLAGS="-fork=2 -ignore_crashes=1".
  set +e
  # shellcheck disable=SC2086
  "$bin/fuzz/$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -dict="fuzz/$seeds.dict" -artifact_prefix="$findings/" ${FUZZ_FLAGS:-} \
    "$corpus" "$bin/seeds/$seeds" > "$findings.log" 2>&1
  code=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$findings.log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$findings.log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$findings.log" | tail -n 1)
  new=$(( $(ls "$findings" | wc -l) - before ))
  echo "   ${execs:-?} executions, ${rate:-?}/s, ${cov:-no coverage line}, corpus $(ls "$corpus" | wc -l) inputs"
  echo "   exit $code, $new new finding(s)"
  if [[ $code != 0 || $new != 0 ]]; then
    grep -E 'ERROR|SUMMARY|fuzz_[a-z_]+:|Test unit written' "$findings.log" | head -n 20 | sed 's/^/   /'
    total=$((total + 1))
  fi
done
exit $((total != 0))
