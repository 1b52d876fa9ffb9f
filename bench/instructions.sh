#!/usr/bin/env bash
# This checkout against an earlier commit (default HEAD^1) in instructions counted by valgrind,
# which load on the machine does not change. Installs valgrind when missing, then runs
# bench/instructions.py with the given arguments:
#   bench/instructions.sh [--quick] [--workloads ghz,peek] [--sizes 100,1024] [REF]
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
if ! command -v valgrind >/dev/null; then
    log "installing valgrind"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq valgrind >/dev/null
fi
ensure_venv
"$VENV/bin/python" "$ROOT/bench/instructions.py" --python "$PYTHON" "$@"
