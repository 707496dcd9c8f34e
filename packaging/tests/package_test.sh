#!/usr/bin/env bash
# Builds the Debian package from the build tree with cpack and checks it as
# Debian and a user would: lintian (no error, no warning that the package's
# overrides do not explain), the control fields, the file list, then the
# unpacked files: the menu entry and the AppStream file validate; the system
# units verify, the socket listens where the tool asks and the service's
# exposure level is at most 1.5; the maintainer scripts enable, disable and
# purge in a scratch root; and the launcher started through
# /usr/bin/cumulo-search with an empty home opens its window and a search for
# "Python" gets its rows from the unpacked service, started by its first
# connection as the socket unit starts it, confined to its state directory.
# Arguments: <build dir> <packaging source dir> <window closer library> <the service's
# address the tool asks>
set -euo pipefail
build=$1 packaging=$2 closer=$3 service_host=$4
scratch=$(mktemp -d)
# The service runs as a user of its own and must reach its program and state in here.
chmod 755 "$scratch"
server_pid='' network_pid=''
cleanup() {
  local pid
  for pid in $server_pid $network_pid; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

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

# The system units: the socket listens where the tool asks, the service runs
# the installed program, and systemd finds nothing to remark in either. For
# the check, the service's path moves into the scratch root (systemd must find
# the program) and man looks there for the manual page the units name.
units=$root/lib/systemd/system
listen=$(sed -n 's/^ListenStream=//p' "$units/cumulo-server.socket")
[ "$listen" = "$service_host" ] ||
  fail "the socket listens on '$listen', the tool asks $service_host" "$units/cumulo-server.socket"
exec_start=$(sed -n 's/^ExecStart=//p' "$units/cumulo-server.service")
[ "$exec_start" = /usr/bin/cumulo-server ] || fail "the service's ExecStart is '$exec_start'" "$units/cumulo-server.service"
mkdir "$scratch/units" && mkdir -m 700 "$scratch/run"
cp "$units/cumulo-server.socket" "$scratch/units/"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$units/cumulo-server.service" > "$scratch/units/cumulo-server.service"
MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/units/cumulo-server.socket" \
    "$scratch/units/cumulo-server.service" > "$scratch/units.log" 2>&1 || fail "systemd-analyze verify" "$scratch/units.log"
[ ! -s "$scratch/units.log" ] || fail "systemd-analyze verify has remarks" "$scratch/units.log"
systemd-analyze security --offline=yes --no-pager "$scratch/units/cumulo-server.service" > "$scratch/security.log" 2>&1 ||
  fail "systemd-analyze security" "$scratch/security.log"
exposure=$(sed -n 's/^.*Overall exposure level for cumulo-server.service: \([0-9.]*\) .*$/\1/p' "$scratch/security.log")
[ -n "$exposure" ] || fail "systemd-analyze security gave no exposure level" "$scratch/security.log"
awk -v level="$exposure" 'BEGIN { exit !(level <= 1.5) }' ||
  fail "the service's exposure level is $exposure, more than 1.5" "$scratch/security.log"

# The maintainer scripts, run as dpkg runs them on a system in a directory
# (DPKG_ROOT: deb-systemd-helper works there and nothing is started): install
# enables the socket; remove leaves the state and masks the socket; purge
# forgets both and deletes the state directory systemd made for the service.
dpkg-deb -e "$deb" "$scratch/control"
wants=$root/etc/systemd/system/sockets.target.wants/cumulo-server.socket
maintainer() {
  DPKG_ROOT=$root DPKG_MAINTSCRIPT_PACKAGE=cumulo-search DPKG_MAINTSCRIPT_NAME=$1 \
      "$scratch/control/$1" "${@:2}" > "$scratch/maintainer.log" 2>&1 ||
    fail "$1 $2 failed" "$scratch/maintainer.log"
}
maintainer postinst configure
[ "$(readlink "$wants")" = /lib/systemd/system/cumulo-server.socket ] || fail "postinst did not enable the socket"
mkdir -p "$root/var/lib" && mkdir -m 700 "$root/var/lib/private" && mkdir "$root/var/lib/private/cumulo-search"
ln -s private/cumulo-search "$root/var/lib/cumulo-search" && touch "$root/var/lib/cumulo-search/index.sqlite"
maintainer prerm remove
maintainer postrm remove
[ -e "$root/var/lib/cumulo-search/index.sqlite" ] || fail "removing the package deleted the catalogue"
[ "$(readlink "$root/etc/systemd/system/cumulo-server.socket")" = /dev/null ] || fail "postrm remove did not mask the socket"
maintainer postrm purge
if [ -L "$wants" ] || [ -L "$root/etc/systemd/system/cumulo-server.socket" ]; then
  fail "purging left the socket enabled or masked"
fi
if [ -e "$root/var/lib/private/cumulo-search" ] || [ -L "$root/var/lib/cumulo-search" ]; then
  fail "purging left the service's state: $(ls -la "$root/var/lib" "$root/var/lib/private")"
fi
rm -rf "${root:?}/etc" "${root:?}/var"

# The service as its units run it, with no systemd manager: systemd-socket-
# activate holds the socket's address and starts the unit's ExecStart with the
# unit's environment at the first connection, and the state directory is laid
# out as systemd lays it out for a dynamic user. As root, the socket is the
# unit's very address in a network of its own (shared with the launcher, which
# asks there unredirected), and the service runs as a user of its own in a
# system mounted read-only but for that directory, so it must manage with the
# state directory as its only writable place. The unit's system-call filter needs systemd to apply it, so strace
# records the calls the service makes (in the same process, -D, so that the
# socket is still its own) and they are checked against the filter afterwards.
state_root=$scratch/system/var/lib
mkdir -p "$state_root" && mkdir -m 700 "$state_root/private" "$state_root/private/cumulo-search"
ln -s private/cumulo-search "$state_root/cumulo-search"
unit_environment=(-E "STATE_DIRECTORY=$state_root/cumulo-search")
while read -r assignment; do
  unit_environment+=(-E "$assignment")
done < <(sed -n 's/^Environment=//p' "$units/cumulo-server.service")
confine=() in_network=() redirect=() host_name=()
if [ "$(id -u)" -eq 0 ] && unshare --mount --net true 2>/dev/null; then
  unshare --net sleep 600 &
  network_pid=$!
  # Until unshare has run, the child's namespace is still this one.
  for _ in $(seq 100); do
    [ "$(readlink "/proc/$network_pid/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.05
  done
  [ "$(readlink "/proc/$network_pid/ns/net")" != "$(readlink /proc/self/ns/net)" ] || fail "no network namespace of its own"
  in_network=(nsenter "--net=/proc/$network_pid/ns/net")
  "${in_network[@]}" ip link set lo up
  address=$listen
  uid=$((61184 + RANDOM % 4000))
  chown "$uid:$uid" "$state_root/private/cumulo-search"
  mkdir "$scratch/holder"
  confine=(unshare --mount -- "$packaging/tests/confine.sh" "$uid" "$state_root/private/cumulo-search" "$scratch/holder")
  echo "package: the service runs as uid $uid with only its state directory writable"
else
  # Without root the socket takes a free port: the tool is sent there and the
  # service is told the name the tool gives.
  address=127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  redirect=(CUMULO_CONNECT_TO="$listen:$address")
  host_name=(--host-name "$listen")
  echo "package: the service runs unconfined on $address (confining it takes root and namespaces)"
  # Never as root, which the unit's dynamic user never is (SQLite hands its files
  # to the catalogue's owner only when it runs as root).
  if [ "$(id -u)" -eq 0 ]; then
    uid=$((61184 + RANDOM % 4000))
    chown "$uid:$uid" "$state_root/private/cumulo-search"
    chmod 755 "$state_root/private"
    confine=(setpriv --reuid="$uid" --regid="$uid" --clear-groups --no-new-privs)
  fi
fi
"${in_network[@]}" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin strace -D -f -q -o "$scratch/calls" \
    systemd-socket-activate -l "$address" "${unit_environment[@]}" \
    "${confine[@]}" "$root$exec_start" "${host_name[@]}" > "$scratch/server.out" 2> "$scratch/server.err" &
server_pid=$!
for _ in $(seq 100); do
  grep -q "^Listening on $address" "$scratch/server.err" && break
  kill -0 "$server_pid" 2>/dev/null || fail "systemd-socket-activate ended" "$scratch/server.err"
  sleep 0.1
done
grep -q "^Listening on $address" "$scratch/server.err" || fail "systemd-socket-activate does not listen" "$scratch/server.err"

# The launcher through its link, with a home that stays empty: no settings
# file, nothing to configure. Twice: the second start finds the record of the
# first and maps the internet library only after its window shows.
mkdir "$scratch/home"
for start in first second; do
  status=0
  "${in_network[@]}" env -i HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=offscreen \
      LD_PRELOAD="$closer" CUMULO_TEST_SEARCH=Python "${redirect[@]}" \
      timeout 60 "$root/usr/bin/cumulo-search" 2> "$scratch/err" || status=$?
  [ "$status" -eq 0 ] || fail "the $start start ended with status $status" "$scratch/err"
  grep -qE '^window-closer: search for "Python" gave [1-9][0-9]* rows, first ".*[Pp][Yy][Tt][Hh][Oo][Nn].*"$' "$scratch/err" ||
    { cat "$scratch/server.err" >&2; fail "the $start start's search got no rows from the service" "$scratch/err"; }
  grep -q "window-closer: closed the program's window" "$scratch/err" || fail "the window never came up" "$scratch/err"
done
# The service came up on the socket it was handed, made the sample catalogue in
# its state directory at the first search, and stops cleanly.
grep -qx "listening on $address (socket from systemd)" "$scratch/server.out" ||
  fail "the service did not serve the socket it was handed" "$scratch/server.out"
state=$state_root/private/cumulo-search
[ -s "$state/index.sqlite" ] || fail "no catalogue in the state directory: $(ls -la "$state")"
grep -q "built the sample of [0-9]* shares in $state_root/cumulo-search/index.sqlite" "$scratch/server.err" ||
  fail "the service did not make the sample in its state directory" "$scratch/server.err"
# The write token, once the service makes one, is the service's alone.
[ ! -e "$state/token" ] || [ "$(stat -c %a "$state/token")" = 600 ] || fail "the token's mode is $(stat -c %a "$state/token")"
kill "$server_pid"
status=0
wait "$server_pid" || status=$?
stopped_pid=$server_pid server_pid=
[ "$status" -eq 0 ] || fail "the service ended with status $status when stopped" "$scratch/server.err"
for _ in $(seq 100); do
  grep -q "^$stopped_pid +++ exited" "$scratch/calls" && break
  sleep 0.1
done

# Every call the service made (from its start, the last execve, to its end)
# passes the unit's filter, read as systemd reads it.
calls_of() {  # names, expanding @groups
  local name
  for name in "$@"; do
    if [[ $name == @* ]]; then
      # shellcheck disable=SC2046
      calls_of $(systemd-analyze syscall-filter "$name" | awk 'NR > 1 && NF && $1 !~ /^#/ { print $1 }')
    else
      echo "$name"
    fi
  done
}
# The lines in their order, as systemd reads them after a first allow list: a
# line adds its calls, a line starting with ~ takes them away.
: > "$scratch/calls.allowed"
while read -r line; do
  if [[ $line == ~* ]]; then
    read -ra names <<< "${line#\~}"
    calls_of "${names[@]}" | sort -u > "$scratch/calls.taken"
    comm -23 "$scratch/calls.allowed" "$scratch/calls.taken" > "$scratch/calls.left"
    mv "$scratch/calls.left" "$scratch/calls.allowed"
  else
    read -ra names <<< "$line"
    calls_of "${names[@]}" | sort -u -o "$scratch/calls.allowed" - "$scratch/calls.allowed"
  fi
done < <(sed -n 's/^SystemCallFilter=//p' "$units/cumulo-server.service")
[ -s "$scratch/calls.allowed" ] || fail "the unit has no system-call filter" "$units/cumulo-server.service"
awk -v service="execve(\"$root$exec_start\"" 'index($0, service) { on = 1 } on' "$scratch/calls" |
  sed -n 's/^[0-9]\+ \+\([a-z0-9_]\+\)(.*/\1/p' | sort -u > "$scratch/calls.made"
[ "$(wc -l < "$scratch/calls.made")" -gt 20 ] || fail "strace recorded too few of the service's calls" "$scratch/calls.made"
refused=$(comm -23 "$scratch/calls.made" "$scratch/calls.allowed")
[ -z "$refused" ] || fail "the unit's system-call filter refuses calls the service made: ${refused//$'\n'/ }"

if [ -n "$network_pid" ]; then
  kill "$network_pid"
  wait "$network_pid" 2>/dev/null || true
  network_pid=
fi

[ -f "$scratch/run/cumulo-search/bound-netsup" ] || fail "no record of the internet library in the runtime directory"
[ -z "$(ls -A "$scratch/home")" ] || fail "the run wrote into the home: $(find "$scratch/home")"
echo "package: $(basename "$deb") builds, passes lintian, installs its files and runs through /usr/bin"
echo "package: systemd-analyze security --offline=yes rates cumulo-server.service $exposure (at most 1.5)"
echo "package: the service's $(wc -l < "$scratch/calls.made") kinds of system call all pass the unit's filter"
grep "search for" "$scratch/err"
