"""Tests of quorvel.ame: binding and failures, duck-typed inputs, block sizes,
strided views, the numbers against a NumPy reference and against statsmodels."""
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


def make_data(seed, n, beta=(0.2, 0.5, -0.4, 0.7)):
    """(y, X): a constant, two normal regressors and one 0/1 regressor."""
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.normal(size=n), rng.normal(size=n),
                         (rng.random(n) < 0.4).astype(float)])
    y = (X @ np.asarray(beta) + rng.normal(size=n) > 0).astype(float)
    return y, X


def duck(params, cov, names, exog):
    return types.SimpleNamespace(
        params=params, cov_params=lambda: cov,
        model=types.SimpleNamespace(exog_names=names, exog=exog))


@pytest.fixture(scope="module")
def fitted():
    y, X = make_data(11, 600)
    return quorvel.fit_probit(y, X)


@pytest.fixture
def parts(fitted):
    """Plain copies of (params, cov, names, exog) of the fitted model."""
    return fitted.params.copy(), fitted.cov_params().copy(), list(NAMES), fitted.model.exog.copy()


def assert_tables_close(a, b, rtol):
    assert list(a.columns) == COLUMNS and list(a.index) == list(b.index)
    for col in COLUMNS[:4]:
        np.testing.assert_allclose(a[col].to_numpy(), b[col].to_numpy(), rtol=rtol, atol=0)
    assert list(a["Significance"]) == list(b["Significance"])


# --------------------------------------------------------------------------- failures

def _no(attr):
    def edit(o):
        delattr(o, attr)
    return edit


def _set(path, value):
    def edit(o):
        target = o.model if path in ("exog", "exog_names") else o
        setattr(target, path, value)
    return edit


def _cov(value):
    return _set("cov_params", lambda: value)


def _boom():
    raise RuntimeError("cov failed")


def _then(*edits):
    def edit(o):
        for e in edits:
            e(o)
    return edit


ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"
NDARRAY = ARRAY.format("ndarray")


class StrName(str):
    pass


