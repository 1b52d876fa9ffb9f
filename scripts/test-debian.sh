#!/usr/bin/env bash
# The Python tests on the CPythons this machine lacks and Debian unstable ships (3.14, 3.15): in
# a Debian unstable system kept under /var/cache/tessaryn, the module built there from this
# checkout with that system's GCC and tested as `scripts/test.sh --python-only` does here.
# The system is built by debootstrap when missing or broken (a minute or two, about 0.8 GB).
# Needs root; without it (or without unshare and chroot) the tests are skipped, saying why, and
# the exit status is 0.
#   scripts/test-debian.sh                  every CPython the system carries, one after another
#   scripts/test-debian.sh 3.15             only that one (repeatable)
#   scripts/test-debian.sh 3.15 -- -k peek  arguments after -- go to pytest
#   scripts/test-debian.sh --prepare        only build what the tests need and keep it: the
#                                           system, and the wheels of stim it lacks (below)
# stim, the tests' second oracle, has no released wheel for 3.15: one is built from its source
# distribution once, about nine minutes on one core, and kept beside the system (debian.sh).
set -euo pipefail
source "$(dirname "$0")/env.sh"
source "$ROOT/scripts/debian.sh"

system=debian-sid-$(debian_arch "$(uname -m)")
if ! info=$(system_info "$system"); then
    echo "skipped: no Debian unstable system is known for $(uname -m)"
    exit 0
fi
carried=(${info#* * })

versions=()
prepare=0
while [ $# -gt 0 ]; do
    case "$1" in
        --) shift; break ;;
        --prepare) prepare=1 ;;
        3.*) [[ " ${carried[*]} " == *" $1 "* ]] || { echo "$system carries CPython ${carried[*]}, not $1" >&2; exit 2; }
             versions+=("$1") ;;
        *) echo "unknown argument: $1 (a CPython version such as 3.15; pytest arguments go after --)" >&2; exit 2 ;;
    esac
    shift
done
[ ${#versions[@]} -gt 0 ] || versions=("${carried[@]}")

problem=$(systems_unavailable)
if [ -n "$problem" ]; then
    echo "skipped: the Python tests on CPython ${versions[*]} need a Debian unstable system: $problem"
    exit 0
fi
if [ "$prepare" -eq 1 ]; then
    # The system's lock goes with the subshell: the tests of another run need not wait for stim.
    (ensure_system "$system")
    for version in "${versions[@]}"; do ensure_stim_wheel "$system" "$version"; done
    exit 0
fi
ensure_system "$system"
dir=$(system_dir "$system")
sync_checkout "$dir"
for version in "${versions[@]}"; do
    log "CPython $version in $dir"
    ensure_stim_wheel "$system" "$version"
    # shellcheck disable=SC2016
    run_in_system "$dir" --bind "$(stim_wheels "$system")" /root/stim-wheels -- bash -c \
        'cd /root/tessaryn && PIP_FIND_LINKS=/root/stim-wheels PYTHON=python$0 VENV=/root/venv-$0 exec scripts/test.sh --python-only -- "$@"' \
        "$version" "$@"
done
