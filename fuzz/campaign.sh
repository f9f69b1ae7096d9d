#!/usr/bin/env bash
# A long fuzzing campaign: builds the `fuzz` preset (build/fuzz), refreshes the seed corpora, then
# runs each fuzzer for SECONDS, JOBS at a time (default 2, one per core). Each starts from the
# kept corpus of its inputs' kind (fuzz/corpus/json, handle, http or connections; fuzz_json_oracle
# takes JSON texts as fuzz_json does, fuzz_http_oracle requests as fuzz_http does) and its seeds; its working corpus grows across campaigns in
# build/fuzz-corpus/<fuzzer>. Findings (crash-*, leak-*, timeout-*, oom-*) land in
# build/fuzz-findings/<fuzzer>, and each fuzzer's full output in build/fuzz-findings/<fuzzer>.log.
# Prints executions, rate, coverage and findings of each fuzzer; exits non-zero when there are any.
# With KEEP=1, the corpora of fuzz_json, fuzz_handle, fuzz_connections and fuzz_http_oracle (or
# fuzz_http) are then minimized (-merge=1) into fuzz/corpus/, the corpus the repository keeps for
# the smoke runs and later campaigns.
# Extra libFuzzer flags may be given in FUZZ_FLAGS (for example FUZZ_FLAGS="-use_value_profile=1").
# Reproduce a finding: build/fuzz/fuzz/<fuzzer> <finding file>
# Usage: [JOBS=2] [KEEP=1] fuzz/campaign.sh SECONDS [FUZZER...]
#   (default: every fuzzer the configuration builds: fuzz_json, fuzz_handle, fuzz_connections,
#   fuzz_json_oracle where RapidJSON is installed, and fuzz_http_oracle where llhttp's sources are,
#   fuzz_http elsewhere)
set -euo pipefail

seconds=${1:?usage: campaign.sh SECONDS [FUZZER...]}
shift
fuzzers=("$@")
jobs=${JOBS:-2}

src=$(cd "$(dirname "$0")/.." && pwd)
bin=$src/build/fuzz
cd "$src"
cmake --preset fuzz > /dev/null
[[ ${#fuzzers[@]} == 0 ]] && read -r -a fuzzers < "$bin/fuzz/fuzzers.txt"
cmake --build --preset fuzz --target "${fuzzers[@]}"
fuzz/make_corpus.sh "$bin/seeds"

# Runs one fuzzer and writes its summary to build/fuzz-findings/<fuzzer>.summary.
campaign() {
  local fuzzer=$1
  local name=${fuzzer#fuzz_}
  local seeds=${name%_oracle}  # an oracle starts from its plain fuzzer's seeds and dictionary
  local corpus=$src/build/fuzz-corpus/$fuzzer
  local findings=$src/build/fuzz-findings/$fuzzer
  local kept=$src/fuzz/corpus/$seeds
  mkdir -p "$corpus" "$findings" "$kept"
  local before code
  before=$(ls "$findings" | wc -l)
  # A finding ends the fuzzer's run; run again to go on (the corpus is kept), or collect several
  # in one run with FUZZ_FLAGS="-fork=1 -ignore_crashes=1".
  set +e
  # shellcheck disable=SC2086
  "$bin/fuzz/$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -dict="fuzz/$seeds.dict" -artifact_prefix="$findings/" ${FUZZ_FLAGS:-} \
    "$corpus" "$kept" "$bin/seeds/$seeds" > "$findings.log" 2>&1
  code=$?
  set -e
  local execs rate cov new
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$findings.log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$findings.log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$findings.log" | tail -n 1)
  new=$(( $(ls "$findings" | wc -l) - before ))
  {
    echo "== $fuzzer: ${seconds} s"
    echo "   ${execs:-?} executions, ${rate:-?}/s, ${cov:-no coverage line}, corpus $(ls "$corpus" | wc -l) inputs"
    echo "   exit $code, $new new finding(s)"
    if [[ $code != 0 || $new != 0 ]]; then
      grep -E 'ERROR|SUMMARY|fuzz_[a-z_]+:|Test unit written' "$findings.log" | head -n 20 | sed 's/^/   /'
    fi
  } > "$findings.summary"
  [[ $code == 0 && $new == 0 ]]
}

# Minimizes a fuzzer's corpus into the kept one of its kind, replacing it.
keep() {
  local fuzzer=$1 name=${1#fuzz_} fresh
  local kept=$src/fuzz/corpus/${name%_oracle}
  fresh=$(mktemp -d)
  "$bin/fuzz/$fuzzer" -merge=1 -max_len=8192 -timeout=10 -rss_limit_mb=2048 "$fresh" \
    "$kept" "$src/build/fuzz-corpus/$fuzzer" > "$src/build/fuzz-findings/$fuzzer.merge.log" 2>&1
  rm -rf "$kept"
  mv "$fresh" "$kept"
  echo "kept $fuzzer: $(ls "$kept" | wc -l) inputs, $(du -sh "$kept" | cut -f1)"
}

failed=0
pids=()
for fuzzer in "${fuzzers[@]}"; do
  while (( $(jobs -rp | wc -l) >= jobs )); do wait -n || true; done
  campaign "$fuzzer" &
  pids+=("$!")
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed=$((failed + 1))
  cat "$src/build/fuzz-findings/${fuzzers[$i]}.summary"
done
if [[ ${KEEP:-0} == 1 ]]; then
  for fuzzer in "${fuzzers[@]}"; do
    [[ $fuzzer == fuzz_json || $fuzzer == fuzz_handle || $fuzzer == fuzz_connections || $fuzzer == fuzz_http* ]] &&
      keep "$fuzzer"
  done
fi
exit $((failed != 0))
