#!/usr/bin/env bash
# Runs a command roughly as the service unit's sandbox would, where no systemd
# manager runs: called by `unshare --mount` (in a mount namespace of its own,
# nothing here is seen outside), it makes every mount read-only but the state
# directory, shows /var/lib/private as the unit's namespace shows it (only the
# service's own directory, reachable) and runs the command as a user of its
# own without capabilities or new privileges. /tmp stays read-only too, which
# is stricter than the unit's private /tmp.
# Arguments: <uid> <state directory under .../private/> <empty directory> <command ...>
set -euo pipefail
uid=$1 state=$2 holder=$3
shift 3
private=$(dirname "$state")

# The state directory, kept aside while /var/lib/private becomes a tmpfs that
# holds only it.
mount --bind "$state" "$holder"
mount -t tmpfs -o mode=0755 tmpfs "$private"
mkdir "$state"
mount --move "$holder" "$state"

findmnt -rn -o TARGET | while read -r target; do
  target=$(printf '%b' "$target")  # findmnt writes a space as \x20
  [ "$target" = "$state" ] || mount -o remount,bind,ro "$target" 2>/dev/null || true
done
as_service=(setpriv --reuid="$uid" --regid="$uid" --clear-groups --no-new-privs --inh-caps=-all --bounding-set=-all)
if "${as_service[@]}" touch /tmp/confine-probe 2>/dev/null; then
  rm -f /tmp/confine-probe
  echo "confine.sh: /tmp is still writable; the system did not become read-only" >&2
  exit 1
fi
"${as_service[@]}" touch "$state/confine-probe" || { echo "confine.sh: the state directory is not writable" >&2; exit 1; }
rm "$state/confine-probe"
cd /
exec "${as_service[@]}" -- "$@"
