"""Every Python snippet of the README runs, in order, in one namespace (later
snippets use the data of the example); their assertions are the checks."""
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_snippets_run():
    pytest.importorskip("statsmodels")
    blocks = re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.S | re.M)
    assert len(blocks) >= 5
    namespace = {"__name__": "readme"}
    for number, block in enumerate(blocks, 1):
        exec(compile(block, f"README.md snippet {number}", "exec"), namespace)
