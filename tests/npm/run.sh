#!/bin/sh
# Tests the npm packages and the MCP Bundle that `cmake --workflow --preset npm` left in BUILD_DIR,
# offline: installs the command's package and this machine's platform package into an empty folder
# from the tarballs alone (no registry, an empty cache), runs npm.test.mjs on them, then the SDK
# interop test with `npx demo-server` as the server's command. The interop test's own packages are
# installed by tests/interop/install.sh, from the registry on first use only.
# Usage: tests/npm/run.sh [BUILD_DIR]      (default: build/npm)
set -eu
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$src/build/npm}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sh "$src/tests/interop/install.sh"
export npm_config_offline=true npm_config_cache="$work/cache" npm_config_update_notifier=false \
  npm_config_audit=false npm_config_fund=false
version=$(sed -n 's/^project(demo_server VERSION \([^ ]*\).*/\1/p' "$src/CMakeLists.txt")
platform=$(node -p 'process.platform + "-" + process.arch')
mkdir "$work/host"
(cd "$work/host" && npm install --silent "$build/demo-server-$version.tgz" "$build/demo-server-$platform-$version.tgz")

DEMO_NPM_BUILD=$build DEMO_NPM_INSTALLED=$work/host node --test "$src/tests/npm/npm.test.mjs"
cd "$work/host"
DEMO_SERVER=npx DEMO_SERVER_ARGS='["demo-server"]' node --test "$src/tests/interop/sdk.test.mjs"
