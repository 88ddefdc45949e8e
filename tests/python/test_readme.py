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
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
        have_dask = True
    except ImportError:  # the [dask] extra is not installed: its snippets cannot run
        have_dask = False
    for number, block in enumerate(blocks, 1):
        if "quorvel_dask" in block and not have_dask:
            continue
        exec(compile(block, f"README.md snippet {number}", "exec"), namespace)
