# Sourced by test.sh and demo.sh from the top of the source tree: what a fresh Debian
# machine lacks for the task runner. The C++ libraries from the system's packages (as root
# or with sudo), then nox in a small environment of its own, build/nox-venv; sets $nox.
# Everything else (.venv, the tools, the module build) is the sessions' business.
apt_packages=(libeigen3-dev libtbb-dev libgtest-dev libbenchmark-dev ccache)
missing=()
for package in "${apt_packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "bootstrap: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
nox_venv=build/nox-venv
nox=$nox_venv/bin/nox
if [ ! -x "$nox" ]; then
    echo "bootstrap: nox into $nox_venv"
    "${TAVO_PYTHON:-python3}" -m venv "$nox_venv"
    "$nox_venv/bin/python" -m pip install -q --disable-pip-version-check nox
fi
