#!/usr/bin/env bash
# Builds the Debian package from the build tree with cpack and checks it as
# Debian and a user would: lintian (no error, no warning that the package's
# overrides do not explain), the control fields, the file list, then the
# unpacked files: the menu entry and the AppStream file validate, the user
# unit verifies, and the launcher started through /usr/bin/cumulo-search with
# an empty home opens its window and a search for "Python" gets its rows from
# the unpacked service.
# Arguments: <build dir> <packaging source dir> <window closer library>
set -euo pipefail
build=$1 packaging=$2 closer=$3
scratch=$(mktemp -d)
server_pid=
trap 'if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi; rm -rf "$scratch"' EXIT

fail() {
  echo "package test: $1" >&2
  [ -z "${2:-}" ] || cat "$2" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" > "$scratch/cpack.log" 2>&1 ||
  fail "cpack failed" "$scratch/cpack.log"
deb=$scratch/out/cumulo-search_1.0.0.0_amd64.deb
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$scratch/out")"

# Lintian: the overrides file in the package names each accepted warning with
# its reason; an override that no longer matches is an error too.
lintian --fail-on error,warning --display-info "$deb" > "$scratch/lintian.log" 2>&1 ||
  fail "lintian failed" "$scratch/lintian.log"
! grep -E "(unused|mismatched)-override" "$scratch/lintian.log" || fail "stale lintian override" "$scratch/lintian.log"

# Control fields: the version, and Depends from the shared libraries plus the font.
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package) $(field Version) $(field Architecture)" = "cumulo-search 1.0.0.0 amd64" ] ||
  fail "control fields: $(field Package) $(field Version) $(field Architecture)"
depends=$(field Depends)
for needed in fonts-wqy-microhei libc6 libqt6widgets6 libqt6gui6 libcurl4 libsqlite3-0 libicu72; do
  [[ ", $depends," == *", $needed "* || ", $depends," == *", $needed,"* ]] || fail "Depends lacks $needed: $depends"
done

# The file list, with modes, owners and link targets, as expected.
dpkg-deb --contents "$deb" | awk '{ $3 = $4 = $5 = ""; print }' | tr -s ' ' > "$scratch/contents"
diff -u "$packaging/tests/expected-contents" "$scratch/contents" > "$scratch/contents.diff" ||
  fail "the package's files differ from packaging/tests/expected-contents" "$scratch/contents.diff"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
appstreamcli validate --no-net "$root/usr/share/metainfo/net.cumulo.Search.metainfo.xml" > "$scratch/appstream.log" 2>&1 ||
  fail "appstreamcli validate" "$scratch/appstream.log"
desktop-file-validate "$root/usr/share/applications/cumulo-search.desktop" > "$scratch/desktop.log" 2>&1 ||
  fail "desktop-file-validate" "$scratch/desktop.log"
[ ! -s "$scratch/desktop.log" ] || fail "desktop-file-validate has remarks" "$scratch/desktop.log"
unit=$root/usr/lib/systemd/user/cumulo-server.service
grep -qx "ExecStart=/usr/bin/cumulo-server --listen 127.0.0.1:8930" "$unit" || fail "the unit's ExecStart" "$unit"
# systemd checks the unit as it stands, only with the service's path moved
# into the scratch root (it must find the program) and man told to look there
# for the manual page the unit names.
mkdir "$scratch/unit" && mkdir -m 700 "$scratch/run"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" > "$scratch/unit/cumulo-server.service"
MANPATH="$root/usr/share/man" XDG_RUNTIME_DIR="$scratch/run" \
    systemd-analyze verify --user "$scratch/unit/cumulo-server.service" > "$scratch/unit.log" 2>&1 ||
  fail "systemd-analyze verify" "$scratch/unit.log"
[ ! -s "$scratch/unit.log" ] || fail "systemd-analyze verify has remarks" "$scratch/unit.log"

# The unpacked service with a catalogue of its own, on a free port.
"$root/usr/bin/cumulo-server" --db "$scratch/index.sqlite" --sample 2000 --listen 127.0.0.1:0 \
    > "$scratch/server.out" 2> "$scratch/server.err" &
server_pid=$!
port=
for _ in $(seq 300); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$scratch/server.out")
  [ -z "$port" ] || break
  kill -0 "$server_pid" 2>/dev/null || fail "the unpacked service ended" "$scratch/server.err"
  sleep 0.1
done
[ -n "$port" ] || fail "the unpacked service does not listen" "$scratch/server.err"

# The launcher through its link, with a home that stays empty: no settings
# file, nothing to configure. Twice: the second start finds the record of the
# first and maps the internet library only after its window shows.
mkdir "$scratch/home"
for start in first second; do
  status=0
  env -i HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=offscreen LD_PRELOAD="$closer" \
      CUMULO_TEST_SEARCH=Python CUMULO_CONNECT_TO="127.0.0.1:8930:127.0.0.1:$port" \
      timeout 60 "$root/usr/bin/cumulo-search" 2> "$scratch/err" || status=$?
  [ "$status" -eq 0 ] || fail "the $start start ended with status $status" "$scratch/err"
  grep -qE '^window-closer: search for "Python" gave [1-9][0-9]* rows, first ".*[Pp][Yy][Tt][Hh][Oo][Nn].*"$' "$scratch/err" ||
    fail "the $start start's search got no rows from the service" "$scratch/err"
  grep -q "window-closer: closed the program's window" "$scratch/err" || fail "the window never came up" "$scratch/err"
done
[ -f "$scratch/run/cumulo-search/bound-netsup" ] || fail "no record of the internet library in the runtime directory"
[ -z "$(ls -A "$scratch/home")" ] || fail "the run wrote into the home: $(find "$scratch/home")"
echo "package: $(basename "$deb") builds, passes lintian, installs its files and runs through /usr/bin"
grep "search for" "$scratch/err"
