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
#   interpreters.sh headers NAME [aarch64]
#                                      the folder of NAME's C headers (NAME: cpython-3.9 ...
#                                      cpython-3.15, cpython-3.13t), for x86-64 or aarch64,
#                                      made first: what the wheel matrix builds against
#   interpreters.sh run NAME ARGS      runs NAME's interpreter with ARGS, from the checkout
#                                      (inside the sid root for 3.14 and 3.15); the checkout
#                                      and the cache are where they are on the machine
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

# Each interpreter is made by one process at a time (two scripts of a run may ask for it at
# once); the others wait, then find it made.
one_at_a_time() { # NAME COMMAND...
    local name=$1
    shift
    mkdir -p "$cache/locks" && (flock 9 && "$@") 9>"$cache/locks/interpreter-$name"
}
ensure_ft() { one_at_a_time ft make_ft; }
ensure_sid() { one_at_a_time sid make_sid; }

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
make_ft() {
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

# headers NAME ARCH: the C headers of NAME, made once into the cache, with one pyconfig.h:
# x86-64's in place of Debian's dispatcher by architecture, and for aarch64 that one with
# what differs between the two (the inline assembly for x86 and x87, whether wchar_t is
# unsigned, the support tier; every size and alignment is the same). scripts/wheels.sh
# checks that this gives Debian's own arm64 pyconfig.h of 3.11. Python.h of 3.9 and 3.10
# includes <crypt.h> where the interpreter's build had it; the C libraries that wheels are
# built against may lack it (crypt has a library of its own now), and no module needs it.
headers() {
    local name=$1 arch=${2:-x86_64} version=${1#cpython-} include config out
    local edits=('s|^#define HAVE_CRYPT_H 1$|/* #undef HAVE_CRYPT_H */|')
    case "$arch" in
    x86_64) ;;
    aarch64)
        edits+=('s|^#define HAVE_GCC_ASM_FOR_X64 1$|/* #undef HAVE_GCC_ASM_FOR_X64 */|'
            's|^#define HAVE_GCC_ASM_FOR_X87 1$|/* #undef HAVE_GCC_ASM_FOR_X87 */|'
            's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|'
            's|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|') ;;
    *) say "no headers for $arch"; return 1 ;;
    esac
    case "$name" in
    cpython-3.13t) ensure_ft && include=$ft_prefix/include/python3.13t ;;
    cpython-3.14 | cpython-3.15) ensure_sid && include=$sid_root/usr/include/python$version ;;
    cpython-3.9 | cpython-3.1[0-3])
        local python
        python=$(machine_python "$version") || return 1
        include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') ;;
    *) say "no headers known for $name"; return 1 ;;
    esac
    [ -f "$include/Python.h" ] || { say "no Python.h in $include"; return 1; }
    config=$include/pyconfig.h
    [ -f "$include/../x86_64-linux-gnu/python${include##*/python}/pyconfig.h" ] &&
        config=$include/../x86_64-linux-gnu/python${include##*/python}/pyconfig.h
    out="$cache/headers-$name-$arch-$(cat "$include/patchlevel.h" "$config" | sha256sum | cut -c1-10)"
    if [ ! -f "$out/.complete" ]; then
        rm -rf "$out" && mkdir -p "$out" && cp -r "$include"/. "$out" &&
            sed "${edits[@]/#/-e}" "$config" >"$out/pyconfig.h" &&
            touch "$out/.complete" || return 1
    fi
    echo "$out"
}

# machine_python 3.X: an interpreter of that version among the machine's own (the
# distribution's first, then the PATH's and pyenv's versions).
machine_python() {
    local candidate root
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "/usr/bin/python$1" "$(command -v "python$1" || true)" \
        "$root"/versions/"$1".*/bin/"python$1"; do
        [ -x "$candidate" ] && "$candidate" -c 'import sys; assert sys.implementation.name == "cpython"' 2>/dev/null &&
            { echo "$candidate"; return 0; }
    done
    say "no CPython $1 on this machine"
    return 1
}

# A sid root with the two interpreters and what building tavo needs.
make_sid() {
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
headers) headers "${2:?interpreters.sh headers NAME [ARCH]}" "${3:-x86_64}" ;;
run)
    name=${2:?interpreters.sh run NAME ARGS}
    shift 2
    case "$name" in
    cpython-3.13t) ensure_ft && exec "$ft_prefix/bin/python3.13t" "$@" ;;
    cpython-3.14 | cpython-3.15) ensure_sid && in_sid "/usr/bin/python${name#cpython-}" "$@" ;;
    cpython-3.9 | cpython-3.1[0-3])
        python=$(machine_python "${name#cpython-}") && exec "$python" "$@" ;;
    *) say "unknown interpreter $name"; exit 2 ;;
    esac
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
