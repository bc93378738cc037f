#!/usr/bin/env bash
# Sets up a Debian 12 machine for this project, builds it, and then either
# starts the client ("run") or runs the whole test suite ("test").
# Run as root (or with sudo). Safe to run again: installs only what is missing.
set -euo pipefail

mode="${1:-build}"
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"

packages=(
    qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins qt5-style-plugin-plastique
    libminiupnpc-dev zlib1g-dev pkg-config cmake g++ make
    clang-format iproute2 util-linux lame
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
        [[ $(id -u) -eq 0 ]] || sudo="sudo"
        echo "Installing: ${missing[*]}"
        $sudo apt-get update
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

configure_and_build() { # dir, extra cmake args...
    local dir="$1"; shift
    cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
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
    local cmd="cd '$dir' && ctest --output-on-failure -j $jobs --timeout 600"
    if unshare --net true 2>/dev/null; then
        unshare --net bash -c "ip link set lo up && $cmd"
    else
        echo "(no private network namespace here; running on the host network)"
        bash -c "$cmd"
    fi
}

install_missing
case "$mode" in
    build)
        configure_and_build "$top/build/normal"
        ;;
    run)
        configure_and_build "$top/build/normal"
        exe="$top/build/normal/src/tavenook"
        if [[ ! -x "$exe" ]]; then
            echo "The client program is not built yet." >&2
            exit 1
        fi
        exec "$exe"
        ;;
    test)
        check_format
        configure_and_build "$top/build/normal"
        run_ctest "$top/build/normal"
        for b in "$top"/build/normal/bench/bench_*; do
            if [[ -f "$b" && -x "$b" ]]; then
                "$b" --quick
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
