#!/usr/bin/env bash
# Scaling benchmark (not part of the test run): installs stim and matplotlib into .venv, builds
# and installs tessaryn, then runs bench/scaling.py with the given arguments, e.g. --quick or
# --max-n 1000000.
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
ensure_venv stim matplotlib
install_package
"$VENV/bin/python" "$ROOT/bench/scaling.py" "$@"
