#!/usr/bin/env bash
# Installs a wheel into a fresh venv of the given CPython and runs the Python tests of the
# checkout this script is in against it, from an empty directory, so that nothing in the
# checkout can stand in for the installed module. Used by scripts/wheels.sh, on this machine and
# inside the Debian systems, where the wheel will live.
#   scripts/wheel/test.sh PYTHON WHEEL [pytest args]
set -euo pipefail
python=$1 wheel=$2
shift 2
tests=$(cd "$(dirname "$0")/../../tests/python" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/pip.sh"
python_venv "$python" "$work/venv"
pip_install() {
    pip_for "$work/venv/bin/python" install --quiet --disable-pip-version-check "$@" 2>&1 \
        | { grep -v '^WARNING: Location' || true; }
}
pip_install "$wheel" pytest mypy
# stim is the tests' second oracle, its latest release; where that has no wheel (aarch64) its
# comparisons skip rather than compile it from source. The release is named because, with
# --only-binary, pip would otherwise take a development build, the only wheels some CPythons
# have. (For 3.15, wheels.sh points pip at the wheel the Debian system keeps.)
stim_release=$(pip_for "$work/venv/bin/python" index versions stim 2>/dev/null | sed -n 's/^stim (\(.*\))$/\1/p')
pip_install --only-binary=:all: "stim==${stim_release:-none}" >/dev/null 2>&1 \
    || echo "  (no wheel of stim ${stim_release:-(no release found)} for this platform: the comparisons with stim skip)"
# The research module's companions, where they have wheels; Dask's cluster test runs in the main
# test run only (scripts/test.sh), since its dependencies cost more to install than it to run.
for package in numpy networkx; do
    pip_install --only-binary=:all: "$package" >/dev/null 2>&1 || echo "  (no $package wheel here: the tests that need it skip)"
done
mkdir "$work/empty"
cd "$work/empty"
"$work/venv/bin/python" -c 'import sys, tessaryn; print("  testing", tessaryn.__file__, "on", sys.version.split()[0])'
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$tests" "$@"
