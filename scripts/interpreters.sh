#!/usr/bin/env bash
# The interpreters this machine's package manager does not offer, made once per machine and
# kept outside the checkout, in ${TAVO_CACHE:-$HOME/.cache/tavo}:
#   cpython-3.14, cpython-3.15  Debian sid's binary packages in a sid root (they need sid's
#                               own C library), where the module is built and tested;
#   cpython-3.13t               the free-threaded 3.13 built from sid's 3.13 source.
# Usage:
#   interpreters.sh names              one NAME per line of those that can be had (building
#                                      them first); nothing when none can, but with CI=true
#                                      one that cannot be made fails (exit 1)
#   interpreters.sh python cpython-3.13t
#                                      the path of that interpreter (made first)
#   interpreters.sh test NAME [ARGS]   installs the checkout (`pip install .`) into a virtual
#                                      environment of NAME and runs the suite there (pytest
#                                      ARGS instead of tests/); exits with its status
# Needs root (apt state, mmdebstrap, chroot). The archive is the one this machine's own apt
# sources name. Build logs go to the cache, progress to stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
cache=${TAVO_CACHE:-$HOME/.cache/tavo}
ft_version=3.13.15
# What the sid root holds; its folder is keyed by this list, so a change makes a new one.
sid_packages=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv
sid_packages+=,g++,libeigen3-dev,libtbb-dev,ca-certificates,git
# Eigen: the machine's own release series (3.4), over sid's newer major version.
sid_eigen=libeigen3-dev
sid_root="$cache/sid-root-$(printf '%s;%s from the host suite' "$sid_packages" "$sid_eigen" | sha256sum | cut -c1-10)"
ft_prefix="$cache/cpython-$ft_version-t"

say() { echo "interpreters: $*" >&2; }

