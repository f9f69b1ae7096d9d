#!/bin/sh
# Unpacks a package (.tar.gz, or the Windows .zip) into a fresh folder and runs the server found
# there on the example session: the replies must be those of the committed transcript (tool lines
# may come in another order, since a call that waits replies when its time comes) and the start-up
# line must be the only one on stderr. Anything after SOURCE_DIR runs the server (wine, say).
# Usage: run_unpacked.sh PACKAGE SOURCE_DIR [RUNNER...]
set -eu
package=$1
src=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case "$package" in
  *.zip)
    (cd "$work" && cmake -E tar xf "$package")
    files="demo_server.exe README.md LICENSE"
    server=demo_server.exe
    listing="cmake -E tar tf $package" ;;
  *)
    tar -xzf "$package" -C "$work"
    files="bin/demo_server share/doc/demo-server/README.md share/doc/demo-server/LICENSE
      share/man/man1/demo_server.1.gz"
    server=bin/demo_server
    listing="tar -tzf $package" ;;
esac
root=$(find "$work" -mindepth 1 -maxdepth 1 -type d)
for file in $files; do
  [ -f "$root/$file" ] || { echo "package lacks $file"; $listing; exit 1; }
done

status=0
"$@" "$root/$server" < "$src/examples/session.jsonl" > "$work/out" 2> "$work/err" || status=$?
[ "$status" -eq 0 ] || { echo "demo_server exited with $status"; cat "$work/err"; exit 1; }
printf 'demo MCP server (Tarn) ready\n' | cmp -s - "$work/err" || { echo "unexpected stderr:"; cat "$work/err"; exit 1; }
sort "$src/examples/session.expected.jsonl" > "$work/expected.sorted"
sort "$work/out" > "$work/out.sorted"
diff "$work/expected.sorted" "$work/out.sorted"
echo "package ran the example session: $(wc -l < "$work/out") lines as expected"
