#!/usr/bin/env bash
# tests/matrix.sh PYTHON
#
# Builds the source distribution with PYTHON, checks that it holds every
# file the build needs, then builds a wheel from it and runs the Python
# tests with the oldest and the newest CPython (3.9 or later) that pyenv
# offers on this machine, each in a fresh virtual environment.  A version
# that is absent is skipped with a note.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${1:?usage: tests/matrix.sh PYTHON}
out=build/matrix
rm -rf "$out"
mkdir -p "$out"

echo "-- source distribution"
"$PYTHON" -m build --sdist --outdir "$out" . >"$out/sdist.log" 2>&1 ||
    { cat "$out/sdist.log"; exit 1; }
sdist=$(ls "$out"/quorvel-*.tar.gz)
"$PYTHON" tools/check_sdist.py "$sdist"

versions=()
root=${PYENV_ROOT:-$HOME/.pyenv}
if [ -d "$root/versions" ]; then
    mapfile -t found < <(ls "$root/versions" | grep -E '^3\.([9]|[1-9][0-9])\.[0-9]+$' | sort -V)
    if [ ${#found[@]} -gt 0 ]; then
        versions+=("${found[0]}")
        [ ${#found[@]} -gt 1 ] && versions+=("${found[-1]}")
    fi
fi
if [ ${#versions[@]} -eq 0 ]; then
    echo "-- note: no pyenv CPython 3.9+ under $root/versions; version matrix skipped"
fi

for v in "${versions[@]}"; do
    start=$SECONDS
    echo "-- CPython $v: wheel from the source distribution, then the Python tests"
    venv="$out/venv-$v"
    "$root/versions/$v/bin/python3" -m venv "$venv"
    "$venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
        --config-settings=cmake.define.QUORVEL_WERROR=ON --wheel-dir "$out/wheels-$v" "$sdist"
    wheel=$(ls "$out/wheels-$v"/quorvel-*.whl)
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel[test]"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
    echo "-- CPython $v: $((SECONDS - start)) s"
done
