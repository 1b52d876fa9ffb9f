#!/usr/bin/env bash
# The Python tests on CPython 3.14, which this machine lacks: in a Debian unstable system (the
# suite that ships 3.14) kept under /var/cache/tessaryn, the module built there from this
# checkout with that system's GCC and tested as `scripts/test.sh --python-only` does here.
# The system is built by debootstrap when missing or broken (a few minutes, about 1 GB). Needs root.
#   scripts/test-py314.sh                the Python tests
#   scripts/test-py314.sh -- -k peek     arguments after -- go to pytest
set -euo pipefail
source "$(dirname "$0")/env.sh"
source "$ROOT/scripts/debian.sh"

case "${1:-}" in
    "") ;;
    --) ;;
    *) echo "unknown argument: $1 (pytest arguments go after --)" >&2; exit 2 ;;
esac

system=debian-sid-$(debian_arch "$(uname -m)")
ensure_system "$system"
dir=$(system_dir "$system")
sync_checkout "$dir"
log "CPython 3.14 in $dir"
# shellcheck disable=SC2016
run_in_system "$dir" -- bash -c 'cd /root/tessaryn && PYTHON=python3.14 VENV=/root/venv-3.14 exec scripts/test.sh --python-only "$@"' \
    test-py314 "$@"
