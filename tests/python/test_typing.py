"""The stub package quorvel-stubs, as mypy reads it from the installed wheel:
typed code passes, a misspelt keyword is rejected, and the stubs name the same
functions and parameters as the extension (stubtest).  Skipped without mypy."""
import contextlib
import io
import textwrap

import pytest

mypy_api = pytest.importorskip("mypy.api")

CLEAN = """
    import numpy as np
    import quorvel

    X = np.column_stack([np.ones(50), np.linspace(-1.0, 1.0, 50)])
    y = (X[:, 1] > 0).astype(np.float64)
    res = quorvel.fit_probit(y, X, max_iter=50, tol=1e-8, robust=True, cluster_vars=None)
    last: int = res.iterations
    done: bool = res.converged
    names: list[str] = res.model.exog_names
    se = np.sqrt(np.diag(res.cov_params()))
    table = quorvel.ame(res, chunk_size=16)
"""


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return str(tmp_path_factory.mktemp("mypy_cache"))


@pytest.mark.parametrize("call, error", [
    (None, None),
    ("quorvel.fit_probit(y, X, robustt=True)", 'Unexpected keyword argument "robustt"'),
    ("quorvel.ame(res, chunksize=4)", 'Unexpected keyword argument "chunksize"'),
    ("quorvel.fit_probit(y, X, max_iter=2.5)", 'Argument "max_iter" to "fit_probit"'),
])
def test_mypy_reads_the_stubs(tmp_path, mypy_cache, call, error):
    source = tmp_path / "user.py"
    source.write_text(textwrap.dedent(CLEAN) + (call or "") + "\n")
    out, err, status = mypy_api.run(["--strict", "--cache-dir", mypy_cache, str(source)])
    if error is None:
        assert status == 0, out + err
    else:
        assert status == 1 and error in out, out + err


def test_stubs_match_the_extension(tmp_path, mypy_cache):
    # The extension's text signatures show "..." for every default (None at
    # run time); any other difference between stubs and module is an error.
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {mypy_cache}\n"
                      "[mypy-pandas.*]\nignore_missing_imports = True\n")
    stubtest = pytest.importorskip("mypy.stubtest")
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        stubtest.test_stubs(stubtest.parse_options(["--mypy-config-file", str(config), "quorvel"]))
    errors = [line for line in buf.getvalue().splitlines() if line.startswith("error:")]
    assert len(errors) == 5, buf.getvalue()
    assert all("has a default value of Ellipsis, which is different from stub "
               "parameter default None" in line for line in errors), buf.getvalue()
