# Shared set-up for the scripts: a virtual environment with the build tools, and the package
# built and installed into it. Sourced, not run.
#   PYTHON  interpreter to build the environment from (default: python3)
#   VENV    environment directory (default: .venv)

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PYTHON=${PYTHON:-python3}
VENV=${VENV:-$ROOT/.venv}

log() { printf '\n== %s\n' "$*"; }

# apt-get as root, one call at a time among these scripts (CI runs two of them at once, and apt
# fails rather than waits while another apt holds its lock), and waiting for any other apt too.
apt_get() {
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo env DEBIAN_FRONTEND=noninteractive flock /tmp/tessaryn-apt.lock apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# Creates the environment when missing and installs the given pip packages into it.
ensure_venv() {
    if [ ! -x "$VENV/bin/python" ]; then
        log "creating $VENV from $($PYTHON --version 2>&1)"
        "$PYTHON" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
        'scikit-build-core>=0.11' cmake ninja "$@" 2>&1 | grep -v '^WARNING: Location' || true
}

# The research module's optional test companions (numpy, networkx, dask's distributed, and sinter
# with pymatching, unless other packages are named): each from a wheel where one exists for this
# interpreter, left out otherwise (the tests that need it skip), so that a new CPython does not
# wait for them to compile. sinter is pure Python and published as source alone; what it needs
# still comes as wheels.
ensure_optional() {
    local package packages=("$@")
    [ ${#packages[@]} -gt 0 ] || packages=(numpy networkx distributed sinter pymatching)
    for package in "${packages[@]}"; do
        "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary=:all: \
            --no-binary=sinter "$package" >/dev/null 2>&1 ||
            echo "  ($package has no wheel for $("$VENV/bin/python" --version): the tests that need it skip)"
    done
}

# Builds the extension (Release) and installs it into the environment. The build directory
# under build/ is kept, so a rebuild compiles only what changed; a plain `pip install .` builds
# in a temporary directory instead.
install_package() {
    log "building and installing tessaryn into $VENV"
    PATH="$VENV/bin:$PATH" "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
        --no-build-isolation -C "build-dir=$ROOT/build/{wheel_tag}" "$ROOT" 2>&1 | grep -v '^WARNING: Location' || true
    "$VENV/bin/python" -c 'import tessaryn' || { echo "tessaryn did not install" >&2; return 1; }
}
