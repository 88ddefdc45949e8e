"""Tests of quorvel.ame: binding and failures, duck-typed inputs, block sizes,
memory layouts, the numbers against a NumPy reference and against statsmodels."""
import math
import subprocess
import sys
import types

import numpy as np
import pandas as pd
import pytest

import quorvel

COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"]
NAMES = ["const", "x1", "x2", "d"]


def duck(params, cov, names, exog):
    return types.SimpleNamespace(params=params, cov_params=lambda: cov,
                                 model=types.SimpleNamespace(exog_names=names, exog=exog))


@pytest.fixture(scope="module")
def fitted():
    """A fit on a constant, two normal regressors and one 0/1 regressor."""
    rng = np.random.default_rng(11)
    X = np.column_stack([np.ones(600), rng.normal(size=(600, 2)), (rng.random(600) < 0.4) * 1.0])
    y = (X @ [0.2, 0.5, -0.4, 0.7] + rng.normal(size=600) > 0) * 1.0
    return quorvel.fit_probit(y, X)


@pytest.fixture
def parts(fitted):
    """Fresh copies of (params, cov, names, exog), the first column named const."""
    return fitted.params.copy(), fitted.cov_params().copy(), list(NAMES), fitted.model.exog.copy()


def assert_tables_close(a, b, rtol):
    assert list(a.columns) == COLUMNS and list(a.index) == list(b.index)
    for col in COLUMNS[:4]:
        np.testing.assert_allclose(a[col].to_numpy(), b[col].to_numpy(), rtol=rtol, atol=0)
    assert list(a["Significance"]) == list(b["Significance"])


def assert_no_inference(table):
    assert (table["Std. Err"] == 0.0).all() and table["z"].isna().all()
    assert table["Pr(>|z|)"].isna().all() and (table["Significance"] == "").all()


# --------------------------------------------------------------------------- failures

DEL = object()   # deletes the attribute
ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"
NDARRAY = ARRAY.format("ndarray")
SEQ = "'{}' object cannot be converted to 'Sequence'"
STR = "'{}' object cannot be converted to 'PyString'"
CHUNK = "argument 'chunk_size': '{}' object cannot be interpreted as an integer"
ZERO = "chunk_size must be a positive number of rows, got 0"
NO_ATTR = "'types.SimpleNamespace' object has no attribute '{}'"


def _raise():
    raise RuntimeError("cov failed")


class Name(str):
    pass


