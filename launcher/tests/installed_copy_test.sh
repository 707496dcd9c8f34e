#!/usr/bin/env bash
# Installs the build into a scratch prefix as a user would, then starts the
# installed cumulo-search: it finds the runtime through the settings file the
# install step wrote, shows its window and ends with status 0 once the window
# is closed. Then the same without the settings file: the one message, 255.
# Arguments: <build dir> <window closer library>
set -euo pipefail
build=$1 closer=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/run"

XDG_CONFIG_HOME="$scratch/config" cmake --install "$build" --prefix "$scratch/prefix" > "$scratch/install.log"
settings="$scratch/config/Tarnwick/Ovra.conf"
grep -qx "Path=$scratch/prefix/lib/cumulo" "$settings" || { echo "settings file: $(cat "$settings")"; exit 1; }
test -f "$scratch/prefix/lib/cumulo/ostal.vlx"
test ! -e "$scratch/prefix/bin/ostal.vlr"

status=0
env -i HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=offscreen \
    LD_PRELOAD="$closer" timeout 30 "$scratch/prefix/bin/cumulo-search" 2> "$scratch/err" || status=$?
if [ "$status" -ne 0 ] || ! grep -q "window-closer: closed" "$scratch/err"; then
  echo "installed run: status $status"; cat "$scratch/err"; exit 1
fi

rm "$settings"
status=0
env -i HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" timeout 30 "$scratch/prefix/bin/cumulo-search" \
    2> "$scratch/err" || status=$?
if [ "$status" -ne 255 ] || [ "$(cat "$scratch/err")" != "Error: Not found the kernel library or the kernel library is invalid!" ]; then
  echo "without settings: status $status"; cat "$scratch/err"; exit 1
fi
echo "installed copy: runs through the settings file, fails cleanly without it"
