#!/usr/bin/env bash
# Builds one wheel of the checkout this script is in, as a user's `pip wheel .` would (isolated,
# in a temporary directory, scikit-build-core fetched by pip) with the given CPython, on this
# machine or inside a Debian system, into OUT_DIR. Used by scripts/wheels.sh.
#   scripts/wheel/build.sh PYTHON OUT_DIR
# With ZIG (the zig binary) and ZIG_TARGET (such as x86_64-linux-gnu.2.17) set, zig compiles;
# otherwise this machine's compiler does.
set -euo pipefail
python=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$here/pip.sh"
if [ -n "${ZIG:-}" ]; then
    export CXX="$here/c++"
    # Debian keeps pyconfig.h per architecture, under /usr/include/<multiarch>/, which a compiler
    # targeting another glibc does not search (nor should it: the rest is this machine's libc).
    # Only that header is put on its path.
    header=$("$python" -c 'import os, sysconfig
multiarch = sysconfig.get_config_var("MULTIARCH") or ""
version = "python%d.%d" % __import__("sys").version_info[:2]
print(os.path.join("/usr/include", multiarch, version, "pyconfig.h") if multiarch else "")')
    if [ -n "$header" ] && [ -f "$header" ]; then
        relative=${header#/usr/include/}
        mkdir -p "$work/include/$(dirname "$relative")"
        ln -s "$header" "$work/include/$relative"
        export CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-isystem $work/include"
    fi
fi
if ! log=$(pip_for "$python" wheel --disable-pip-version-check --no-deps --wheel-dir "$out" "$here/../.." 2>&1); then
    printf '%s\n' "$log" | grep -v '^WARNING: Location' >&2
    exit 1
fi