mirror() {
    local uri
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $2 !~ /^\[/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
    echo "$uri"
}

# apt-get with a private state that knows sid (binaries and sources), leaving the machine's
# own apt configuration alone.
sid_apt() {
    local dir="$cache/apt-sid"
    local options=(-o "Dir::State=$dir/state" -o "Dir::Cache=$dir/cache"
        -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$dir/etc"
        -o Dir::State::status=/var/lib/dpkg/status -o APT::Sandbox::User=root
        -o Acquire::Check-Valid-Until=false)
    if [ ! -s "$dir/etc/sid.sources" ] || [ -z "$(find "$dir/state/lists" -name '*Sources' -mtime -1 2>/dev/null)" ]; then
        mkdir -p "$dir/state/lists/partial" "$dir/cache/archives/partial" "$dir/etc"
        printf 'Types: deb deb-src\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$(mirror)" >"$dir/etc/sid.sources"
        apt-get "${options[@]}" -qq update >&2
    fi
    apt-get "${options[@]}" "$@"
}

# The free-threaded interpreter: no PGO/LTO (they add minutes and change nothing we test).
ensure_ft() {
    [ -f "$ft_prefix/.complete" ] && return 0
    local work="$cache/build-cpython-$ft_version-t"
    rm -rf "$work" "$ft_prefix"
    mkdir -p "$work"
    say "building free-threaded CPython $ft_version into $ft_prefix (log: $work/build.log)"
    (
        cd "$work"
        sid_apt source --download-only -qq "python3.13=$ft_version-1"
        tar -xf "python3.13_$ft_version.orig.tar.xz"
        cd "Python-$ft_version"
        ./configure -q --prefix="$ft_prefix" --disable-gil --with-ensurepip=install
        nice -n 10 make -j2
        make install
    ) >"$work/build.log" 2>&1 || {
        say "free-threaded build failed, see $work/build.log"
        return 1
    }
    touch "$ft_prefix/.complete"
    rm -rf "$work/Python-$ft_version"
}

# A sid root with the two interpreters and what building tavo needs.
ensure_sid() {
    [ -f "$sid_root/.complete" ] && return 0
    command -v mmdebstrap >/dev/null || {
        apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >&2
    }
    rm -rf "$sid_root"
    say "making the sid root $sid_root"
    nice -n 10 mmdebstrap -q --variant=apt --aptopt="Acquire::Check-Valid-Until \"false\"" --include="$sid_packages" sid "$sid_root" "deb $(mirror) sid main" >&2 || {
        say "could not make the sid root"
        rm -rf "$sid_root"
        return 1
    }
    local debs
    debs=$(mktemp -d "$sid_root/tmp/eigen.XXXXXX")
    (cd "$debs" && { apt-get download -qq "$sid_eigen" || { apt-get update -qq && apt-get download -qq "$sid_eigen"; }; }) >&2 &&
        chroot "$sid_root" sh -c "dpkg -i /tmp/${debs##*/}/*.deb && apt-mark hold $sid_eigen" >&2 || {
        say "could not put the host's $sid_eigen into the sid root"
        rm -rf "$sid_root"
        return 1
    }
    rm -rf "$debs"
    touch "$sid_root/.complete"
}

# Runs a command inside the sid root, with the checkout and the cache at their own paths and
# the machine's name resolution and certificates; the mounts live in a private namespace
# and vanish with it.
in_sid() {
    cp /etc/resolv.conf "$sid_root/etc/resolv.conf"
    mkdir -p "$sid_root$checkout" "$sid_root$cache" "$sid_root/proc" "$sid_root/dev"
    unshare --mount --propagation private -- bash -c '
        root=$1 checkout=$2 cache=$3; shift 3
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount --bind "$checkout" "$root$checkout"
        mount --bind "$cache" "$root$cache"
        # The machine'"'"'s own trust: what it reaches the package registries through.
        mount --bind /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
        exec chroot "$root" /usr/bin/env -C "$checkout" -u PIP_FIND_LINKS \
            PATH=/usr/local/bin:/usr/bin:/bin "$@"' in_sid "$sid_root" "$checkout" "$cache" "$@"
}

# The suite as noxfile.py's `one_python` session runs it (prepare(), then pytest in
# development mode), from a nox of the interpreter's own in build/, beside its environment.
# Dependencies come as wheels only: a new interpreter often has wheels only of older
# releases, and their sources may need toolchains this machine does not have.
run_suite() { # PYTHON NAME ARGS...
    local python=$1 name=$2
    shift 2
    local nox_venv="build/nox-venv-$name"
    [ -x "$nox_venv/bin/nox" ] || {
        "$python" -m venv "$nox_venv" && "$nox_venv/bin/python" -m pip install -q nox
    } >&2
    TAVO_PYTHON="$python" TAVO_VENV="build/venv-$name" TAVO_BUILD_DIR="build/module-$name" \
        PIP_ONLY_BINARY=:all: "$nox_venv/bin/nox" -f noxfile.py -s one_python -- "$@"
}

# In CI an interpreter that cannot be made fails the run; elsewhere it is left out.
unavailable() {
    say "$1 cannot be made on this machine"
    [ "${CI:-}" != true ]
}

case "${1:-}" in
prepare) # Internal: makes one of them (names does all of them in turn).
    case "${2:-}" in
    sid) ensure_sid ;;
    ft) ensure_ft ;;
    *) exit 2 ;;
    esac
    ;;
python) # The path of an interpreter that runs on this machine as it is (cpython-3.13t).
    [ "${2:-}" = cpython-3.13t ] || exit 2
    ensure_ft >&2
    echo "$ft_prefix/bin/python3.13t"
    ;;
names)
    status=0
    if ensure_sid; then
        echo cpython-3.14
        echo cpython-3.15
    else
        unavailable "the sid root (cpython-3.14, cpython-3.15)" || status=1
    fi
    if ensure_ft; then
        echo cpython-3.13t
    else
        unavailable cpython-3.13t || status=1
    fi
    exit "$status"
    ;;
test)
    name=${2:?interpreters.sh test NAME [pytest args]}
    shift 2
    case "$name" in
    cpython-3.14 | cpython-3.15)
        ensure_sid
        in_sid /usr/bin/bash -c 'set -e; name=$1; shift; python=/usr/bin/python${name#cpython-}
            '"$(declare -f run_suite)"'
            run_suite "$python" "$name-sid" "$@"' in_sid "$name" "$@"
        ;;
    cpython-3.13t)
        ensure_ft
        # Where threads truly run at once, each test that means something in parallel runs
        # in two threads at once (one per core of the machines it runs on).
        TAVO_PARALLEL_THREADS=2 run_suite "$ft_prefix/bin/python3.13t" "$name" "$@"
        ;;
    *)
        say "unknown interpreter $name (known: cpython-3.14 cpython-3.15 cpython-3.13t)"
        exit 2
        ;;
    esac
    ;;
*)
    sed -n '2,18p' "$0" >&2
    exit 2
    ;;
esac
