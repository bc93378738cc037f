#!/usr/bin/env bash
# Gives the window test an X display of its own: Xvfb on a free display,
# the test on the xcb platform, then the folder of its screenshots.
# Usage: window.sh <test executable> <screenshot folder> [test arguments].
# Exit 77 (skip) without Xvfb.
set -u
test="$1"
shots="$2"
shift 2
if ! command -v Xvfb >/dev/null; then
    echo "Xvfb is not installed; skipping the window test"
    exit 77
fi
work="$(mktemp -d)"
xvfb=""
cleanup() {
    [[ -n "$xvfb" ]] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# Xvfb picks a free display itself and writes its number once it is ready;
# only its abstract socket, private to this network namespace.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -nolisten unix 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
deadline=$((SECONDS + 60))
until [[ -s "$work/display" ]]; do
    if ((SECONDS >= deadline)) || ! kill -0 "$xvfb" 2>/dev/null; then
        echo "Xvfb did not start"
        cat "$work/xvfb.log"
        exit 1
    fi
    sleep 0.1
done
mkdir -p "$shots"
rm -f "$shots"/*.png
# xcb and D-Bus keep memory of their own until exit: no leak check here.
DISPLAY=":$(head -n1 "$work/display")" QT_QPA_PLATFORM=xcb TAVENOOK_SHOTS="$shots" \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$test" "$@"
code=$?
echo "screenshots of each main page: $shots"
exit $code
