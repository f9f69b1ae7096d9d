#!/usr/bin/env bash
# HTTP load on demo_server beside the Node demo server (@modelcontextprotocol/server-everything,
# pinned in bench/http/package-lock.json), both on 127.0.0.1, both measured in one run and taking
# turns cell by cell (the one that went first in a cell goes second in the next), so both see the
# same moment of a shared machine. On each: one session opened with curl, then wrk POSTs ping and a
# tools/call of echo at each concurrency, every answer checked by bench/http/mcp.lua. Then:
#   - RSS of a fresh demo_server before and after a million pings, in runs of DURATION on fresh
#     connections, after a warm-up run (target: growth <= 1 MiB);
#   - demo_http_sessions: 10,000 sessions with a 2 s slow call each at once, idle RSS, cold start.
# Columns: req/s; p50 and p99 latency; timeouts and socket errors; bad answers (not 200, or no
# "result"); RSS after the run; the server's CPU time per request and its share of a core
# (utime + stime from /proc/PID/stat); wrk's share of its cores (* when above 90%: wrk, not the
# server, may be the limit). Tables land in build/bench/http_results.txt, wrk's own reports in
# build/bench/http/.
# Settings from the environment (defaults in brackets):
#   DURATION [10s] per wrk run, CONNECTIONS ["1 16 256"], WRK_THREADS [1] (at most one per
#   connection), MILLION [1000000] pings for the RSS check (0 skips it) at MILLION_CONNECTIONS [16],
#   SESSIONS [10000] for demo_http_sessions (0 skips it), MODERN [3]: rounds of modern POST echo
#   (MCP 2026-07-28, no session) beside the legacy session's, at 16 connections (0 skips it),
#   BASELINE [none]: the path of another
#   demo_server build, measured in the Node server's place (an older binary, side by side), and
#   given the sessions run too.
# Needs wrk, node and npm; the Node server is installed with npm ci when the lock file changed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
out=build/bench
duration=${DURATION:-10s}
connections=${CONNECTIONS:-1 16 256}
threads=${WRK_THREADS:-1}
million=${MILLION:-1000000}
million_connections=${MILLION_CONNECTIONS:-16}
sessions=${SESSIONS:-10000}

fail() {
  echo "http_bench: $*" >&2
  exit 1
}
for tool in wrk node npm curl /usr/bin/time; do
  command -v "$tool" >/dev/null || fail "$tool is missing (Debian: apt-get install wrk nodejs npm curl time)"
done

baseline=${BASELINE:-}
cmake --preset bench >/dev/null
cmake --build --preset bench
if [ -z "$baseline" ]; then
  (
    cd bench/http
    if ! cmp -s package-lock.json node_modules/.installed-lock 2>/dev/null; then
      npm ci --no-audit --no-fund --prefer-offline
      cp package-lock.json node_modules/.installed-lock
    fi
  )
  node_server=bench/http/node_modules/@modelcontextprotocol/server-everything/dist/index.js
  [ -f "$node_server" ] || fail "no $node_server after npm ci"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$out/http"
results=$out/http_results.txt
: >"$results"
say() { echo "$@" | tee -a "$results"; }

