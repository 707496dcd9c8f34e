#!/usr/bin/env bash
# Takes the README's screenshot: the tool under a virtual X server, after a
# search for "Python" against the bundled service with its sample catalogue.
#   take_screenshot.sh <build dir> <cumulo-server> <output.png>
# Needs xvfb-run, xdotool and ImageMagick's import.
set -euo pipefail
build=$(realpath "$1")
server=$(realpath "$2")
output=$(realpath -m "$3")
work=$(mktemp -d)
trap 'kill "${server_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

port=18931
"$server" --db "$work/index.sqlite" --sample 2000 --listen "127.0.0.1:$port" >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done

cat >"$work/session.sh" <<SESSION
#!/usr/bin/env bash
set -euo pipefail
export CUMULO_CONNECT_TO=127.0.0.1:8930:127.0.0.1:$port
"$build/bin/cumulo-search" & app=\$!
window=\$(xdotool search --sync --onlyvisible --name Cumulo | head -1)
# Keyword box at (75, 5, 85, 20), Search button at (290, 5, 35, 20) in the client area.
xdotool mousemove --window "\$window" 110 15 click 1
xdotool type --delay 20 Python
xdotool mousemove --window "\$window" 307 15 click 1
sleep 3
xdotool mousemove --window "\$window" 100 75 click 1
sleep 0.5
import -window root -crop 390x225+45+45 +repage "$output"
kill \$app
SESSION
chmod +x "$work/session.sh"
xvfb-run -a -s "-screen 0 800x600x24" "$work/session.sh"
echo "wrote $output"
