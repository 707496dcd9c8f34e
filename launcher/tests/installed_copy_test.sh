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

settings="$scratch/config/Tarnwick/Ovra.conf"

# Installs into $1 (a prefix inside the scratch directory), checks the
# settings file names it as the launcher reads it, and runs the installed
# copy: it must find the runtime there, show its window and end with 0.
install_and_run() {
  local prefix=$1
  rm -f "$settings"
  XDG_CONFIG_HOME="$scratch/config" cmake --install "$build" --prefix "$prefix" > "$scratch/install.log"
  test -f "$prefix/lib/cumulo/ostal.vlx"
  test ! -e "$prefix/bin/ostal.vlr"
  local status=0
  env -i HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=offscreen \
      LD_PRELOAD="$closer" timeout 30 "$prefix/bin/cumulo-search" 2> "$scratch/err" || status=$?
  if [ "$status" -ne 0 ] || ! grep -q "window-closer: closed" "$scratch/err"; then
    echo "installed run from '$prefix': status $status"; echo "settings file: $(cat "$settings")"; cat "$scratch/err"
    exit 1
  fi
}

install_and_run "$scratch/prefix"
grep -qx "Path=\"$scratch/prefix/lib/cumulo\"" "$settings" || { echo "settings file: $(cat "$settings")"; exit 1; }
# Prefixes the settings file's quoting must carry through: a comment sign,
# a quote, blanks at either end of a directory name, and characters beyond
# ASCII. (A backslash cannot be tried here: cmake --install takes it for a
# separator; the launcher's unit test reads one back.)
for awkward in 'semi;colon' 'a "quoted" name' ' blanks at both ends ' '中文 目录'; do
  install_and_run "$scratch/$awkward/prefix"
done

rm "$settings"
status=0
env -i HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" timeout 30 "$scratch/prefix/bin/cumulo-search" \
    2> "$scratch/err" || status=$?
if [ "$status" -ne 255 ] || [ "$(cat "$scratch/err")" != "Error: Not found the kernel library or the kernel library is invalid!" ]; then
  echo "without settings: status $status"; cat "$scratch/err"; exit 1
fi
echo "installed copy: runs through the settings file, fails cleanly without it"
