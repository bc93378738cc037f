#!/usr/bin/env bash
# Sets up a Debian 12 machine for this project, builds it, and then either
# starts the client ("run") or runs the whole test suite ("test").
# Run as root (or with sudo). Safe to run again: installs only what is missing.
set -euo pipefail

mode="${1:-build}"
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"
# A parallelism the user set for builds or tests (a shared machine, say)
# wins over the machine's size.
build_jobs=(-j "$jobs")
[[ -z "${CMAKE_BUILD_PARALLEL_LEVEL:-}" ]] || build_jobs=()
test_jobs="-j $jobs"
[[ -z "${CTEST_PARALLEL_LEVEL:-}" ]] || test_jobs=""

packages=(
    qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins qt5-style-plugin-plastique
    libminiupnpc-dev zlib1g-dev pkg-config cmake g++ make
    clang-format iproute2 util-linux lame famfamfam-flag-png
    xvfb x11-utils imagemagick
)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
            missing+=("$p")
        fi
    done
    if ((${#missing[@]})); then
        local sudo=""
        if [[ $(id -u) -ne 0 ]]; then
            # sudo only helps when it can run without a password or can ask for one.
            if ! command -v sudo >/dev/null || ! { sudo -n true 2>/dev/null || [[ -t 0 ]]; }; then
                echo "Please install these packages as root, then run this again:" >&2
                echo "    apt-get install ${missing[*]}" >&2
                exit 1
            fi
            sudo="sudo"
        fi
        echo "Installing: ${missing[*]}"
        $sudo apt-get update
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

configure_and_build() { # dir, extra cmake args...
    local dir="$1"; shift
    cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" "${build_jobs[@]}"
}

check_format() {
    local files
    mapfile -t files < <(cd "$top" && find src tests bench -name '*.cpp' -o -name '*.h' | sort)
    if ((${#files[@]})); then
        (cd "$top" && clang-format --dry-run --Werror "${files[@]}")
    fi
    echo "Formatting: ${#files[@]} files checked"
}

# Runs ctest with no network but loopback when the machine lets us make a
# private network namespace; the tests only use 127.0.0.1 either way.
run_ctest() { # build dir
    local dir="$1"
    local cmd="cd '$dir' && ctest --output-on-failure $test_jobs --timeout 600"
    if unshare --net true 2>/dev/null; then
        unshare --net bash -c "ip link set lo up && $cmd"
    else
        echo "(no private network namespace here; running on the host network)"
        bash -c "$cmd"
    fi
}

# Builds the client and the loopback test server (in TAVENOOK_BUILD_DIR,
# by default build/normal) and starts the client. Without TAVENOOK_SERVER
# the test server runs too and the client logs in to it; without a display
# the client runs on Xvfb, logged in, and a screenshot of its window is
# saved. Runs until interrupted.
run_client() {
    local dir="${TAVENOOK_BUILD_DIR:-$top/build/normal}"
    local server_log="" pid
    # Global, so that the exit trap still finds them after this returns.
    pids=()
    work=""
    stopping=0
    # Newest first, each waited for: the client saves its store on SIGTERM
    # and needs its display and server until it is done. A process that
    # does not end within half a minute is killed.
    stop_all() {
        trap '' INT TERM
        local i pid deadline
        for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
            pid="${pids[i]}"
            kill "$pid" 2>/dev/null || continue
            deadline=$((SECONDS + 30))
            while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do
                sleep 0.1
            done
            kill -9 "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        done
        if [[ -n "$work" ]]; then rm -rf "$work"; fi
    }
    trap stop_all EXIT
    # Ends the newest child started, one that failed to come up.
    stop_newest() {
        local pid="${pids[-1]}"
        unset 'pids[-1]'
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    }
    # Until the client runs, Ctrl+C (or SIGTERM) is only noted, and the
    # script stops at its next step: a child started a moment before is then
    # already on the list that stop_all ends.
    trap 'stopping=1' INT TERM
    stop_if_asked() { if ((stopping)); then exit 0; fi; }
    # Ctrl+C reaches the whole foreground process group: each child runs in
    # a session of its own, so that only this script hears it and stops them
    # in order (a display gone first would cost the client its store).
    # setsid execs in place, so $! is the program itself.
    wait_for() { # condition, seconds (default 60)
        local deadline=$((SECONDS + ${2:-60}))
        until eval "$1"; do
            stop_if_asked
            ((SECONDS < deadline)) || return 1
            sleep 0.2
        done
        stop_if_asked
    }
    # A probe while it starts runs in the background and is waited for with
    # `wait`, which a noted signal always ends. Waited for in the
    # foreground, a child that never saw the Ctrl+C (timeout puts its
    # command in a group of its own) and then ends normally makes the shell
    # take the signal for one the child handled, and drop it unnoted; and a
    # note taken while the shell reads a command substitution can break its
    # parsing. The waits below use neither.
    probe() { # command...
        "$@" &
        local pid=$! status=0
        wait "$pid" || status=$?
        if ((stopping)); then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
        return "$status"
    }
    if ! cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ||
        ! cmake --build "$dir" "${build_jobs[@]}" --target tavenook tavenook-testserver; then
        stop_if_asked
        exit 1
    fi
    stop_if_asked
    local exe="$dir/src/tavenook" testserver="$dir/tests/tavenook-testserver"
    work="$(mktemp -d)"
    if [[ -z "${TAVENOOK_SERVER:-}" ]]; then
        local port
        server_log="$work/server.log"
        # The usual port, else any free one, which the server names.
        for port in 2242 0; do
            setsid "$testserver" "$port" >"$server_log" 2>&1 &
            pid=$!
            pids+=("$pid")
            if wait_for 'grep -q "listening on" "$server_log" || ! kill -0 $pid 2>/dev/null'; then
                local line
                while read -r line; do
                    if [[ "$line" =~ listening\ on\ 127\.0\.0\.1:([0-9]+) ]]; then
                        export TAVENOOK_SERVER="127.0.0.1:${BASH_REMATCH[1]}"
                        break 2
                    fi
                done <"$server_log"
            fi
            stop_newest
        done
        [[ -n "${TAVENOOK_SERVER:-}" ]] || { echo "The test server could not listen." >&2; exit 1; }
        echo "TAVENOOK_SERVER is not set: started the loopback test server; the client logs in to $TAVENOOK_SERVER."
        # A trial against the loopback server stays on this machine: no release
        # check on the web host and no router discovery.
        export TAVENOOK_UPDATE_URL="${TAVENOOK_UPDATE_URL:-http://127.0.0.1:9/qtversion.txt}"
        export TAVENOOK_NO_UPNP="${TAVENOOK_NO_UPNP:-1}"
    fi
    local client=""
    if [[ -n "${DISPLAY:-}" ]]; then
        setsid "$exe" &
        client=$!
        pids+=("$client")
    else
        # Nobody can answer the first-run questions on a virtual screen.
        export TAVENOOK_USERNAME="${TAVENOOK_USERNAME:-tavenook-$(id -un)}"
        export TAVENOOK_PASSWORD="${TAVENOOK_PASSWORD:-tavenook}"
        # A display that its clients cannot reach (another X server starting
        # at the same moment may take its socket) is given up for the next.
        local try display="" window="" xvfb
        # Its title shows the user's name once logged in.
        window_shown() {
            local id rest
            window=""
            probe timeout 10 xwininfo -root -tree >"$work/windows" 2>/dev/null || true
            while read -r id rest; do
                if [[ "$rest" == *'TavenookQt build'*'['* ]]; then
                    window="$id"
                    return 0
                fi
            done <"$work/windows"
            return 1
        }
        for try in 1 2 3; do
            rm -f "$work/display"
            # Only the abstract socket, which belongs to this network
            # namespace: a socket file in /tmp may be replaced by an X server
            # of another namespace, and a client that reaches it waits for
            # ever.
            setsid Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -nolisten unix \
                3>"$work/display" >"$work/xvfb.log" 2>&1 &
            xvfb=$!
            pids+=("$xvfb")
            display=""
            if wait_for '[[ -s "$work/display" ]] || ! kill -0 $xvfb 2>/dev/null' &&
                [[ -s "$work/display" ]]; then
                read -r display <"$work/display" || true
                display=":$display"
            fi
            if [[ -z "$display" ]] ||
                ! wait_for 'probe timeout 10 xdpyinfo -display "$display" >/dev/null 2>&1 || ! kill -0 $xvfb 2>/dev/null' 20 ||
                ! kill -0 "$xvfb" 2>/dev/null; then
                stop_newest
                continue
            fi
            export DISPLAY="$display"
            echo "No display: the client runs on Xvfb at $DISPLAY."
            setsid "$exe" &
            client=$!
            pids+=("$client")
            wait_for 'window_shown || ! kill -0 $client 2>/dev/null' ||
                echo "The window did not show a logged-in user name in time." >&2
            kill -0 "$client" 2>/dev/null && break
            echo "The client ended at its start; trying a new display." >&2
            client=""
            stop_newest
            stop_newest
        done
        [[ -n "$client" ]] || { echo "Xvfb or the client did not start." >&2; cat "$work/xvfb.log" >&2; exit 1; }
        if [[ -n "$server_log" ]]; then
            wait_for 'grep -q " logged in" "$server_log"' || echo "No login reached the test server." >&2
        fi
        local shot="$dir/tavenook-window.png"
        probe timeout 60 import -window "${window:-root}" "$shot" && echo "Screenshot of the window: $shot"
        stop_if_asked
    fi
    # From here on a signal ends the wait for the client at once.
    trap 'exit 0' INT TERM
    stop_if_asked
    echo "The client is running (process $client); press Ctrl+C to stop."
    wait "$client" || true
}

install_missing
case "$mode" in
    build)
        configure_and_build "$top/build/normal"
        ;;
    run)
        run_client
        ;;
    test)
        check_format
        configure_and_build "$top/build/normal"
        run_ctest "$top/build/normal"
        for b in "$top"/build/normal/bench/bench_*; do
            if [[ -f "$b" && -x "$b" ]]; then
                # A benchmark that hangs must not hold the test run.
                timeout 900 "$b" --quick
            fi
        done
        configure_and_build "$top/build/asan" -DTAVENOOK_SANITIZE=ON -DTAVENOOK_BUILD_BENCH=OFF
        run_ctest "$top/build/asan"
        ;;
    *)
        echo "usage: $0 [build|run|test]" >&2
        exit 2
        ;;
esac
