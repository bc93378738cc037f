#!/usr/bin/env bash
# The built client in a real X window on Xvfb, against the loopback server: it maps with
# the user name in its title once logged in, takes a second start's arguments without a
# second window, shows more than one colour, and at SIGTERM shuts down in order and saves.
# Usage: realwindow.sh <client> <test server>. Exit 77 (skip) without Xvfb.
set -u
client="$1"
testserver="$2"
if ! command -v Xvfb >/dev/null; then
    echo "Xvfb is not installed; skipping the real-window check"
    exit 77
fi
for tool in xwininfo import identify; do
    command -v "$tool" >/dev/null || { echo "missing $tool (x11-utils, imagemagick)"; exit 1; }
done

work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; cat "$work"/*.log 2>/dev/null | tail -40; exit 1; }
# Polls a condition for up to two minutes; no fixed waits.
wait_for() {
    local deadline=$((SECONDS + 120))
    until eval "$1"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

# Xvfb picks a free display itself and writes its number once it is ready.
# Only its abstract socket, private to this network namespace.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -nolisten unix 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for '[[ -s "$work/display" ]]' || fail "Xvfb did not start"
display=":$(head -n1 "$work/display")"

# The server takes a free port and names it.
"$testserver" 0 >"$work/server.log" 2>&1 &
pid=$!
pids+=($pid)
wait_for 'grep -q "listening on" "$work/server.log" || ! kill -0 $pid 2>/dev/null' ||
    fail "the test server did not start"
port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log" | head -n1)"
[[ -n "$port" ]] || fail "the test server found no free port"

user="realwindow"
mkdir "$work/home"
# Leaks are checked under the offscreen platform; xcb and D-Bus keep memory of their own.
HOME="$work/home" DISPLAY="$display" QT_QPA_PLATFORM=xcb TAVENOOK_SERVER="127.0.0.1:$port" \
    TAVENOOK_USERNAME="$user" TAVENOOK_PASSWORD=pw TAVENOOK_NO_UPNP=1 ASAN_OPTIONS=detect_leaks=0 \
    TAVENOOK_UPDATE_URL="http://127.0.0.1:9/qtversion.txt" "$client" >"$work/client.log" 2>&1 &
first=$! && pids+=("$first")

title="TavenookQt build 2013.2.26 [$user]"
wait_for 'grep -q "$user logged in" "$work/server.log"' || fail "no login reached the server"
wait_for 'timeout 10 xwininfo -display "$display" -name "$title" 2>/dev/null | grep -q IsViewable' ||
    fail "no viewable window titled \"$title\""
# A second start with the same home hands its arguments to the first and
# exits 0 without a window of its own.
HOME="$work/home" DISPLAY="$display" QT_QPA_PLATFORM=xcb ASAN_OPTIONS=detect_leaks=0 \
    timeout 120 "$client" hello second >"$work/second.log" 2>&1 || fail "second start: exit $?"
wait_for 'grep -q "handed over: hello second" "$work/client.log"' ||
    fail "the first instance did not receive the second start's arguments"
windows="$(timeout 10 xwininfo -display "$display" -root -tree | grep -cF "\"$title\"")"
((windows == 1)) || fail "$windows windows titled \"$title\" after a second start"
timeout 60 import -display "$display" -window root "$work/shot.png" || fail "no screenshot"
colours="$(identify -format %k "$work/shot.png")"
((colours > 1)) || fail "the screenshot is blank ($colours colour)"
kill "$first" && wait "$first" || fail "SIGTERM: the client exited with $?"
compgen -G "$work/home/.Tavenook.*" >/dev/null || fail "SIGTERM: no store was saved"
echo "\"$title\" mapped, logged in, took a second start's arguments, saved at SIGTERM"
