#!/usr/bin/env bash
# Runs every test: the C++ engine tests (optimised, then under address and undefined-behaviour
# sanitizers), the Python tests, and the Python tests again against a module built with those
# sanitizers. Installs what it needs. Exits non-zero on any failure.
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
    apt_get update -qq
    apt_get install -y -qq libgtest-dev >/dev/null
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

# The Python tests against a module built with the address and undefined-behaviour sanitizers,
# in a venv of its own. The interpreter itself is not instrumented, so the sanitizer runtime
# has to be loaded first, and the C++ runtime with it: otherwise the sanitizer's interception
# of C++ exceptions finds no runtime to hand them to and the first one aborts the interpreter.
run_sanitized_python_tests() {
    local venv="$ROOT/.venv-sanitize"
    log "Python tests against a sanitized module ($venv)"
    VENV="$venv" ensure_venv pytest stim
    VENV="$venv" ensure_optional numpy networkx  # a Dask cluster of sanitised processes adds only time
    PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        --no-build-isolation -C "build-dir=$ROOT/build/sanitize-{wheel_tag}" -C cmake.build-type=Debug \
        -C cmake.define.TESSARYN_SANITIZE=ON "$ROOT" 2>&1 | { grep -v '^WARNING: Location' || true; }
    local preload
    preload="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so)"
    # The sanitizer's allocator returns null for a request it cannot meet, as malloc does, instead of
    # ending the process: tests ask for arrays too large to hold and expect MemoryError.
    (cd "$ROOT" && LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "${pytest_args[@]}")
}

ensure_venv pytest stim mypy
# Dask's cluster test runs once, in the full run; other interpreters skip it rather than install it.
if [ "$python_only" -eq 0 ]; then ensure_optional; else ensure_optional numpy networkx; fi
if [ "$python_only" -eq 0 ]; then
    ensure_gtest
    run_cpp_tests cpp-release -DCMAKE_BUILD_TYPE=Release
    run_cpp_tests cpp-sanitize -DCMAKE_BUILD_TYPE=Debug -DTESSARYN_SANITIZE=ON
fi
install_package
log "Python tests with $("$VENV/bin/python" --version)"
cd "$ROOT"
"$VENV/bin/python" -m pytest -q tests/python "${pytest_args[@]}"
# The oracles again with the research simulators' groups forced into tableaux at every controlled-Z,
# then moved to the other form by each one (tests/python/conftest.py's --forms, which sets each
# simulator's policy through a private hook), so that every call meets both forms and every move
# between them. Once, in the full run: the forms are the engine's, the same on every interpreter.
for forms in $([ "$python_only" -eq 0 ] && echo tableau thrash); do
    log "Python oracles with groups forced to form: $forms"
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider --forms "$forms" tests/python/test_against_stim.py \
        tests/python/test_peek_and_groups.py tests/python/test_tools.py tests/python/test_measure.py \
        tests/python/test_two_qubit_gates.py "${pytest_args[@]}"
done
if [ "$python_only" -eq 0 ]; then
    run_sanitized_python_tests
fi
