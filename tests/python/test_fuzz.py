"""Hostile random calls of both functions (fuzz_calls.py, driven by hypothesis
with a fixed derandomized search), each function's run in a child interpreter
so that a crash fails the test instead of ending the test run."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("hypothesis")

PROGRAM = os.path.join(os.path.dirname(__file__), "fuzz_calls.py")


@pytest.mark.parametrize("function", ["fit_probit", "ame"])
def test_hostile_calls(function, tmp_path):
    last = tmp_path / "last-example"
    proc = subprocess.run([sys.executable, PROGRAM, function, str(last)], capture_output=True, text=True)
    example = last.read_text() if last.exists() else "(none)"
    assert proc.returncode == 0, (f"exit status {proc.returncode}; last example {example}\n"
                                  f"{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}")
    assert proc.stdout.endswith("ok\n")
