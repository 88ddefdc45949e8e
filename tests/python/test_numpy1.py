"""The extension is built against NumPy 2 headers and must also run, without
warnings, on NumPy 1.x.  This test runs the installed build in a fresh virtual
environment that has NumPy 1.26; it needs the package index to set that up
and is skipped when the index cannot be reached."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import quorvel

CHILD = textwrap.dedent("""
    import warnings
    warnings.simplefilter("error")
    import numpy as np
    import quorvel
    assert np.__version__.startswith("1."), np.__version__
    rng = np.random.default_rng(5)
    X = np.column_stack([np.ones(400), rng.normal(size=400), (rng.random(400) < 0.5) * 1.0])
    y = (X @ [0.1, 0.8, -0.5] + rng.normal(size=400) > 0) * 1.0
    r = quorvel.fit_probit(y, np.asfortranarray(X), robust=True, cluster_vars=X[:, 2:])
    assert r.converged and r.cov_params().shape == (3, 3)
    table = quorvel.ame(r, chunk_size=64)
    assert list(table.index) == ["x0", "x1", "x2"]
    try:
        quorvel.fit_probit(y, X.astype(np.int64))
    except TypeError as exc:
        assert str(exc) == "argument 'exog_py': type mismatch:\\n from=int64, to=float64", str(exc)
    print("ok")
""")


@pytest.mark.skipif(sys.version_info >= (3, 13), reason="NumPy 1.x has no wheels for this Python")
@pytest.mark.not_under_sanitizer("builds another virtual environment from the package index (half a minute)")
def test_runs_on_numpy_1x(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    install = subprocess.run(
        [python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
         "numpy==1.26.4", "pandas==2.1.4"], capture_output=True, text=True)
    if install.returncode != 0:
        pytest.skip("could not install NumPy 1.26 from the package index: " + install.stderr[-300:])
    # Only the extension itself goes on the path: where it is installed, the
    # NumPy 2 beside it must not be seen.
    only = tmp_path / "ext"
    only.mkdir()
    shutil.copy(quorvel.__file__, only)
    env = dict(os.environ, PYTHONPATH=str(only))
    proc = subprocess.run([python, "-c", CHILD], env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"
