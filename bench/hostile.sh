#!/usr/bin/env bash
# Times the release server on hostile inputs at two sizes each, to show the cost grows linearly:
# an object of N members, an array N deep, a string of N bytes, a string of N bytes of escapes.
# Each input is one ping whose params carry the payload, followed by a plain ping; prints the
# wall time and peak RSS of the whole run (start-up included) and checks both replies.
# Usage: bench/hostile.sh [SERVER]   (default build/release/demo_server)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
server=${1:-$root/build/release/demo_server}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_input() {  # KIND N FILE
  python3 - "$1" "$2" "$3" <<'PY'
import sys
kind, n, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(path, "w") as f:
    f.write('{"jsonrpc":"2.0","id":1,"method":"ping","params":{"x":')
    if kind == "members":
        f.write("{" + ",".join('"k%d":0' % i for i in range(n)) + "}")
    elif kind == "depth":
        f.write("[" * n + "]" * n)
    elif kind == "string":
        f.write('"' + "s" * n + '"')
    elif kind == "escapes":
        f.write('"' + "\\n\\u0041" * (n // 8) + '"')
    f.write('}}\n{"jsonrpc":"2.0","id":2,"method":"ping"}\n')
PY
}

printf '%-10s %12s %10s %10s %8s\n' input size MB_in seconds peak_MB
for input in "members 1000000" "members 2000000" "depth 1000000" "depth 2000000" \
            "string 100000000" "string 200000000" "escapes 10000000" "escapes 20000000"; do
  set -- $input
  make_input "$1" "$2" "$work/in"
  /usr/bin/time -f '%e %M' -o "$work/time" "$server" < "$work/in" > "$work/out" 2>/dev/null
  expected=$'{"jsonrpc":"2.0","id":1,"result":{}}\n{"jsonrpc":"2.0","id":2,"result":{}}'
  [[ "$(cat "$work/out")" == "$expected" ]] || { echo "wrong replies for $input" >&2; exit 1; }
  read -r seconds kib < "$work/time"
  printf '%-10s %12s %10.1f %10s %8.1f\n' "$1" "$2" "$(($(stat -c %s "$work/in") / 1000))e-3" "$seconds" "$((kib))e-3"
done
