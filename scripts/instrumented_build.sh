# Sourced by sanitize.sh and tsan.sh, from the checkout's root: the build of tavo and its
# C++ unit tests with a sanitizer, installed into an environment of its own.
#
# instrumented_build NAME CMAKE_DEFINE...
#   builds into build/NAME and installs the module into build/NAME-venv, a second
#   environment that holds only the instrumented module and sees every other package of the
#   project's environment through a .pth file, so that nothing is downloaded twice. Sets
#   $build, $python (of that environment) and $reports (an empty folder for the reports).
venv="${TAVO_VENV:-.venv}"
[ -x "$venv/bin/python" ] || bash scripts/setup.sh || exit 1
export PATH="$PWD/$venv/bin:$PATH"

instrumented_build() {
    local name=$1
    shift
    build="$PWD/build/$name"
    reports="$build/reports"
    local instrumented_venv="$build-venv"
    if [ ! -x "$instrumented_venv/bin/python" ]; then
        "$venv/bin/python" -m venv "$instrumented_venv" || return 1
    fi
    python="$instrumented_venv/bin/python"
    local purelib='import sysconfig; print(sysconfig.get_path("purelib"))'
    "$venv/bin/python" -c "$purelib" >"$("$python" -c "$purelib")/tavo_dev_packages.pth" ||
        return 1
    local defines=()
    for define in "$@"; do defines+=("-Ccmake.define.$define"); done
    "$python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        -Cbuild-dir="$build" -Ccmake.build-type=RelWithDebInfo "${defines[@]}" \
        -Ccmake.define.TAVO_BUILD_TESTS=ON -Ccmake.define.TAVO_DEVELOPER=ON . || return 1
    rm -rf "$reports"
    mkdir -p "$reports"
}
