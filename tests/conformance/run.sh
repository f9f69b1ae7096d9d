#!/bin/sh
# Runs the official MCP conformance suite, pinned in package.json with the Node 22 it needs (the npm
# package `node`), against demo_server over Streamable HTTP, and prints n/m per scenario.
# Usage: tests/conformance/run.sh [path/to/demo_server]  (default: build/release/demo_server)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
server=$(realpath "${1:-$here/../../build/release/demo_server}")
cd "$here"
if ! cmp -s package-lock.json node_modules/.installed-lock 2>/dev/null; then
  npm ci --no-audit --no-fund
  cp package-lock.json node_modules/.installed-lock
fi
exec node_modules/.bin/node run.mjs "$server"
