# Debian systems in folders, built by debootstrap from Debian's archive, to build and test the
# project where its users are: CPythons this machine lacks (3.14 and 3.15 from Debian's
# unstable suite) and arm64, run under qemu-user-static. Sourced after env.sh, not run; needs
# root (debootstrap, chroot, mount).
#   TESSARYN_SYSTEMS  folder that keeps the systems between runs (default: /var/cache/tessaryn)
#   DEBIAN_MIRROR     archive to build them from (default: http://deb.debian.org/debian)
# A system is built once and kept; one that is missing, half-built, or whose interpreters no
# longer start is built again, and one that lacks only a CPython now wanted gets it from apt.
# Delete its folder to get a fresh one (unstable moves daily).

SYSTEMS=${TESSARYN_SYSTEMS:-/var/cache/tessaryn}
DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

# The systems the scripts know: suite, Debian architecture, and the CPythons it carries. Every
# one also gets a C and C++ compiler (tests compile helpers; the module builds from source there),
# binutils (a test reads the module's symbols), CMake, Ninja and make.
KNOWN_SYSTEMS=(debian-sid-amd64 debian-sid-arm64 debian-bookworm-arm64)
system_info() {
    case $1 in
        debian-sid-amd64) echo "sid amd64 3.14 3.15" ;;
        debian-sid-arm64) echo "sid arm64 3.13 3.14 3.15" ;;
        debian-bookworm-arm64) echo "bookworm arm64 3.11" ;;
        *) return 1 ;;
    esac
}

# Debian's name for a machine architecture (uname -m), and back.
debian_arch() { case $1 in x86_64) echo amd64 ;; aarch64) echo arm64 ;; *) echo "$1" ;; esac; }
machine_arch() { case $1 in amd64) echo x86_64 ;; arm64) echo aarch64 ;; *) echo "$1" ;; esac; }

system_dir() { echo "$SYSTEMS/$1"; }

# Why this machine cannot build or enter Debian systems, or nothing when it can.
systems_unavailable() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "Debian systems need root (debootstrap, chroot and mount): run as root"
    elif ! command -v unshare >/dev/null || ! command -v chroot >/dev/null; then
        echo "unshare and chroot are missing: apt-get install util-linux coreutils"
    fi
}