ticks_per_second=$(getconf CLK_TCK)
cpu_ticks() {  # PID: utime + stime
  local stat
  stat=$(<"/proc/$1/stat")
  stat=${stat##*) }  # past the command name, which may hold spaces
  set -- $stat
  echo $((${12} + ${13}))
}
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
now_ns() { date +%s%N; }

declare -A pid url sid start_ms idle_kib

# NAME, then the command: starts it with stderr to a file and waits up to 10 s for its URL line.
start_server() {
  local name=$1
  shift
  local t0
  t0=$(now_ns)
  "$@" >/dev/null 2>"$work/$name.err" &
  pid[$name]=$!
  pids+=("$!")
  for _ in $(seq 2000); do
    url[$name]=$(grep -o -m1 'http://[^ ]*/mcp' "$work/$name.err" || true)
    [ -n "${url[$name]}" ] && break
    kill -0 "${pid[$name]}" 2>/dev/null || fail "$name ended at start: $(cat "$work/$name.err")"
    sleep 0.005
  done
  [ -n "${url[$name]}" ] || fail "$name wrote no URL within 10 s"
  start_ms[$name]=$((($(now_ns) - t0) / 1000000))
  sleep 0.2
  idle_kib[$name]=$(rss_kib "${pid[$name]}")
}

post() {  # NAME BODY [curl options...]
  local name=$1 body=$2
  shift 2
  local session=()
  [ -n "${sid[$name]:-}" ] && session=(-H "Mcp-Session-Id: ${sid[$name]}" -H "MCP-Protocol-Version: 2025-06-18")
  curl -sS --max-time 5 -X POST "${url[$name]}" -H 'Accept: application/json, text/event-stream' \
    -H 'Content-Type: application/json' "${session[@]}" -d "$body" "$@"
}

open_session() {  # NAME
  local name=$1
  sid[$name]=
  post "$name" '{"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"http_bench","version":"1.0"}}}' \
    -D "$work/headers" -o "$work/body" || fail "$name: initialize failed"
  sid[$name]=$(tr -d '\r' <"$work/headers" | awk -F': ' 'tolower($1) == "mcp-session-id" { print $2 }')
  [ -n "${sid[$name]}" ] || fail "$name: no Mcp-Session-Id in $(cat "$work/headers")"
  local status
  status=$(post "$name" '{"jsonrpc":"2.0","method":"notifications/initialized"}' -o /dev/null -w '%{http_code}')
  [ "$status" = 202 ] || fail "$name: notifications/initialized answered $status"
}

# The echo call and what its result must hold: the two servers name the argument differently.
declare -A echo_params=(
  [demo_server]='{"name":"echo","arguments":{"text":"hello"}}'
  [baseline]='{"name":"echo","arguments":{"text":"hello"}}'
  [node]='{"name":"echo","arguments":{"message":"hello"}}'
)
declare -A echo_expect=([demo_server]='"text":"hello"' [baseline]='"text":"hello"' [node]='"text":"Echo: hello"')

header='%-12s %-5s %5s %9s %9s %9s %8s %6s %9s %9s %6s %6s\n'
row='%-12s %-5s %5s %9.0f %9s %9s %8s %6s %9.2f %9.2f %5.0f%% %5.0f%%%s\n'
ms() { awk -v us="$1" 'BEGIN { printf(us < 10000 ? "%.3f" : "%.1f", us / 1000) }'; }

# NAME METHOD CONNECTIONS: one wrk run; prints a row, leaves its figures in r_*.
measure() {
  local name=$1 what=$2 c=$3
  local method=ping params="" expect="" session=${sid[$name]} mcp_name=""
  if [ "$what" = echo ]; then method=tools/call params=${echo_params[$name]} expect=${echo_expect[$name]}; fi
  if [ "$what" = modern ]; then
    method=tools/call session=- mcp_name=echo expect='"text":"hello"'
    params='{"name":"echo","arguments":{"text":"hello"},"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{}}}'
  fi
  local t=$((c < threads ? c : threads))
  local log="$out/http/$name-$what-c$c${run_tag:-}.txt"
  local ticks0 ticks1
  ticks0=$(cpu_ticks "${pid[$name]}")
  /usr/bin/time -f '%U %S' -o "$work/time" wrk -t"$t" -c"$c" -d"$duration" --timeout 2s --latency \
    -s bench/http/mcp.lua "${url[$name]}" -- "$session" "$method" "$params" "$expect" "$mcp_name" >"$log" 2>&1 ||
    fail "wrk failed on $name: $(tail -3 "$log")"
  ticks1=$(cpu_ticks "${pid[$name]}")
  kill -0 "${pid[$name]}" 2>/dev/null || fail "$name ended during the run: $(tail -5 "$work/$name.err")"
  local line
  line=$(grep '^RESULT ' "$log") || fail "no RESULT line from wrk on $name: $(tail -3 "$log")"
  for kv in ${line#RESULT }; do printf -v "r_${kv%%=*}" '%s' "${kv#*=}"; done
  local seconds wrk_cpu
  seconds=$(awk -v us="$r_duration_us" 'BEGIN { print us / 1e6 }')
  wrk_cpu=$(awk '{ print $1 + $2 }' "$work/time")
  r_rss=$(rss_kib "${pid[$name]}")
  awk -v n="$name" -v w="$what" -v c="$c" -v req="$r_requests" -v s="$seconds" -v p50="$(ms "$r_p50_us")" \
    -v p99="$(ms "$r_p99_us")" -v err="$((r_timeout + r_connect + r_read + r_write))" -v bad="$r_bad" \
    -v rss="$r_rss" -v ticks="$((ticks1 - ticks0))" -v hz="$ticks_per_second" -v wrk="$wrk_cpu" -v t="$t" \
    -v row="$row" 'BEGIN {
      wrk_share = 100 * wrk / s / t
      printf(row, n, w, c, req / s, p50, p99, err, bad, rss / 1024, req ? 1e6 * ticks / hz / req : 0,
             100 * ticks / hz / s, wrk_share, wrk_share > 90 ? " *" : "")
    }' | tee -a "$results"
}

start_server demo_server "$out/demo_server" --http 127.0.0.1:0
other=node
if [ -n "$baseline" ]; then
  other=baseline
  start_server baseline "$baseline" --http 127.0.0.1:0
else
  PORT=0 start_server node node --require ./bench/http/loopback.cjs "$node_server" streamableHttp
fi
open_session demo_server
open_session "$other"

if [ -n "$baseline" ]; then
  say "HTTP load: wrk $duration per run, $threads wrk thread(s), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg);" \
    "baseline $baseline"
else
  say "HTTP load: wrk $duration per run, $threads wrk thread(s), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg);" \
    "$(node --version), server-everything $(
      node -p 'require("./bench/http/node_modules/@modelcontextprotocol/server-everything/package.json").version')"
