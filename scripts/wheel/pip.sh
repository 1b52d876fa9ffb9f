# pip for the scripts in this folder, sourced. Debian's interpreters have no pip of their own but
# their python3.N-venv packages bring pip as a wheel, and pip runs straight from a wheel: that
# spares installing pip into every venv, minutes under emulation. Other interpreters (pyenv's)
# bring their own pip.

# The wheel of pip to run for this interpreter, or nothing when it should use its own.
debian_pip() {
    "$1" -c 'import sys; sys.exit(sys.base_prefix != "/usr")' 2>/dev/null || return 0
    ls /usr/share/python-wheels/pip-*.whl 2>/dev/null | tail -n 1 || true
}

# python_venv PYTHON DIR: a fresh venv, with pip installed into it only where there is no wheel.
python_venv() {
    if [ -n "$(debian_pip "$1")" ]; then "$1" -m venv --without-pip "$2"; else "$1" -m venv "$2"; fi
}

# pip_for PYTHON ARGS...: pip, run by that interpreter (a venv's, to install into the venv).
pip_for() {
    local python=$1 wheel
    shift
    wheel=$(debian_pip "$python")
    if [ -n "$wheel" ]; then
        "$python" "$wheel/pip" "$@"
    else
        "$python" -m pip "$@"
    fi
}
