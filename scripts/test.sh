#!/usr/bin/env bash
# Runs every test: the C++ engine tests (optimised, then under address and undefined-behaviour
# sanitizers) and the Python tests. Installs what it needs. Exits non-zero on any failure.
#   scripts/test.sh                 everything
#   scripts/test.sh --python-only   only the Python tests (used for the other interpreters)
#   extra arguments after -- go to pytest, e.g. scripts/test.sh -- -k peek
set -euo pipefail
source "$(dirname "$0")/env.sh"

python_only=0
pytest_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --python-only) python_only=1 ;;
        --) shift; pytest_args=("$@"); break ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done

ensure_gtest() {
    if [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -f /usr/lib/cmake/GTest/GTestConfig.cmake ] \
        || [ -f /usr/lib/aarch64-linux-gnu/cmake/GTest/GTestConfig.cmake ]; then
        return
    fi
    log "installing GoogleTest (libgtest-dev)"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev >/dev/null
}

run_cpp_tests() {
    local dir=$1
    shift
    log "C++ engine tests: $dir"
    PATH="$VENV/bin:$PATH" cmake -S "$ROOT" -B "$ROOT/build/$dir" -G Ninja -DTESSARYN_BUILD_MODULE=OFF \
        -DTESSARYN_BUILD_TESTS=ON -DTESSARYN_WERROR=ON "$@" >/dev/null
    PATH="$VENV/bin:$PATH" cmake --build "$ROOT/build/$dir"
    PATH="$VENV/bin:$PATH" ctest --test-dir "$ROOT/build/$dir" --output-on-failure -j 2
}

ensure_venv pytest stim
if [ "$python_only" -eq 0 ]; then
    ensure_gtest
    run_cpp_tests cpp-release -DCMAKE_BUILD_TYPE=Release
    run_cpp_tests cpp-sanitize -DCMAKE_BUILD_TYPE=Debug -DTESSARYN_SANITIZE=ON
fi
install_package
log "Python tests with $("$VENV/bin/python" --version)"
cd "$ROOT"
"$VENV/bin/python" -m pytest -q tests/python "${pytest_args[@]}"
