#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the numerical core (GoogleTest) and
# the Python tests of the installed extension (pytest).  Installs what the
# tests need first: GoogleTest from Debian's libgtest-dev when it is missing,
# and the package itself with its test extra.  Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

have_gtest() {
    [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]
}
if ! have_gtest; then
    echo "== installing GoogleTest (libgtest-dev)"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi

echo "== building and installing quorvel with its test extra"
"$PYTHON" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    --config-settings=cmake.define.QUORVEL_WERROR=ON ".[test]"

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_TESTS=ON \
    -DQUORVEL_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests -j "$(nproc)" >/dev/null
build/cpp-tests/quorvel_core_tests --gtest_brief=1

echo "== Python tests"
"$PYTHON" -m pytest -q tests/python "$@"
