#!/usr/bin/env bash
# The run command of scripts/setup.sh stopped as Ctrl+C stops it (SIGINT to
# its whole process group), five times, then once by SIGTERM to the script
# alone: each time the client saves its store and nothing the command
# started is left running. Then Ctrl+C twice while it is still starting
# (building, and bringing up the display and the client): it ends with
# status 0 and leaves nothing running.
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
fail() { echo "FAIL: $*"; tail -30 "$log"; exit 1; }
wait_for() { # condition; polls for up to two minutes
    local deadline=$((SECONDS + 120))
    until eval "$1"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

for round in 1 2 3 4 5 6 7 8; do
    rm -f "$home"/.Tavenook*
    # A log of its own each round: the last round's "running" line must not
    # be taken for this one's.
    log="$work/run-$round.log"
    # A first run each time: only a saved store brings the files back. A
    # caller that ignores SIGINT (a background start) must not pass that on:
    # the run command could not trap it.
    env --default-signal=INT -u DISPLAY -u TAVENOOK_SERVER HOME="$home" TAVENOOK_BUILD_DIR="$build" \
        ASAN_OPTIONS=detect_leaks=0 bash "$top/scripts/setup.sh" run >"$log" 2>&1 &
    group=$!
    case $round in
        7) started='[[ -s "$log" ]]' ;;                  # its build has begun
        8) started='grep -q "No display" "$log"' ;;      # the client starting
        *) started='grep -q "The client is running" "$log"' ;;
    esac
    wait_for "$started"' 2>/dev/null || ! kill -0 $group 2>/dev/null' ||
        fail "round $round: the client did not start"
    kill -0 "$group" 2>/dev/null || fail "round $round: the run command ended by itself"
    if ((round == 6)); then
        kill -TERM "$group"
    else
        kill -INT -- "-$group"
    fi
    wait_for '! kill -0 $group 2>/dev/null' || fail "round $round: the run command did not end"
    wait "$group"
    status=$?
    ((status == 0)) || fail "round $round: exit status $status"
    remaining="$(left)"
    [[ -z "$remaining" ]] || fail "round $round: still running: $remaining"
    if ((round <= 6)); then
        compgen -G "$home/.Tavenook.*[0-9]" >/dev/null || fail "round $round: no store was saved"
        echo "round $round: stopped in order, store saved"
    else
        echo "round $round: stopped while starting"
    fi
done
echo "PASS"
