#!/usr/bin/env bash
# Runs the browser test: installs its npm packages from the lock file into the build tree when
# they are missing or the lock changed, then drives Debian's Chromium.
# Usage: run_pages_test.sh <cumulo-server> <work directory in the build tree>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
server=$1
work=$2
command -v npm >/dev/null || { echo "$(basename "$0"): npm is missing (Debian: apt-get install npm)" >&2; exit 1; }
mkdir -p "$work"
if [ ! -d "$work/node_modules" ] || ! cmp -s "$here/package-lock.json" "$work/package-lock.json"; then
  cp "$here/package.json" "$here/package-lock.json" "$work/"
  (cd "$work" && npm ci --no-audit --no-fund --loglevel=error)
fi
if [ ! -x "${CHROME_PATH:-/usr/bin/chromium}" ]; then
  echo "run_pages_test.sh: Chromium is missing; scripts/setup installs it" >&2
  exit 1
fi
CUMULO_NODE_PACKAGES=$work exec node "$here/pages_test.mjs" "$server"
