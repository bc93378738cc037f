#!/usr/bin/env bash
# The run command of scripts/setup.sh stopped as Ctrl+C stops it (SIGINT to
# its whole process group), five times, then once by SIGTERM to the script
# alone: each time the client saves its store and nothing the command
# started is left running.
# Usage: runstop.sh <source dir> <build dir>. Exit 77 (skip) without Xvfb.
set -u
# Job control: the command runs in a process group of its own, and without
# it a background start would ignore SIGINT, unlike one at a terminal.
set -m
top="$1"
build="$2"
if ! command -v Xvfb >/dev/null || ! command -v setsid >/dev/null; then
    echo "Xvfb or setsid is not installed; skipping"
    exit 77
fi

work="$(mktemp -d)"
home="$work/home"
mkdir "$home"
# Everything the run command starts inherits this run's HOME.
left() {
    local p
    for p in /proc/[0-9]*; do
        [[ "${p#/proc/}" == "$$" ]] && continue
        if { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qxF "HOME=$home"; then
            echo "${p#/proc/} $({ tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null)"
        fi
    done
}
cleanup() {
    local pid rest
    while read -r pid rest; do
        [[ -n "$pid" ]] && kill -9 "$pid" 2>/dev/null
    done < <(left)
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; tail -30 "$work/run.log"; exit 1; }
wait_for() { # condition; polls for up to two minutes
    local deadline=$((SECONDS + 120))
    until eval "$1"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

for round in 1 2 3 4 5 6; do
    rm -f "$home"/.Tavenook*
    # A first run each time: only a saved store brings the files back.
    env -u DISPLAY -u TAVENOOK_SERVER HOME="$home" TAVENOOK_BUILD_DIR="$build" \
        ASAN_OPTIONS=detect_leaks=0 bash "$top/scripts/setup.sh" run >"$work/run.log" 2>&1 &
    group=$!
    wait_for 'grep -q "The client is running" "$work/run.log" || ! kill -0 $group 2>/dev/null' ||
        fail "round $round: the client did not start"
    kill -0 "$group" 2>/dev/null || fail "round $round: the run command ended by itself"
    if ((round <= 5)); then
        kill -INT -- "-$group"
    else
        kill -TERM "$group"
    fi
    wait_for '! kill -0 $group 2>/dev/null' || fail "round $round: the run command did not end"
    wait "$group"
    status=$?
    ((status == 0)) || fail "round $round: exit status $status"
    remaining="$(left)"
    [[ -z "$remaining" ]] || fail "round $round: still running: $remaining"
    compgen -G "$home/.Tavenook.*[0-9]" >/dev/null || fail "round $round: no store was saved"
    echo "round $round: stopped in order, store saved"
done
echo "PASS"
