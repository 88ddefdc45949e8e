#!/usr/bin/env bash
# The README's first command: installs the missing system prerequisites (on
# Debian or Ubuntu, saying which first), creates .venv in the checkout,
# installs quorvel into it and runs examples/quickstart.py there.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/prereqs.sh

quorvel_prereqs build
quorvel_venv
echo "== installing quorvel into .venv"
"$PYTHON" -m pip install --quiet --disable-pip-version-check .
echo "== running examples/quickstart.py"
"$PYTHON" examples/quickstart.py