FAILURES = [
    # (edit of a valid object, positional args after it, keyword args, exception, message)
    (None, (1, 2), {}, TypeError, "ame() takes from 1 to 2 positional arguments but 3 were given"),
    (None, (), {"chunk": 1}, TypeError, "ame() got an unexpected keyword argument 'chunk'"),
    (None, (), {"probit_model": 1}, TypeError, "ame() got multiple values for argument 'probit_model'"),
    (None, (5,), {"chunk_size": 5}, TypeError, "ame() got multiple values for argument 'chunk_size'"),
    (None, (), {"chunk_size": 2.5}, TypeError,
     "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
    (None, (), {"chunk_size": "3"}, TypeError,
     "argument 'chunk_size': 'str' object cannot be interpreted as an integer"),
    (None, (-1,), {}, OverflowError, "can't convert negative int to unsigned"),
    (None, (2 ** 64,), {}, OverflowError, "int too big to convert"),
    (None, (0,), {}, ValueError, "chunk_size must be a positive number of rows, got 0"),
    (None, (False,), {}, ValueError, "chunk_size must be a positive number of rows, got 0"),
    # chunk_size is converted before any attribute is read
    (_no("params"), (2.5,), {}, TypeError,
     "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
    (_no("params"), (0,), {}, ValueError, "chunk_size must be a positive number of rows, got 0"),
    (_no("params"), (), {}, AttributeError, "'types.SimpleNamespace' object has no attribute 'params'"),
    (_set("params", [0.1, 0.2, 0.3, 0.4]), (), {}, TypeError, ARRAY.format("list")),
    (_set("params", np.zeros((4, 1))), (), {}, TypeError, NDARRAY),
    (_set("params", np.zeros(4, dtype=np.int64)), (), {}, TypeError, NDARRAY),
    (_set("params", np.zeros(4, dtype=np.float32)), (), {}, TypeError, NDARRAY),
    (_set("params", np.zeros(4, dtype=">f8")), (), {}, TypeError, NDARRAY),
    # params is read and checked before cov_params is looked up
    (_then(_set("params", [0.0]), _no("cov_params")), (), {}, TypeError, ARRAY.format("list")),
    (_cov(np.eye(4, dtype=np.int64)), (), {}, TypeError, NDARRAY),
    (_cov(np.ones(4)), (), {}, TypeError, NDARRAY),
    (_cov(np.eye(4).tolist()), (), {}, TypeError, ARRAY.format("list")),
    (_no("cov_params"), (), {}, AttributeError,
     "'types.SimpleNamespace' object has no attribute 'cov_params'"),
    (_set("cov_params", np.eye(4)), (), {}, TypeError, "attribute of type 'numpy.ndarray' is not callable"),
    (_set("cov_params", _boom), (), {}, RuntimeError, "cov failed"),
    (_no("model"), (), {}, AttributeError, "'types.SimpleNamespace' object has no attribute 'model'"),
    (_set("exog_names", "const"), (), {}, TypeError, "Can't extract `str` to `Vec`"),
    (_set("exog_names", StrName("abcd")), (), {}, TypeError, "Can't extract `str` to `Vec`"),
    (_set("exog_names", 4), (), {}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (_set("exog_names", iter(NAMES)), (), {}, TypeError,
     "'list_iterator' object cannot be converted to 'Sequence'"),
    (_set("exog_names", ["const", 1, "x2", "d"]), (), {}, TypeError,
     "'int' object cannot be converted to 'PyString'"),
    (_set("exog_names", ["const", b"x1", "x2", "d"]), (), {}, TypeError,
     "'bytes' object cannot be converted to 'PyString'"),
    (_set("exog_names", ["const", "x\ud800", "x2", "d"]), (), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
    # names are read and converted before exog is looked up
    (_then(_set("exog_names", 4), _set("exog", None)), (), {}, TypeError,
     "'int' object cannot be converted to 'Sequence'"),
    (_set("exog", np.ones(4)), (), {}, TypeError, NDARRAY),
    (_set("exog", np.ones((3, 4), dtype=np.int64)), (), {}, TypeError, NDARRAY),
    (_set("exog", np.ones((3, 4)).tolist()), (), {}, TypeError, ARRAY.format("list")),
]


@pytest.mark.parametrize("edit, args, kwargs, exc, message", FAILURES)
def test_failures(parts, edit, args, kwargs, exc, message):
    obj = duck(*parts)
    if edit is not None:
        edit(obj)
    with pytest.raises(exc) as info:
        quorvel.ame(obj, *args, **kwargs)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize("kwargs", [{}, {"chunk_size": 3}])
def test_missing_model_argument(kwargs):
    with pytest.raises(TypeError) as info:
        quorvel.ame(**kwargs)
    assert str(info.value) == "ame() missing 1 required positional argument: 'probit_model'"


SHAPES = [
    # edit of (params, cov, names, exog) -> message of the internal error
    (lambda p, c, n, x: (p[:3], c, n, x), "params has 3 entries but exog has 4 columns"),
    (lambda p, c, n, x: (np.r_[p, 0.1], c, n, x), "params has 5 entries but exog has 4 columns"),
    (lambda p, c, n, x: (p, c[:3, :3], n, x), "cov_params has shape (3, 3) but exog has 4 columns"),
    (lambda p, c, n, x: (p, np.eye(4, 5), n, x), "cov_params has shape (4, 5) but exog has 4 columns"),
    (lambda p, c, n, x: (p, c, n[:3], x), "exog_names has 3 entries but exog has 4 columns"),
    (lambda p, c, n, x: (p, c, n + ["e"], x),
     "exog_names has 5 entries but exog has 4 columns and entry 4 is not an intercept name"),
    (lambda p, c, n, x: (p, c, n + ["const", "x9"], x),
     "exog_names has 6 entries but exog has 4 columns and entry 5 is not an intercept name"),
]


@pytest.mark.parametrize("edit, message", SHAPES)
def test_shape_mismatch_raises_internal_error(parts, edit, message):
    with pytest.raises(BaseException) as info:
        quorvel.ame(duck(*edit(*parts)))
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__bases__ == (BaseException,) and not isinstance(info.value, Exception)
    assert str(info.value) == message


def test_shapes_that_are_not_errors(parts):
    params, cov, names, exog = parts
    # extra intercept names beyond the k-th are ignored
    table = quorvel.ame(duck(params, cov, names + ["Intercept", "CONST"], exog))
    assert_tables_close(table, quorvel.ame(duck(*parts)), rtol=0)
    # with no rows the coefficient count is never used: all-NaN table
    for p, chunk in ((params, None), (params[:2], None), (params, 5)):
        empty = quorvel.ame(duck(p, cov, names, exog[:0]), chunk)
        assert list(empty.index) == ["x1", "x2", "d"] and list(empty.columns) == COLUMNS
        assert empty["dy/dx"].isna().all() and (empty["Std. Err"] == 0.0).all()
        assert empty["z"].isna().all() and empty["Pr(>|z|)"].isna().all()
        assert list(empty["Significance"]) == ["", "", ""]


# --------------------------------------------------------------------------- names

class Name(str):
    pass


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
    assert list(table.columns) == COLUMNS
    assert list(table.index) == [str(names[j]) for j in kept]
    expected = labelled.iloc[kept]
    for col in COLUMNS:
        assert table[col].tolist() == pytest.approx(expected[col].tolist(), rel=0, abs=0, nan_ok=True)


def test_results_object_reports_every_regressor(fitted):
    table = quorvel.ame(fitted)
    assert list(table.index) == ["x0", "x1", "x2", "x3"] and list(table.columns) == COLUMNS
    assert table["Significance"].map(type).eq(str).all()


# --------------------------------------------------------------------------- block sizes

def test_single_block_sizes_give_identical_tables(fitted):
    n = fitted.model.exog.shape[0]
    base = quorvel.ame(fitted)
    for chunk in (None, n, n + 5, 2 ** 64 - 1):
        pd.testing.assert_frame_equal(quorvel.ame(fitted, chunk), base, check_exact=True)
    pd.testing.assert_frame_equal(quorvel.ame(fitted, chunk_size=n), base, check_exact=True)


@pytest.mark.parametrize("chunk", [1, 7, 599, True, np.int64(7), np.uint8(13)])
def test_block_sizes_agree_up_to_rounding(fitted, chunk):
    assert_tables_close(quorvel.ame(fitted, chunk), quorvel.ame(fitted), rtol=1e-12)


# --------------------------------------------------------------------------- memory layouts

def _wide(x):
    """x as a [:, ::2] view of a wider array whose other columns hold NaN."""
    w = np.full((x.shape[0], 2 * x.shape[1]), np.nan)
    w[:, ::2] = x
    return w[:, ::2]


def _readonly(a):
    a = a.copy()
    a.setflags(write=False)
    return a


class Sub(np.ndarray):
    pass


LAYOUTS = [
    ("fortran exog", lambda p, c, x: (p, c, np.asfortranarray(x))),
    ("[:, ::2] exog", lambda p, c, x: (p, c, _wide(x))),
    ("[::-1] exog", lambda p, c, x: (p, c, x[::-1])),
    ("negative params", lambda p, c, x: (p[::-1].copy()[::-1], c, x)),
    ("[::2] params", lambda p, c, x: (np.repeat(p, 2)[::2], c, x)),
    ("transposed cov", lambda p, c, x: (p, np.ascontiguousarray(c).T, x)),
    ("[::-1, ::-1] cov", lambda p, c, x: (p, c[::-1, ::-1].copy()[::-1, ::-1], x)),
    ("[:, ::2] cov", lambda p, c, x: (p, _wide(c), x)),
    ("read-only", lambda p, c, x: (_readonly(p), _readonly(c), _readonly(x))),
    ("subclasses", lambda p, c, x: (p.view(Sub), c.view(Sub), x.view(Sub))),
]


@pytest.mark.parametrize("edit", [e for _, e in LAYOUTS], ids=[i for i, _ in LAYOUTS])
def test_memory_layouts(parts, edit):
    params, cov, names, exog = parts
    cov = (cov + cov.T) / 2
    base = quorvel.ame(duck(params, cov, names, exog))
    p, c, x = edit(params, cov, exog)
    before = [a.copy() for a in (p, c, x)]
    assert_tables_close(quorvel.ame(duck(p, c, names, x), 7), base, rtol=1e-12)
    for a, b in zip((p, c, x), before):
        assert np.array_equal(a, b)


def test_fully_reversed_columns(parts):
    params, cov, names, exog = parts
    base = quorvel.ame(duck(params, cov, names, exog))
    rev = quorvel.ame(duck(params[::-1], cov[::-1, ::-1], names[::-1], exog[::-1, ::-1]))
    assert_tables_close(rev, base.iloc[::-1], rtol=1e-12)


# --------------------------------------------------------------------------- numbers

_erfc = np.frompyfunc(math.erfc, 1, 1)


def cdf(t):
    return (_erfc(-np.asarray(t) / math.sqrt(2.0)).astype(float)) / 2


def pdf(t):
    return np.exp(-np.asarray(t) ** 2 / 2) / math.sqrt(2 * math.pi)


def reference(beta, V, X, names, binary):
    """dy/dx, delta-method standard errors, z and p of the kept columns."""
    n, k = X.shape
    t = X @ beta
    effect, J = np.zeros(k), np.zeros((k, k))
    for j in range(k):
        if j in binary:
            x1, x0 = X.copy(), X.copy()
            x1[:, j], x0[:, j] = 1.0, 0.0
            t1, t0 = x1 @ beta, x0 @ beta
            effect[j] = np.mean(cdf(t1) - cdf(t0))
            J[j] = np.mean(pdf(t1)[:, None] * x1 - pdf(t0)[:, None] * x0, axis=0)
        else:
            f = pdf(t)
            effect[j] = f.mean() * beta[j]
            J[j] = -beta[j] * np.mean((t * f)[:, None] * X, axis=0)
            J[j, j] += f.mean()
    se = np.sqrt(np.maximum(np.diag(J @ V @ J.T), 0.0))
    z = effect / se
    p = 2 * (1 - cdf(np.abs(z)))
    keep = [j for j, s in enumerate(names) if s.lower() not in ("const", "intercept")]
    return effect[keep], se[keep], z[keep], p[keep]


def stars(p):
    return "***" if p < 0.01 else "**" if p < 0.05 else "*" if p < 0.1 else ""


def _column(j, values):
    """Sets the leading rows of column j to values (or to values(x))."""
    def edit(x):
        v = values(x) if callable(values) else values
        x = x.copy()
        x[: len(v), j] = v
        return x
    return edit


CLASSES = [
    # edit of exog, binary columns
    ("as fitted", lambda x: x, {3}),
    ("-0.0 counts as 0", lambda x: np.where(x == 0.0, -0.0, x), {3}),
    ("0/1 with 0.5", _column(3, [0.5]), set()),
    ("0/1 with 2 last", lambda x: _column(3, [2.0])(x[::-1])[::-1], set()),
    ("all zeros", _column(1, lambda x: np.zeros(len(x))), {1, 3}),
    ("all ones", _column(2, lambda x: np.ones(len(x))), {2, 3}),
    ("only -0.0 and 1.0", _column(2, lambda x: np.resize([-0.0, 1.0, 1.0], len(x))), {2, 3}),
    ("continuous made 0/1", _column(1, lambda x: (x[:, 1] > 0).astype(float)), {1, 3}),
]


@pytest.mark.parametrize("edit, binary", [c[1:] for c in CLASSES], ids=[c[0] for c in CLASSES])
def test_against_numpy_reference(parts, edit, binary):
    params, cov, names, exog = parts
    x = edit(exog)
    table = quorvel.ame(duck(params, cov, names, x), 64)
    expected = reference(params, cov, x, names, binary)
    for col, want in zip(COLUMNS, expected):
        np.testing.assert_allclose(table[col].to_numpy(), want, rtol=1e-9, atol=1e-15)
    assert list(table["Significance"]) == [stars(p) for p in table["Pr(>|z|)"]]


def test_infinity_makes_a_column_continuous(parts):
    params, cov, names, exog = parts
    x = exog.copy()
    x[5, 3] = np.inf
    table = quorvel.ame(duck(params, cov, names, x))
    # treated as binary, the row would give inf - inf = NaN; as continuous it adds φ(±inf) = 0
    f = np.where(np.isinf(x @ params), 0.0, pdf(x @ params))
    assert table.loc["d", "dy/dx"] == pytest.approx(f.mean() * params[3], rel=1e-12)
    x[5, 3] = np.nan
    table = quorvel.ame(duck(params, cov, names, x))
    assert table["dy/dx"].isna().all() and (table["Std. Err"] == 0.0).all()
    assert table["z"].isna().all() and list(table["Significance"]) == ["", "", ""]


@pytest.mark.parametrize("cov", [np.zeros((4, 4)), -np.eye(4), np.full((4, 4), np.nan)],
                         ids=["zero", "negative", "nan"])
def test_degenerate_covariance(parts, cov):
    params, _, names, exog = parts
    table = quorvel.ame(duck(params, cov, names, exog))
    assert np.isfinite(table["dy/dx"]).all() and (table["Std. Err"] == 0.0).all()
    assert table["z"].isna().all() and table["Pr(>|z|)"].isna().all()
    assert list(table["Significance"]) == ["", "", ""]


@pytest.mark.parametrize("z, p, mark", [
    (1.64, 0.10101, ""), (1.65, 0.09894, "*"), (1.95, 0.05118, "*"), (1.96, 0.049996, "**"),
    (2.57, 0.01017, "**"), (2.58, 0.00988, "***"), (-2.58, 0.00988, "***"), (40.0, 0.0, "***"),
])
def test_p_values_and_stars(parts, z, p, mark):
    params, cov, names, exog = parts
    name = "x1" if z > 0 else "x2"  # x1's effect is positive, x2's negative
    row = quorvel.ame(duck(params, cov, names, exog)).loc[name]
    scale = (row["dy/dx"] / (row["Std. Err"] * z)) ** 2
    row = quorvel.ame(duck(params, cov * scale, names, exog)).loc[name]
    assert row["z"] == pytest.approx(z, rel=1e-12)
    assert row["Pr(>|z|)"] == pytest.approx(p, abs=5e-6)
    assert row["Significance"] == mark


def test_zero_effect_has_p_one(parts):
    params, cov, names, exog = parts
    params[1] = 0.0
    row = quorvel.ame(duck(params, cov, names, exog)).loc["x1"]
    assert row["dy/dx"] == 0.0 and row["Std. Err"] > 0.0
    assert row["z"] == 0.0 and row["Pr(>|z|)"] == 1.0 and row["Significance"] == ""
