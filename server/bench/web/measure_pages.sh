#!/usr/bin/env bash
# Measures the service's pages: Lighthouse's four scores on the search page and a share page,
# and a result page's first paint beside nginx serving the same bytes. Figures, not a test.
# Usage: server/bench/web/measure_pages.sh [cumulo-server]   (default build/bin/cumulo-server)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
server=$(realpath "${1:-$root/build/bin/cumulo-server}")
work=$root/build/bench-web-npm
command -v npm >/dev/null || { echo "$(basename "$0"): npm is missing (Debian: apt-get install npm)" >&2; exit 1; }
mkdir -p "$work"
if [ ! -d "$work/node_modules" ] || ! cmp -s "$here/package-lock.json" "$work/package-lock.json"; then
  cp "$here/package.json" "$here/package-lock.json" "$work/"
  (cd "$work" && npm ci --no-audit --no-fund --loglevel=error)
fi
CUMULO_NODE_PACKAGES=$work exec node "$here/measure_pages.mjs" "$server"