FAILURES = [
    # (attribute overrides, chunk_size, exception, message); the binding messages shared
    # with fit_probit are tested in test_module.py
    ({}, 2.5, TypeError, CHUNK.format("float")),
    ({}, -1, OverflowError, "can't convert negative int to unsigned"),
    ({}, 2 ** 64, OverflowError, "int too big to convert"),
    ({}, 0, ValueError, ZERO),
    ({}, False, ValueError, ZERO),
    # chunk_size is converted before any attribute is read
    ({"params": DEL}, 2.5, TypeError, CHUNK.format("float")),
    ({"params": DEL}, 0, ValueError, ZERO),
    ({"params": DEL}, None, AttributeError, NO_ATTR.format("params")),
    ({"params": [0.1, 0.2, 0.3, 0.4]}, None, TypeError, ARRAY.format("list")),
    ({"params": np.zeros((4, 1))}, None, TypeError, NDARRAY),
    ({"params": np.zeros(4, dtype=">f8")}, None, TypeError, NDARRAY),
    ({"params": [0.0], "cov_params": DEL}, None, TypeError, ARRAY.format("list")),  # read order
    ({"cov_params": lambda: np.eye(4, dtype=np.int64)}, None, TypeError, NDARRAY),
    ({"cov_params": lambda: np.ones(4)}, None, TypeError, NDARRAY),
    ({"cov_params": DEL}, None, AttributeError, NO_ATTR.format("cov_params")),
    ({"cov_params": np.eye(4)}, None, TypeError, "attribute of type 'numpy.ndarray' is not callable"),
    ({"cov_params": _raise}, None, RuntimeError, "cov failed"),
    ({"model": DEL}, None, AttributeError, NO_ATTR.format("model")),
    ({"exog_names": "const"}, None, TypeError, "Can't extract `str` to `Vec`"),
    ({"exog_names": Name("abcd")}, None, TypeError, "Can't extract `str` to `Vec`"),
    ({"exog_names": 4}, None, TypeError, SEQ.format("int")),
    ({"exog_names": iter(NAMES)}, None, TypeError, SEQ.format("list_iterator")),
    ({"exog_names": ["const", 1, "x2", "d"]}, None, TypeError, STR.format("int")),
    ({"exog_names": ("const", b"x1", "x2", "d")}, None, TypeError, STR.format("bytes")),
    ({"exog_names": ["const", "x\ud800", "x2", "d"]}, None, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
    ({"exog_names": 4, "exog": DEL}, None, TypeError, SEQ.format("int")),  # read order
    ({"exog": np.ones(4)}, None, TypeError, NDARRAY),
    ({"exog": np.ones((3, 4), dtype=np.int64)}, None, TypeError, NDARRAY),
]


@pytest.mark.parametrize("over, chunk, exc, message", FAILURES)
def test_failures(parts, over, chunk, exc, message):
    obj = duck(*parts)
    for key, value in over.items():
        target = obj.model if key.startswith("exog") else obj
        delattr(target, key) if value is DEL else setattr(target, key, value)
    with pytest.raises(exc) as info:
        quorvel.ame(obj, chunk)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize("edit, message", [
    (lambda p, c, n, x: (p[:3], c, n, x), "params has 3 entries but exog has 4 columns"),
    (lambda p, c, n, x: (np.r_[p, 0.1], c, n, x), "params has 5 entries but exog has 4 columns"),
    (lambda p, c, n, x: (p, c[:3, :3], n, x), "cov_params has shape (3, 3) but exog has 4 columns"),
    (lambda p, c, n, x: (p, np.eye(4, 5), n, x), "cov_params has shape (4, 5) but exog has 4 columns"),
    (lambda p, c, n, x: (p, c, n[:3], x), "exog_names has 3 entries but exog has 4 columns"),
    (lambda p, c, n, x: (p, c, n + ["const", "x9"], x),
     "exog_names has 6 entries but exog has 4 columns and entry 5 is not an intercept name"),
])
def test_shape_mismatch_raises_internal_error(parts, edit, message):
    with pytest.raises(BaseException) as info:
        quorvel.ame(duck(*edit(*parts)))
    assert type(info.value).__name__ == "PanicException" and str(info.value) == message
    assert type(info.value).__bases__ == (BaseException,) and not isinstance(info.value, Exception)


def test_array_reshaped_while_attributes_are_read_is_refused(parts):
    # cov_params runs Python code after params was checked; the arrays are
    # checked again before their memory is read.
    params, cov, names, exog = parts

    def cov_params():
        params.resize((1, params.size), refcheck=False)  # same size: reshaped in place
        return cov

    obj = duck(params, cov, names, exog)
    obj.cov_params = cov_params
    with pytest.raises(TypeError, match=r"^'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        quorvel.ame(obj)


def test_shapes_that_are_not_errors(parts):
    params, cov, names, exog = parts
    # extra intercept names beyond the k-th are ignored
    table = quorvel.ame(duck(params, cov, names + ["Intercept", "CONST"], exog))
    assert_tables_close(table, quorvel.ame(duck(*parts)), rtol=0)
    # with no rows the coefficients are never used: all-NaN effects, no inference
    for p, chunk in ((params, None), (params[:2], None), (params, 5)):
        empty = quorvel.ame(duck(p, cov, names, exog[:0]), chunk)
        assert list(empty.index) == ["x1", "x2", "d"] and list(empty.columns) == COLUMNS
        assert empty["dy/dx"].isna().all()
        assert_no_inference(empty)


# --------------------------------------------------------------------------- names

@pytest.mark.parametrize("names, kept", [
    (tuple(NAMES), [1, 2, 3]),
    ([Name(s) for s in NAMES], [1, 2, 3]),
    (["Intercept", "x1", "CONST", "d"], [1, 3]),
    (["a", "cOnSt", "b", "iNTERCEPT"], [0, 2]),
    (["constant", "const_1", " const", "\u0130NTERCEPT"], [0, 1, 2, 3]),
    (["intercept ", "\uff43onst", "\u03b2\u2081", ""], [0, 1, 2, 3]),
    (["const", "INTERCEPT", "Const", "intercept"], []),
])
def test_intercepts_dropped_from_index_but_used(parts, names, kept):
    params, cov, _, exog = parts
    labelled = quorvel.ame(duck(params, cov, ["a0", "a1", "a2", "a3"], exog))
    table = quorvel.ame(duck(params, cov, names, exog))
    assert list(table.columns) == COLUMNS and list(table.index) == [str(names[j]) for j in kept]
    for col in COLUMNS:   # names only label rows: the numbers are those of the unnamed columns
        assert table[col].tolist() == labelled[col].iloc[kept].tolist()


# --------------------------------------------------------------------------- block sizes

def test_single_block_sizes_give_identical_tables(fitted):
    n = fitted.model.exog.shape[0]
    base = quorvel.ame(fitted)
    assert list(base.index) == ["x0", "x1", "x2", "x3"]  # generated names are never intercepts
    for table in (quorvel.ame(fitted, None), quorvel.ame(fitted, n), quorvel.ame(fitted, n + 5),
                  quorvel.ame(fitted, 2 ** 64 - 1), quorvel.ame(fitted, chunk_size=n),
                  quorvel.ame(probit_model=fitted, chunk_size=None)):
        pd.testing.assert_frame_equal(table, base, check_exact=True)


@pytest.mark.parametrize("chunk", [1, 7, 599, True, np.int64(7), np.uint8(13)])
def test_block_sizes_agree_up_to_rounding(fitted, chunk):
    assert_tables_close(quorvel.ame(fitted, chunk), quorvel.ame(fitted), rtol=1e-12)


# --------------------------------------------------------------------------- memory layouts

def _wide(x):
    """x as a [:, ::2] view of a wider array whose other columns hold NaN."""
    w = np.full((x.shape[0], 2 * x.shape[1]), np.nan)
    w[:, ::2] = x
    return w[:, ::2]


class Sub(np.ndarray):
    pass


LAYOUTS = {
    "fortran exog": lambda p, c, x: (p, c, np.asfortranarray(x)),
    "[:, ::2] exog": lambda p, c, x: (p, c, _wide(x)),
    "[::-1] exog": lambda p, c, x: (p, c, x[::-1]),
    "[::-1] params": lambda p, c, x: (p[::-1].copy()[::-1], c, x),
    "[::2] params": lambda p, c, x: (np.repeat(p, 2)[::2], c, x),
    "transposed cov": lambda p, c, x: (p, np.ascontiguousarray(c).T, x),
    "[::-1, ::-1] cov": lambda p, c, x: (p, c[::-1, ::-1].copy()[::-1, ::-1], x),
    "[:, ::2] cov": lambda p, c, x: (p, _wide(c), x),
    "read-only": lambda p, c, x: tuple(np.broadcast_to(a, a.shape) for a in (p, c, x)),
    "subclasses": lambda p, c, x: (p.view(Sub), c.view(Sub), x.view(Sub)),
}


@pytest.mark.parametrize("edit", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_memory_layouts(parts, edit):
    params, cov, names, exog = parts
    cov = (cov + cov.T) / 2
    base = quorvel.ame(duck(params, cov, names, exog))
    views = edit(params, cov, exog)
    before = [a.copy() for a in views]
    assert_tables_close(quorvel.ame(duck(views[0], views[1], names, views[2]), 7), base, rtol=1e-12)
    assert all(np.array_equal(a, b) for a, b in zip(views, before))


def test_fully_reversed_columns(parts):
    params, cov, names, exog = parts
    base = quorvel.ame(duck(params, cov, names, exog))
    rev = quorvel.ame(duck(params[::-1], cov[::-1, ::-1], names[::-1], exog[::-1, ::-1]))
    assert_tables_close(rev, base.iloc[::-1], rtol=1e-12)


# --------------------------------------------------------------------------- numbers

_erfc = np.frompyfunc(math.erfc, 1, 1)


def cdf(t):
    return _erfc(-np.asarray(t) / math.sqrt(2.0)).astype(float) / 2


def pdf(t):
    return np.exp(-np.asarray(t) ** 2 / 2) / math.sqrt(2 * math.pi)


def reference(beta, V, X, names, binary):
    """dy/dx, delta-method standard errors, z and p of the columns not named as intercepts."""
    k = X.shape[1]
    t, f = X @ beta, pdf(X @ beta)
    effect, J = np.zeros(k), np.zeros((k, k))
    for j in range(k):
        if j in binary:   # discrete change, derivatives from the rows with x_j set to 1 and 0
            x1, x0 = X.copy(), X.copy()
            x1[:, j], x0[:, j] = 1.0, 0.0
            effect[j] = np.mean(cdf(x1 @ beta) - cdf(x0 @ beta))
            J[j] = np.mean(pdf(x1 @ beta)[:, None] * x1 - pdf(x0 @ beta)[:, None] * x0, axis=0)
        else:             # d/dβ of mean(φ(t))·β_j, product rule on the diagonal
            effect[j] = f.mean() * beta[j]
            J[j] = -beta[j] * np.mean((t * f)[:, None] * X, axis=0)
            J[j, j] += f.mean()
    se = np.sqrt(np.maximum(np.diag(J @ V @ J.T), 0.0))
    z = effect / se
    keep = [j for j, s in enumerate(names) if s.lower() not in ("const", "intercept")]
    return effect[keep], se[keep], z[keep], 2 * (1 - cdf(np.abs(z)))[keep]


def _with(x, j, values):
    x = x.copy()
    x[:, j] = values
    return x


CLASSES = {   # edit of exog -> the binary columns
    "as fitted": (lambda x: x, {3}),
    "-0.0 counts as 0": (lambda x: np.where(x == 0.0, -0.0, x), {3}),
    "0/1 and one 0.5": (lambda x: _with(x, 3, np.r_[0.5, x[1:, 3]]), set()),
    "0/1 and a last 2": (lambda x: _with(x, 3, np.r_[x[:-1, 3], 2.0]), set()),
    "only zeros": (lambda x: _with(x, 1, 0.0), {1, 3}),
    "only ones": (lambda x: _with(x, 2, 1.0), {2, 3}),
    "sign of x1": (lambda x: _with(x, 1, (x[:, 1] > 0) * 1.0), {1, 3}),
}


@pytest.mark.parametrize("edit, binary", CLASSES.values(), ids=CLASSES.keys())
def test_against_numpy_reference(parts, edit, binary):
    params, cov, names, exog = parts
    x = edit(exog)
    table = quorvel.ame(duck(params, cov, names, x), 64)
    for col, want in zip(COLUMNS, reference(params, cov, x, names, binary)):
        np.testing.assert_allclose(table[col].to_numpy(), want, rtol=1e-9, atol=1e-15)
    stars = ["***" if p < 0.01 else "**" if p < 0.05 else "*" if p < 0.1 else "" for p in table["Pr(>|z|)"]]
    assert list(table["Significance"]) == stars


def test_non_finite_values_flow_through(parts):
    params, cov, names, exog = parts
    exog[5, 3] = np.inf   # continuous now: that row adds φ(±inf) = 0 (as binary it would be NaN)
    table = quorvel.ame(duck(params, cov, names, exog))
    f = np.where(np.isinf(exog @ params), 0.0, pdf(exog @ params))
    assert table.loc["d", "dy/dx"] == pytest.approx(f.mean() * params[3], rel=1e-12)
    exog[5, 3] = np.nan
    table = quorvel.ame(duck(params, cov, names, exog))
    assert table["dy/dx"].isna().all()
    assert_no_inference(table)


@pytest.mark.parametrize("cov", [np.zeros((4, 4)), -np.eye(4), np.full((4, 4), np.nan)],
                         ids=["zero", "negative", "nan"])
def test_degenerate_covariance(parts, cov):
    params, _, names, exog = parts
    table = quorvel.ame(duck(params, cov, names, exog))
    assert np.isfinite(table["dy/dx"]).all()
    assert_no_inference(table)


@pytest.mark.parametrize("z, p, mark", [
    (0.0, 1.0, ""), (1.64, 0.10101, ""), (1.65, 0.09894, "*"), (1.95, 0.05118, "*"),
    (1.96, 0.049996, "**"), (2.57, 0.01017, "**"), (2.58, 0.00988, "***"), (-2.58, 0.00988, "***"),
    (40.0, 0.0, "***"),
])
def test_p_values_and_stars(parts, z, p, mark):
    params, cov, names, exog = parts
    name = "x2" if z < 0 else "x1"   # x1's effect is positive, x2's negative
    if z == 0.0:
        params[1] = 0.0              # zero effect, positive standard error
    else:                            # scale the covariance so that the row's z is the wanted one
        row = quorvel.ame(duck(params, cov, names, exog)).loc[name]
        cov = cov * (row["dy/dx"] / (row["Std. Err"] * z)) ** 2
    row = quorvel.ame(duck(params, cov, names, exog)).loc[name]
    assert row["Std. Err"] > 0.0 and row["z"] == pytest.approx(z, rel=1e-12)
    assert row["Pr(>|z|)"] == pytest.approx(p, abs=5e-6) and row["Significance"] == mark


# --------------------------------------------------------------------------- pandas

BLOCK_PANDAS = r"""
import importlib.abc, sys
import numpy as np
import quorvel

class Block(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "pandas":
            raise ModuleNotFoundError("No module named 'pandas'", name="pandas")

sys.meta_path.insert(0, Block())
rng = np.random.default_rng(3)
X = np.column_stack([np.ones(200), rng.normal(size=200)])
result = quorvel.fit_probit((X[:, 1] + rng.normal(size=200) > 0) * 1.0, X)
try:
    quorvel.ame(result)
except ModuleNotFoundError as e:
    print(e.name, "pandas" in sys.modules)
"""


def test_missing_pandas_in_subprocess():
    out = subprocess.run([sys.executable, "-c", BLOCK_PANDAS], capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stdout, out.stderr) == (0, "pandas False\n", "")


def test_pandas_is_called_after_the_computation(parts, monkeypatch):
    obj, bad = duck(*parts), duck(parts[0][:3], *parts[1:])
    calls = []
    fake = types.ModuleType("pandas")
    fake.DataFrame = lambda *args, **kwargs: calls.append((args, kwargs)) or "frame"
    monkeypatch.setitem(sys.modules, "pandas", fake)
    assert quorvel.ame(obj) == "frame"
    ((args, kwargs),) = calls
    assert list(kwargs) == ["data", "index"]
    data, index = kwargs.pop("data"), kwargs.pop("index")
    assert (args, kwargs, type(data), list(data), index) == ((), {}, dict, COLUMNS, ["x1", "x2", "d"])
    assert all(type(v) is list and len(v) == 3 for v in [index, *data.values()])
    assert [{type(v) for v in data[c]} for c in COLUMNS] == [{float}] * 4 + [{str}]
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ModuleNotFoundError):
        quorvel.ame(obj)
    with pytest.raises(BaseException) as info:       # the shapes fail before the import
        quorvel.ame(bad)
    assert type(info.value).__name__ == "PanicException"


def test_reference_counts_are_stable(parts):
    # Fresh names of two or more characters, built here, so that only this
    # test and the call hold them: literals and one-character strings are
    # shared with the rest of the process and their counts move with it.
    names = ["".join(list(name)) for name in ("const", "x1", "x2", "dd")]
    assert not any(a is b for a, b in zip(names, ("const", "x1", "x2", "dd")))
    parts = (parts[0], parts[1], names, parts[3])
    obj, bad = duck(*parts), duck(parts[0], parts[1], parts[2][:3], parts[3])
    watched = (obj, *parts, *parts[2])
    quorvel.ame(obj)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        quorvel.ame(obj, 7)
        with pytest.raises(BaseException):
            quorvel.ame(bad)
    assert [sys.getrefcount(o) for o in watched] == before


# --------------------------------------------------------------------------- statsmodels

@pytest.mark.parametrize("seed, n", [(2024, 2000), (77, 20000)])
def test_matches_statsmodels_margins(seed, n):
    sm = pytest.importorskip("statsmodels.api")
    rng = np.random.default_rng(seed)
    X = sm.add_constant(np.column_stack([rng.normal(size=n), rng.uniform(-2, 2, size=n),
                                         rng.random(n) < 0.3, rng.random(n) < 0.6]).astype(float))
    beta = np.array([-0.1, 0.08, -0.04, 0.12, -0.06]) * math.sqrt(2000 / n)
    y = (X @ beta + rng.normal(size=n) > 0).astype(float)
    result = sm.Probit(y, X).fit(disp=0, method="newton", tol=1e-12)
    marg = result.get_margeff(at="overall", method="dydx", dummy=True)
    table = quorvel.ame(result)
    assert list(table.index) == ["x1", "x2", "x3", "x4"]
    np.testing.assert_allclose(table["dy/dx"], marg.margeff, rtol=1e-10, atol=0)
    np.testing.assert_allclose(table["Std. Err"], marg.margeff_se, rtol=1e-6, atol=0)
    np.testing.assert_allclose(table["Pr(>|z|)"], marg.pvalues, rtol=0, atol=1e-6)
