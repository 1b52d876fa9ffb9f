#!/usr/bin/env bash
# The research module's bulk calls (not part of the test run): installs stim and numpy into .venv,
# builds and installs tessaryn, then runs bench/tools.py with the given arguments.
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
ensure_venv stim numpy
install_package
"$VENV/bin/python" "$ROOT/bench/tools.py" "$@"
