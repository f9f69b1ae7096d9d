#!/bin/sh
# The real-browser test: a page drops its session's GET stream and sends DELETE at once, 20 times,
# in the system's Chromium; every DELETE must get 200 (see drop_then_delete.mjs).
#
#   tests/browser/run.sh [SERVER]   SERVER: build/release/demo_server, else build/test/demo_server
#
# Installs what it needs: Debian's chromium when /usr/bin/chromium is missing (as root), and the
# pinned playwright-core once per change of the lock file. TRIES, CHROMIUM and NETLOG are passed on.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

server=${1:-}
if [ -z "$server" ]; then
  for candidate in "$root/build/release/demo_server" "$root/build/test/demo_server"; do
    if [ -x "$candidate" ]; then server=$candidate; break; fi
  done
fi
if [ -z "$server" ] || [ ! -x "$server" ]; then
  echo "browser: no server binary; build one (cmake --workflow --preset release) or name it: $0 SERVER" >&2
  exit 2
fi
server=$(cd "$(dirname "$server")" && pwd)/$(basename "$server")

chromium=${CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium >/dev/null
  else
    echo "browser: $chromium not found: install Debian's chromium, or set CHROMIUM" >&2
    exit 2
  fi
fi

cd "$here"
if ! cmp -s package-lock.json node_modules/.installed-lock 2>/dev/null; then
  npm ci --no-audit --no-fund --prefer-offline
  cp package-lock.json node_modules/.installed-lock
fi
CHROMIUM=$chromium exec node drop_then_delete.mjs "$server"
