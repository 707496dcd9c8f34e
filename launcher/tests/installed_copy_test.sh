#!/usr/bin/env bash
# Installs the build into a scratch prefix as a user would and starts the
# installed cumulo-search through its link in bin/ with an empty home: it finds
# the runtime beside the file the link leads to, shows its window and ends with
# status 0 once the window is closed. Then the other road: a lone copy of the
# launcher with the runtime elsewhere (as .vlx files) named by the settings
# file; and without that file, the one message and 255.
# Arguments: <build dir> <window closer library>
set -euo pipefail
build=$1 closer=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/run"
mkdir "$scratch/home"
prefix=$scratch/prefix

fail() { echo "$1"; cat "$scratch/err" 2>/dev/null; exit 1; }

# Starts the launcher at $1 with the home $2; sets status.
start() {
  status=0
  env -i HOME="$2" XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=offscreen ${3:+LD_PRELOAD="$3"} \
      timeout 30 "$1" 2> "$scratch/err" || status=$?
}

HOME="$scratch/home" cmake --install "$build" --prefix "$prefix" > "$scratch/install.log"
[ "$(readlink "$prefix/bin/cumulo-search")" = ../lib/cumulo-search/cumulo-search ] || fail "bin/cumulo-search is no link"
test -f "$prefix/lib/cumulo-search/ostal.vlr"
[ -z "$(ls -A "$scratch/home")" ] || fail "the install wrote into the home: $(find "$scratch/home")"

start "$prefix/bin/cumulo-search" "$scratch/home" "$closer"
[ "$status" -eq 0 ] && grep -q "window-closer: closed" "$scratch/err" || fail "through the link: status $status"
[ -z "$(ls -A "$scratch/home")" ] || fail "the run wrote into the home: $(find "$scratch/home")"

# The settings-file road: the launcher alone, the runtime in a directory of
# its own with the installed extension.
mkdir "$scratch/alone" "$scratch/runtime" "$scratch/home/.config"
cp "$prefix/lib/cumulo-search/cumulo-search" "$scratch/alone/"
for file in "$prefix"/lib/cumulo-search/*; do
  name=$(basename "$file")
  case $name in
    cumulo-search) ;;
    *.vlr) cp "$file" "$scratch/runtime/${name%.vlr}.vlx" ;;
    *) cp "$file" "$scratch/runtime/" ;;
  esac
done
mkdir -p "$scratch/home/.config/Tarnwick"
printf '[Install]\nPath=%s\n' "$scratch/runtime" > "$scratch/home/.config/Tarnwick/Ovra.conf"
start "$scratch/alone/cumulo-search" "$scratch/home" "$closer"
[ "$status" -eq 0 ] && grep -q "window-closer: closed" "$scratch/err" || fail "through the settings file: status $status"

rm "$scratch/home/.config/Tarnwick/Ovra.conf"
start "$scratch/alone/cumulo-search" "$scratch/home"
[ "$status" -eq 255 ] && [ "$(cat "$scratch/err")" = "Error: Not found the kernel library or the kernel library is invalid!" ] ||
  fail "without settings: status $status"
echo "installed copy: runs through the link and through the settings file, fails cleanly without either"
