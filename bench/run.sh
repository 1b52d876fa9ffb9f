#!/usr/bin/env bash
# Benchmarks (not part of the test run): installs stim and matplotlib into .venv, builds and
# installs tessaryn, then runs bench/bench.py with the given arguments.
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
ensure_venv stim matplotlib
install_package
"$VENV/bin/python" "$ROOT/bench/bench.py" "$@"
