#!/usr/bin/env bash
# Builds the C++ unit tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs both suites under them.  Any sanitizer
# report fails the script, also one written by a child process of a test.
#
#   bash tests/sanitize.sh [PYTHON [PYTEST-ARGS...]]
#
# PYTHON (default python3) is the interpreter the separate virtual environment
# build/sanitize-venv is made from; the main environment is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
BASE_PYTHON=${1:-python3}
[ $# -gt 0 ] && shift
ROOT=$PWD
VENV=build/sanitize-venv
LOGS=$ROOT/build/sanitize-logs

# The interpreter itself is not instrumented: the ASan runtime has to be
# loaded first, and libstdc++ with it so that ASan's interception of C++
# exception throwing finds the library it wraps.
LIBASAN=$(g++ -print-file-name=libasan.so)
LIBSTDCXX=$(g++ -print-file-name=libstdc++.so)
for lib in "$LIBASAN" "$LIBSTDCXX"; do
    case "$lib" in
        /*) ;;
        *) echo "sanitize.sh: g++ does not know where $lib is" >&2; exit 1 ;;
    esac
done

# A report ends its process and goes to a file (one per process) instead of
# standard error; the files are printed at the end and fail the script, so a
# report in a child process counts even where its test ignores the status.
# detect_leaks=0 in Python: the interpreter keeps its own allocations until
# exit.  allocator_may_return_null=1: a failed malloc in NumPy becomes
# MemoryError as it would without ASan (a failed operator new still reports).
ASAN_COMMON="log_path=$LOGS/report:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
UBSAN="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/report:exitcode=87"

rm -rf "$LOGS"
mkdir -p "$LOGS"

echo "== sanitizer build of the C++ unit tests"
cmake -S . -B build/sanitize-cpp -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_TESTS=ON \
    -DQUORVEL_SANITIZE=ON -DQUORVEL_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/sanitize-cpp -j 2 >/dev/null

echo "== sanitizer build of the extension in $VENV (${SECONDS}s so far)"
[ -x "$VENV/bin/python" ] || "$BASE_PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    --config-settings=cmake.define.QUORVEL_SANITIZE=ON \
    --config-settings=cmake.define.QUORVEL_WERROR=ON ".[test]"
# Refuse to go on with a build that is not instrumented (the find does not
# import the module, which would fail without the preloaded runtime).
MODULE=$("$VENV/bin/python" -c "import importlib.util; print(importlib.util.find_spec('quorvel').origin)")
if ! readelf -d "$MODULE" | grep -q 'NEEDED.*libasan'; then
    echo "sanitize.sh: $MODULE is not linked against the ASan runtime" >&2
    exit 1
fi

status=0
echo "== C++ unit tests under ASan and UBSan (${SECONDS}s so far)"
ASAN_OPTIONS="detect_leaks=1:$ASAN_COMMON" UBSAN_OPTIONS="$UBSAN" \
    build/sanitize-cpp/quorvel_core_tests --gtest_brief=1 || status=$?

echo "== Python tests under ASan and UBSan (${SECONDS}s so far)"
(
    cd "$ROOT"
    LD_PRELOAD="$LIBASAN $LIBSTDCXX" \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:$ASAN_COMMON" \
    UBSAN_OPTIONS="$UBSAN" \
    QUORVEL_UNDER_SANITIZER=1 \
        "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"
) || status=$?

echo "== sanitizer run done in ${SECONDS}s"
reports=$(find "$LOGS" -type f | sort)
if [ -n "$reports" ]; then
    for report in $reports; do
        echo "== sanitizer report $report"
        cat "$report"
    done
    echo "sanitize.sh: sanitizer reports were written (see above)" >&2
    exit 1
fi
exit "$status"