# Installs Debian packages on this machine for the commands that are missing ("command:package").
ensure_host_commands() {
    local wanted=() pair
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || wanted+=("${pair#*:}")
    done
    [ ${#wanted[@]} -eq 0 ] && return 0
    log "installing ${wanted[*]} (Debian packages)"
    apt_get update -qq >/dev/null 2>&1 || true
    apt_get install -y -qq "${wanted[@]}" >/dev/null
}

# Makes this machine run binaries of the given Debian architecture: qemu-user-static installed
# and its binfmt_misc handler registered, with the kernel's binfmt_misc mounted. Prints why not
# and fails when that cannot be done.
ensure_emulation() {
    local arch=$1 machine handler
    machine=$(machine_arch "$arch")
    [ "$machine" = "$(uname -m)" ] && return 0
    handler=/proc/sys/fs/binfmt_misc/qemu-$machine
    if ! ensure_host_commands "qemu-$machine-static:qemu-user-static" || ! command -v "qemu-$machine-static" >/dev/null; then
        echo "no emulator for $arch: apt-get install qemu-user-static" >&2
        return 1
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || {
            echo "binfmt_misc is not available in this kernel: cannot run $arch binaries" >&2
            return 1
        }
    fi
    if [ ! -e "$handler" ]; then
        # The package ships the handler for systemd-binfmt and binfmt-support; a machine with
        # neither running (a container, CI) has it written by hand.
        local conf=/usr/lib/binfmt.d/qemu-$machine.conf
        [ -f "$conf" ] && grep -v '^#' "$conf" >/proc/sys/fs/binfmt_misc/register 2>/dev/null || true
    fi
    if [ ! -e "$handler" ]; then
        echo "could not register qemu-$machine-static with binfmt_misc" >&2
        return 1
    fi
    [ "$(head -n1 "$handler")" = enabled ] || echo 1 >"$handler"
}

# The emulator as the kernel looks for it inside a chroot: at the handler's interpreter path,
# unless the handler was registered with the F flag (interpreter opened once, at registration).
install_emulator() {
    local dir=$1 machine handler interpreter
    machine=$(machine_arch "$2")
    [ "$machine" = "$(uname -m)" ] && return 0
    handler=/proc/sys/fs/binfmt_misc/qemu-$machine
    interpreter=$(sed -n 's/^interpreter //p' "$handler")
    mkdir -p "$dir$(dirname "$interpreter")"
    cp "$(command -v "qemu-$machine-static")" "$dir$interpreter"
}

# The packages the named system gets. debootstrap does not resolve virtual packages, so what
# only a virtual package satisfies is named outright: bookworm's python3.11-venv needs
# python3.11-distutils, which python3-distutils provides.
system_packages() {
    local version packages="g++ make cmake ninja-build binutils"
    # shellcheck disable=SC2046
    set -- $(system_info "$1")
    for version in "${@:3}"; do
        packages+=" python$version python$version-dev python$version-venv"
    done
    [ "$1" = bookworm ] && packages+=" python3-distutils"
    echo "$packages"
}

# Runs a command as root inside a system, in a mount namespace of its own: /proc, /dev and the
# requested bind mounts vanish with the command, whatever way it ends, so nothing stays mounted
# under the system's folder (which a later rebuild deletes). The environment is a clean one, plus
# this machine's certificate bundle, which pip inside needs wherever the network inspects TLS.
#   run_in_system DIR [--bind HOST_PATH GUEST_PATH]... -- COMMAND...
run_in_system() {
    local dir=$1 binds=()
    shift
    while [ "$1" != "--" ]; do
        binds+=("$2" "$3")
        shift 3
    done
    shift
    local env=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PYTHONDONTWRITEBYTECODE=1)
    if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
        mkdir -p "$dir/etc/ssl"
        cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/host-ca-certificates.crt"
        env+=(SSL_CERT_FILE=/etc/ssl/host-ca-certificates.crt PIP_CERT=/etc/ssl/host-ca-certificates.crt)
    fi
    # shellcheck disable=SC2016
    unshare --mount --propagation private bash -c '
        set -e
        dir=$1; nbinds=$2; shift 2
        mount -t proc proc "$dir/proc"
        mount --rbind /dev "$dir/dev"
        while [ "$nbinds" -gt 0 ]; do
            mkdir -p "$dir$2"
            mount --bind "$1" "$dir$2"
            shift 2; nbinds=$((nbinds - 1))
        done
        shift
        exec chroot "$dir" /usr/bin/env -i "$@"
    ' run_in_system "$dir" $((${#binds[@]} / 2)) "${binds[@]}" -- "${env[@]}" "$@"
}

# Fails unless the system in DIR is complete and every CPython it should carry starts there
# with venv and the headers for building extensions.
system_works() {
    local dir=$1 info=$2 version
    [ -f "$dir/.tessaryn-system" ] && [ "$(cat "$dir/.tessaryn-system")" = "$info" ] || return 1
    for version in ${info#* * }; do
        [ -f "$dir/usr/include/python$version/Python.h" ] || return 1
        run_in_system "$dir" -- "python$version" -c 'import venv, ensurepip' >/dev/null 2>&1 || return 1
    done
}

# Installs into the working system in DIR the CPythons of INFO that it lacks, from its own suite's
# archive, and records them; fails when the system is of another suite or architecture, or does
# not work, or apt cannot install them. Unstable's package index may carry a validity date that
# has passed (the archive's signature is still checked), which apt accepts only when told.
add_pythons() {
    local dir=$1 info=$2 old version packages=() apt=(apt-get -q -o Acquire::Check-Valid-Until=false)
    old=$(cat "$dir/.tessaryn-system" 2>/dev/null) || return 1
    [ "$(cut -d' ' -f1-2 <<<"$old")" = "$(cut -d' ' -f1-2 <<<"$info")" ] || return 1
    system_works "$dir" "$old" || return 1
    for version in ${info#* * }; do
        [[ " ${old#* * } " == *" $version "* ]] || packages+=("python$version" "python$version-dev" "python$version-venv")
    done
    [ ${#packages[@]} -gt 0 ] || return 1
    log "adding ${packages[*]} to $dir"
    run_in_system "$dir" -- DEBIAN_FRONTEND=noninteractive bash -c '"$@" update && "$@" install -y --no-install-recommends '"${packages[*]}"' \
        && "$@" clean' add-pythons "${apt[@]}" >>"$SYSTEMS/$(basename "$dir").log" 2>&1 || return 1
    echo "$info" >"$dir/.tessaryn-system"
    system_works "$dir" "$info"
}

# Builds the named system under $SYSTEMS unless a working one is there; fails, saying why, when
# it cannot. Takes the system's lock for the rest of the run, so that two runs never build, or
# build in, the same system at once. A build goes to a folder of its own, which replaces the
# old one only when complete.
ensure_system() {
    local name=$1 info dir problem lock
    info=$(system_info "$name") || { echo "unknown system $name" >&2; return 1; }
    dir=$(system_dir "$name")
    problem=$(systems_unavailable)
    if [ -n "$problem" ]; then echo "$problem" >&2; return 1; fi
    # shellcheck disable=SC2086
    set -- $info
    local suite=$1 arch=$2
    mkdir -p "$SYSTEMS"
    exec {lock}>"$SYSTEMS/$name.lock"
    flock "$lock"
    ensure_emulation "$arch" || return 1
    if [ -f "$dir/.tessaryn-system" ]; then
        install_emulator "$dir" "$arch"
        system_works "$dir" "$info" && return 0
        add_pythons "$dir" "$info" && return 0
        log "$name in $dir is incomplete or broken: building it again"
    fi
    ensure_host_commands debootstrap:debootstrap || true
    if ! command -v debootstrap >/dev/null; then
        echo "debootstrap is missing: apt-get install debootstrap" >&2
        return 1
    fi
    local start new="$dir.new" packages ok=1
    start=$(date +%s)
    packages=$(system_packages "$name")
    log "building $name in $dir ($suite, $arch, CPython ${info#* * }; a few minutes, log in $SYSTEMS/$name.log)"
    rm -rf "$new"
    # In a mount namespace of its own, so that whatever debootstrap leaves mounted when it fails
    # goes with it. A foreign system is unpacked here, then configures itself under the emulator.
    if [ "$(machine_arch "$arch")" = "$(uname -m)" ]; then
        nice -n 10 unshare --mount --propagation private debootstrap --variant=minbase --arch="$arch" \
            --include="${packages// /,}" "$suite" "$new" "$DEBIAN_MIRROR" >"$SYSTEMS/$name.log" 2>&1 || ok=0
    else
        nice -n 10 unshare --mount --propagation private debootstrap --foreign --variant=minbase --arch="$arch" \
            --include="${packages// /,}" "$suite" "$new" "$DEBIAN_MIRROR" >"$SYSTEMS/$name.log" 2>&1 || ok=0
        if [ "$ok" -eq 1 ]; then
            install_emulator "$new" "$arch"
            nice -n 10 unshare --mount --propagation private chroot "$new" /debootstrap/debootstrap --second-stage \
                >>"$SYSTEMS/$name.log" 2>&1 || ok=0
        fi
    fi
    if [ "$ok" -eq 1 ]; then
        rm -f "$new"/var/cache/apt/archives/*.deb
        echo "$info" >"$new/.tessaryn-system"
        system_works "$new" "$info" || ok=0
    fi
    if [ "$ok" -eq 0 ]; then
        echo "building $name failed; the end of $SYSTEMS/$name.log:" >&2
        tail -n 5 "$SYSTEMS/$name.log" >&2
        return 1
    fi
    rm -rf "$dir"
    mv "$new" "$dir"
    log "$name built in $(($(date +%s) - start)) s ($(du -sh "$dir" | cut -f1))"
}

# Copies the checkout (its tracked and untracked files, not what .gitignore leaves out) to
# /root/tessaryn in a system, keeping the build directory there, whose timestamps then let a
# rebuild compile only what changed.
sync_checkout() {
    local dest="$1/root/tessaryn"
    mkdir -p "$dest"
    find "$dest" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
    (
        cd "$ROOT"
        if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
            git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
                [ -e "$f" ] && printf '%s\0' "$f"
            done
        else
            find . \( -name build -o -name '.venv*' -o -name dist -o -name .git \) -prune -o -type f -print0
        fi | tar --null -T - -cf -
    ) | tar -xf - -C "$dest"
}

# stim, the tests' second oracle, publishes wheels only for the CPythons its releases know; on a
# newer one (3.15) pip would build it from its source distribution in every new venv, about
# nine minutes on one core. Such a wheel is built once per system and kept here, beside the
# systems, for pip's --find-links (PIP_FIND_LINKS).
stim_wheels() { echo "$SYSTEMS/stim-wheels/$1"; }

# Makes sure that pip, asked for stim on CPython VERSION in the named (working) system, finds a
# wheel of stim's latest release: on PyPI, or else in stim_wheels, where one is built from the
# release's source distribution when missing. (Only a release counts: with --only-binary pip
# would take a development build, the only wheels PyPI has for some CPythons.) Concurrent calls
# for one system and version wait for each other: a build is done once.
ensure_stim_wheel() {
    local name=$1 version=$2 wheels lock start status=0 -
    set -o pipefail
    wheels=$(stim_wheels "$name")
    mkdir -p "$wheels"
    exec {lock}>"$wheels/cp${version/./}.lock"
    flock "$lock"
    start=$(date +%s)
    # shellcheck disable=SC2016
    run_in_system "$(system_dir "$name")" --bind "$wheels" /root/stim-wheels -- bash -c '
        set -eo pipefail
        work=$(mktemp -d)
        trap "rm -rf $work" EXIT
        pip="python$0 $(ls /usr/share/python-wheels/pip-*.whl | tail -n 1)/pip --disable-pip-version-check"
        release=$($pip index versions stim | sed -n "s/^stim (\(.*\))$/\1/p")
        [ -n "$release" ] || { echo "PyPI names no release of stim" >&2; exit 1; }
        tag=cp${0/./}
        if compgen -G "/root/stim-wheels/stim-$release-$tag-*.whl" >/dev/null; then exit 0; fi
        if $pip download --no-deps --only-binary=:all: -d "$work/released" "stim==$release" >/dev/null 2>&1; then exit 0; fi
        echo "stim $release has no wheel for CPython $0 on PyPI: building one from its source distribution, once"
        $pip wheel -q --no-deps --no-binary=stim -w "$work/built" "stim==$release"
        for wheel in "$work"/built/stim-*.whl; do
            cp "$wheel" "/root/stim-wheels/.$(basename "$wheel").part"
            mv "/root/stim-wheels/.$(basename "$wheel").part" "/root/stim-wheels/$(basename "$wheel")"
            echo "built $(basename "$wheel")"
        done
    ' "$version" 2>&1 | { grep -v '^WARNING: Location' || true; } || status=$?
    [ "$status" -eq 0 ] && [ $(($(date +%s) - start)) -gt 60 ] && log "stim wheel for CPython $version ready in $(($(date +%s) - start)) s"
    exec {lock}>&-
    return "$status"
}
