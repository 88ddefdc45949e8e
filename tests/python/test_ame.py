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
