#!/bin/sh
# Unpacks the .tar.gz package into a fresh folder and runs the server found there on the example
# session: the replies must be those of the committed transcript (tool lines may come in another
# order, since tools run concurrently) and the start-up line must be the only one on stderr.
# Usage: run_unpacked.sh PACKAGE.tar.gz SOURCE_DIR
set -eu
package=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tar -xzf "$package" -C "$work"
root=$(find "$work" -mindepth 1 -maxdepth 1 -type d)
for file in bin/demo_server share/doc/demo_server/README.md share/doc/demo_server/LICENSE; do
  [ -f "$root/$file" ] || { echo "package lacks $file"; tar -tzf "$package"; exit 1; }
done

status=0
"$root/bin/demo_server" < "$src/examples/session.jsonl" > "$work/out" 2> "$work/err" || status=$?
[ "$status" -eq 0 ] || { echo "demo_server exited with $status"; cat "$work/err"; exit 1; }
printf 'demo MCP server (Tarn) ready\n' | cmp -s - "$work/err" || { echo "unexpected stderr:"; cat "$work/err"; exit 1; }
sort "$src/examples/session.expected.jsonl" > "$work/expected.sorted"
sort "$work/out" > "$work/out.sorted"
diff "$work/expected.sorted" "$work/out.sorted"
echo "package ran the example session: $(wc -l < "$work/out") lines as expected"
