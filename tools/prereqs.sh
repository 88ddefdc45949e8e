# Shared by tools/setup.sh and tests/run.sh (sourced, not run).
#
# quorvel_prereqs build|tests
#     Finds the system prerequisites that are missing: Python 3 with its
#     headers and venv, a C++ compiler, and for "tests" also CMake, make and
#     GoogleTest.  On Debian or Ubuntu it names the missing packages, then
#     installs them with apt-get (as root, or through sudo); elsewhere, or
#     without root or sudo, it names them and fails.  Nothing is installed
#     when nothing is missing.
# quorvel_venv
#     Creates the virtual environment .venv in the checkout when it is absent
#     and sets PYTHON to its interpreter.
#
# BASE_PYTHON (default python3) is the interpreter .venv is made from.

BASE_PYTHON=${BASE_PYTHON:-python3}

quorvel_missing() {
    local need=$1
    missing=()
    if ! command -v "$BASE_PYTHON" >/dev/null 2>&1; then
        missing+=(python3 python3-venv python3-dev)
    elif [ ! -x .venv/bin/python ]; then
        "$BASE_PYTHON" -c 'import ensurepip' >/dev/null 2>&1 || missing+=(python3-venv)
    fi
    if command -v "$BASE_PYTHON" >/dev/null 2>&1 &&
        ! "$BASE_PYTHON" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
PY
    then
        missing+=(python3-dev)
    fi
    command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing+=(g++)
    if [ "$need" = tests ]; then
        command -v cmake >/dev/null 2>&1 || missing+=(cmake)
        command -v make >/dev/null 2>&1 || missing+=(make)
        [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] ||
            missing+=(libgtest-dev)
    fi
}

quorvel_prereqs() {
    quorvel_missing "$1"
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 && sudo=sudo
    fi
    if ! command -v apt-get >/dev/null 2>&1 || { [ "$(id -u)" -ne 0 ] && [ -z "$sudo" ]; }; then
        echo "quorvel needs: ${missing[*]} (Debian package names)." >&2
        echo "Install a C++17 compiler, Python 3.9+ with its headers and venv" \
             "(and for the tests CMake, make and GoogleTest), then run this again." >&2
        return 1
    fi
    echo "== missing system packages: ${missing[*]}"
    echo "   installing: ${sudo:+sudo }apt-get install --no-install-recommends ${missing[*]}"
    if [ -t 0 ] && [ -z "${CI:-}" ]; then
        local answer
        read -r -p "   go ahead? [Y/n] " answer
        case "$answer" in [nN]*) echo "nothing installed" >&2; return 1 ;; esac
    fi
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    quorvel_missing "$1"
    if [ ${#missing[@]} -ne 0 ]; then
        echo "still missing after apt-get: ${missing[*]}" >&2
        return 1
    fi
}

quorvel_venv() {
    if [ ! -x .venv/bin/python ]; then
        echo "== creating the virtual environment .venv"
        "$BASE_PYTHON" -m venv .venv
    fi
    PYTHON=$PWD/.venv/bin/python
}