fi
say "start (to the URL line, polled every 5 ms) and RSS 0.2 s later, before any request:"
for name in demo_server "$other"; do
  say "  $(printf '%-12s %5s ms %8.2f MiB' "$name" "${start_ms[$name]}" "$(awk -v k="${idle_kib[$name]}" 'BEGIN { print k / 1024 }')")"
done
printf "$header" server what conns req/s p50_ms p99_ms err/tmo bad RSS_MiB cpu_us/req srv% wrk% | tee -a "$results"
first=demo_server second=$other
for what in ping echo; do
  for c in $connections; do
    measure "$first" "$what" "$c"
    measure "$second" "$what" "$c"
    read -r first second <<<"$second $first"
  done
done

modern_rounds=${MODERN:-3}
if [ "$modern_rounds" -gt 0 ]; then
  say
  say "Modern POST echo (MCP 2026-07-28, no session) beside the legacy session's, 16 connections, alternating:"
  printf "$header" server what conns req/s p50_ms p99_ms err/tmo bad RSS_MiB cpu_us/req srv% wrk% | tee -a "$results"
  legacy_sum=0 modern_sum=0
  for round in $(seq "$modern_rounds"); do
    run_tag=-legacy-$round measure demo_server echo 16
    legacy_sum=$(awk -v a="$legacy_sum" -v r="$r_requests" -v us="$r_duration_us" 'BEGIN { print a + r / us * 1e6 }')
    run_tag=-modern-$round measure demo_server modern 16
    modern_sum=$(awk -v a="$modern_sum" -v r="$r_requests" -v us="$r_duration_us" 'BEGIN { print a + r / us * 1e6 }')
  done
  say "$(awk -v l="$legacy_sum" -v m="$modern_sum" 'BEGIN {
    printf("modern / legacy echo: %.2f %s\n", m / l, m / l >= 0.85 ? "(PASS: >= 0.85)" : "(FAIL: < 0.85)") }')"
fi

if [ "$million" -gt 0 ]; then
  say
  say "RSS over $million pings (a fresh demo_server, one session, $million_connections connections):"
  start_server million "$out/demo_server" --http 127.0.0.1:0
  open_session million
  rss_start=$(rss_kib "${pid[million]}")
  printf "$header" server what conns req/s p50_ms p99_ms err/tmo bad RSS_MiB cpu_us/req srv% wrk% | tee -a "$results"
  measure million ping "$million_connections"  # warm-up
  rss_before=$r_rss
  pings=0 bad=0
  for run_tag in $(seq -f -%02.0f 100); do  # bounded: at 1,000 pings/s and 10 s a run, 100 runs make a million
    [ "$pings" -lt "$million" ] || break
    measure million ping "$million_connections"
    pings=$((pings + r_requests)) bad=$((bad + r_bad))
  done
  say "$(awk -v s="$rss_start" -v b="$rss_before" -v a="$r_rss" -v n="$pings" -v bad="$bad" 'BEGIN {
    printf("RSS: %.2f MiB after initialize, %.2f MiB after the warm-up, %.2f MiB after %d more pings: growth %+.0f KiB %s\n",
           s / 1024, b / 1024, a / 1024, n, a - b, a - b <= 1024 && bad == 0 ? "(PASS: <= 1 MiB)" : "(FAIL: > 1 MiB or bad answers)")
  }')"
fi

if [ "$sessions" -gt 0 ]; then
  say
  say "demo_http_sessions --sessions $sessions:"
  "$out/bench/demo_http_sessions" --server "$out/demo_server" --sessions "$sessions" | tee -a "$results" || true
  if [ -n "$baseline" ]; then
    say "demo_http_sessions --sessions $sessions, baseline:"
    "$out/bench/demo_http_sessions" --server "$baseline" --sessions "$sessions" | tee -a "$results" || true
  fi
fi
for name in demo_server million; do  # past its ready and URL lines, a server under load should say nothing
  if [ -s "$work/$name.err" ] && [ "$(wc -l <"$work/$name.err")" -gt 2 ]; then
    say "$name wrote on standard error:"
    tail -n +3 "$work/$name.err" | head -20 | tee -a "$results"
  fi
done
say "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
