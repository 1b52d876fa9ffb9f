#!/usr/bin/env bash
# This checkout against an earlier commit (default HEAD^1), side by side on the bench table's
# rows, with stim beside them. Installs the working tree into .venv, builds the other commit
# into bench/.venvs/<sha>/ once, then runs bench/compare.py with the given arguments:
#   bench/compare.sh [--quick] [--reps N] [REF]
set -euo pipefail
source "$(dirname "$0")/../scripts/env.sh"
ensure_venv stim
install_package
"$VENV/bin/python" "$ROOT/bench/compare.py" --python "$PYTHON" "$@"
