#!/usr/bin/env bash
# The main job: builds tessaryn, installs it into .venv and runs the demo.
set -euo pipefail
source "$(dirname "$0")/env.sh"
ensure_venv
install_package
log "running examples/demo.py"
"$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
