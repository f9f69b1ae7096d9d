#!/bin/sh
# Installs the pinned SDK client for the interop test, once per change of the lock file.
set -eu
cd "$(dirname "$0")"
if cmp -s package-lock.json node_modules/.installed-lock 2>/dev/null; then
  exit 0
fi
npm ci --no-audit --no-fund --prefer-offline
cp package-lock.json node_modules/.installed-lock
