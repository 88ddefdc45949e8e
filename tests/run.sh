#!/usr/bin/env bash
# Runs every test inside the virtual environment .venv of the checkout
# (created when absent): the C++ unit tests of the numerical core
# (GoogleTest), the Python tests of the installed extension (pytest), the
# source-distribution check and the Python version matrix (tests/matrix.sh).
# Missing system packages (compiler, Python headers and venv, CMake, make,
# GoogleTest) are named before they are installed, on Debian or Ubuntu only.
# Warnings are errors here.  Arguments go to the main pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/prereqs.sh

timings=()
step() {   # step TITLE COMMAND...: runs COMMAND and records its duration
    local title=$1 start=$SECONDS
    shift
    echo "== $title"
    "$@"
    timings+=("$(printf '%5ds  %s' $((SECONDS - start)) "$title")")
}

step "system prerequisites" quorvel_prereqs tests
quorvel_venv

step "building and installing quorvel with its test and dask extras" \
    "$PYTHON" -m pip install --quiet --disable-pip-version-check \
    --config-settings=cmake.define.QUORVEL_WERROR=ON ".[test,dask]"

cpp_tests() {
    cmake -S . -B build/cpp-tests -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_TESTS=ON \
        -DQUORVEL_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/cpp-tests -j 2 >/dev/null
    build/cpp-tests/quorvel_core_tests --gtest_brief=1
}
step "C++ unit tests" cpp_tests

python_tests() {
    mkdir -p build
    "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@" | tee build/python-tests.log
}
step "Python tests" python_tests "$@"

step "source distribution and version matrix" bash tests/matrix.sh "$PYTHON"

step "sanitizer build (ASan and UBSan) and both suites under it" bash tests/sanitize.sh "$PYTHON"

echo "== time per step"
printf '%s\n' "${timings[@]}"
echo "== Python tests"
tail -n 1 build/python-tests.log
