"""fit_probit: argument conversion, outcome validation, cluster checks, the
singular-Hessian warning, and a cross-check against statsmodels."""
import math
import operator

import numpy as np
import pandas as pd
import pytest

import quorvel

fit = quorvel.fit_probit
N = 100


def _small(seed=3):
    gen = np.random.default_rng(seed)
    X = np.column_stack([np.ones(N), gen.normal(size=N), (gen.random(N) < 0.5).astype(float)])
    y = (X @ [0.2, 0.7, -0.5] + gen.normal(size=N) > 0).astype(float)
    return y, X


def _message(fn, arg):
    try:
        fn(arg)
    except Exception as exc:  # the interpreter's own wording for this Python version
        return str(exc)
    raise AssertionError("no error")


NOT_INDEX_FLOAT = _message(operator.index, 2.0)
NOT_INDEX_STR = _message(operator.index, "3")
NOT_REAL_STR = _message(math.sqrt, "x")
NO_SHAPE = _message(lambda o: o.shape, [])
NOT_ARRAY = "' object cannot be converted to 'PyArray<T, D>'"


class SubTypeError(TypeError):
    pass


class Index:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class Float:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class Shaped:
    def __init__(self, shape):
        self.shape = shape


class TupleSub(tuple):
    pass


CONVERSION_ERRORS = [
    # exog_py: instance, then number of dimensions, then dtype
    (lambda y, X: fit(y, X.tolist()), TypeError, "argument 'exog_py': 'list" + NOT_ARRAY),
    (lambda y, X: fit(y, pd.DataFrame(X)), TypeError, "argument 'exog_py': 'DataFrame" + NOT_ARRAY),
    (lambda y, X: fit(y, np.float64(1.0)), TypeError, "argument 'exog_py': 'float64" + NOT_ARRAY),
    (lambda y, X: fit(y, X[:, 1]), TypeError, "argument 'exog_py': dimensionality mismatch:\n from=1, to=2"),
    (lambda y, X: fit(y, X[:, :, None]), TypeError,
     "argument 'exog_py': dimensionality mismatch:\n from=3, to=2"),
    (lambda y, X: fit(y, np.array(1.0)), TypeError, "argument 'exog_py': dimensionality mismatch:\n from=0, to=2"),
    (lambda y, X: fit(y, X[:, 1].astype(np.int64)), TypeError,
     "argument 'exog_py': dimensionality mismatch:\n from=1, to=2"),
    (lambda y, X: fit(y, X.astype(np.int64)), TypeError, "argument 'exog_py': type mismatch:\n from=int64, to=float64"),
    (lambda y, X: fit(y, X.astype(np.float32)), TypeError,
     "argument 'exog_py': type mismatch:\n from=float32, to=float64"),
    (lambda y, X: fit(y, X.astype(">f8")), TypeError, "argument 'exog_py': type mismatch:\n from=>f8, to=float64"),
    (lambda y, X: fit(y, X.astype(object)), TypeError, "argument 'exog_py': type mismatch:\n from=object, to=float64"),
    # max_iter: index protocol (TypeError relabelled), then unsigned 64 bits (OverflowError as is)
    (lambda y, X: fit(y, X, 2.0), TypeError, "argument 'max_iter': " + NOT_INDEX_FLOAT),
    (lambda y, X: fit(y, X, max_iter="3"), TypeError, "argument 'max_iter': " + NOT_INDEX_STR),
    (lambda y, X: fit(y, X, max_iter=Index(TypeError("no index"))), TypeError, "argument 'max_iter': no index"),
    (lambda y, X: fit(y, X, max_iter=Index(SubTypeError("sub"))), SubTypeError, "sub"),
    (lambda y, X: fit(y, X, max_iter=Index(ValueError("value"))), ValueError, "value"),
    (lambda y, X: fit(y, X, max_iter=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda y, X: fit(y, X, max_iter=2**64), OverflowError, "int too big to convert"),
    # tol: float protocol
    (lambda y, X: fit(y, X, tol="x"), TypeError, "argument 'tol': " + NOT_REAL_STR),
    (lambda y, X: fit(y, X, tol=Float(SubTypeError("sub"))), SubTypeError, "sub"),
    (lambda y, X: fit(y, X, tol=Float(ZeroDivisionError("zero"))), ZeroDivisionError, "zero"),
    # robust: exactly bool
    (lambda y, X: fit(y, X, robust=1), TypeError, "argument 'robust': 'int' object cannot be converted to 'PyBool'"),
    (lambda y, X: fit(y, X, robust=0), TypeError, "argument 'robust': 'int' object cannot be converted to 'PyBool'"),
    (lambda y, X: fit(y, X, robust="yes"), TypeError,
     "argument 'robust': 'str' object cannot be converted to 'PyBool'"),
    (lambda y, X: fit(y, X, robust=np.True_), TypeError,
     f"argument 'robust': '{type(np.True_).__qualname__}' object cannot be converted to 'PyBool'"),
    # the first failing conversion wins, and conversion precedes the outcome checks
    (lambda y, X: fit(y, X.tolist(), "a", "b", 1), TypeError, "argument 'exog_py': 'list" + NOT_ARRAY),
    (lambda y, X: fit(y, X, 2.0, "b", 1), TypeError, "argument 'max_iter': " + NOT_INDEX_FLOAT),
    (lambda y, X: fit(y, X, -1, "b", 1), OverflowError, "can't convert negative int to unsigned"),
    (lambda y, X: fit(y, X, None, "x", 1), TypeError, "argument 'tol': " + NOT_REAL_STR),
    (lambda y, X: fit(y.tolist(), X, robust=1), TypeError,
     "argument 'robust': 'int' object cannot be converted to 'PyBool'"),
    # outcome, validated through its shape; never relabelled
    (lambda y, X: fit(y.tolist(), X), AttributeError, NO_SHAPE),
    (lambda y, X: fit(y.astype(np.int64), X), TypeError, "'ndarray" + NOT_ARRAY),
    (lambda y, X: fit(y.astype(np.float32), X), TypeError, "'ndarray" + NOT_ARRAY),
    (lambda y, X: fit(y[:, None].astype(np.int64), X), TypeError, "'ndarray" + NOT_ARRAY),
    (lambda y, X: fit(Shaped((N,)), X), TypeError, "'Shaped" + NOT_ARRAY),
    (lambda y, X: fit(Shaped(TupleSub((N, 1))), X), TypeError, "'Shaped" + NOT_ARRAY),
    (lambda y, X: fit(Shaped([N]), X), TypeError, "'list' object cannot be converted to 'PyTuple'"),
    (lambda y, X: fit(np.column_stack([y, y]), X), ValueError,
     "endog must be shape (nobs,) or (nobs,1). got=(100,Some(2))"),
    (lambda y, X: fit(np.empty((N, 0)), X), ValueError,
     "endog must be shape (nobs,) or (nobs,1). got=(100,Some(0))"),
    (lambda y, X: fit(y[:, None, None], X), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda y, X: fit(np.array(1.0), X), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    (lambda y, X: fit(Shaped((-1, 3)), X), OverflowError, "can't convert negative int to unsigned"),
    (lambda y, X: fit(Shaped((N, 2**64)), X), OverflowError, "int too big to convert"),
    (lambda y, X: fit(Shaped(("a",)), X), TypeError, _message(operator.index, "a")),
    (lambda y, X: fit(np.append(y, 1.0), X), ValueError, "endog has 101 observations but exog has only 100 rows"),
    (lambda y, X: fit(np.append(y, 1.0)[:, None], X), ValueError,
     "endog has 101 observations but exog has only 100 rows"),
    # cluster_vars, examined only with robust=True, after the fit; never relabelled
    (lambda y, X: fit(y, X, robust=True, cluster_vars=[[1.0]] * N), TypeError, "'list" + NOT_ARRAY),
    (lambda y, X: fit(y, X, robust=True, cluster_vars="abc"), TypeError, "'str" + NOT_ARRAY),
    (lambda y, X: fit(y, X, robust=True, cluster_vars=np.ones(N)), TypeError, "'ndarray" + NOT_ARRAY),
    (lambda y, X: fit(y, X, robust=True, cluster_vars=np.ones((N, 1), np.int64)), TypeError, "'ndarray" + NOT_ARRAY),
    (lambda y, X: fit(y, X, robust=True, cluster_vars=np.ones((N, 1), np.float32)), TypeError,
     "'ndarray" + NOT_ARRAY),
    (lambda y, X: fit(y, X, robust=True, cluster_vars=pd.DataFrame(np.ones((N, 1)))), TypeError,
     "'DataFrame" + NOT_ARRAY),
    (lambda y, X: fit(y, X, robust=True, cluster_vars=np.ones((N - 1, 1))), ValueError,
     "cluster mismatch: got 99 rows, nobs=100"),
    (lambda y, X: fit(y, X, robust=True, cluster_vars=np.ones((N + 1, 2))), ValueError,
     "cluster mismatch: got 101 rows, nobs=100"),
    (lambda y, X: fit(y[:90], X, robust=True, cluster_vars=np.ones((N, 1))), ValueError,
     "cluster mismatch: got 100 rows, nobs=90"),
]


@pytest.mark.parametrize("call, exc_type, message", CONVERSION_ERRORS)
def test_fit_probit_errors(call, exc_type, message):
    y, X = _small()
    with pytest.raises(BaseException) as info:
        call(y, X)
    assert type(info.value) is exc_type
    assert str(info.value) == message


def test_relabelled_error_takes_over_the_cause_of_the_first():
    y, X = _small()
    root = KeyError("root")

    class BadFloat:
        def __float__(self):
            raise TypeError("bad float") from root

    with pytest.raises(TypeError) as info:
        fit(y, X, tol=BadFloat())
    assert str(info.value) == "argument 'tol': bad float"
    assert info.value.__cause__ is root


def _summary(r):
    return (r.params.tolist(), r.cov_params().tolist(), r.loglike, r.iterations, r.converged)


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class OneDimShape(np.ndarray):
    @property
    def shape(self):
        return (len(self), None)


@pytest.mark.parametrize("kwargs, same_as", [
    ({"max_iter": np.int64(35)}, {}),
    ({"max_iter": IndexOnly(35)}, {}),
    ({"max_iter": True}, {"max_iter": 1}),
    ({"max_iter": False}, {"max_iter": 0}),
    ({"tol": np.float32(0.5)}, {"tol": float(np.float32(0.5))}),
    ({"tol": IndexOnly(0)}, {"tol": 0.0}),
    ({"tol": 1}, {"tol": 1.0}),
    ({"cluster_vars": "anything"}, {}),
    ({"robust": False, "cluster_vars": np.ones(3, np.int64)}, {}),
    ({"robust": True, "cluster_vars": None}, {"robust": True}),
])
def test_accepted_argument_forms(kwargs, same_as):
    y, X = _small()
    assert _summary(fit(y, X, **kwargs)) == _summary(fit(y, X, **same_as))


def test_other_accepted_inputs():
    y, X = _small()
    base = _summary(fit(y, X))
    singletons = fit(y, X, robust=True, cluster_vars=np.arange(float(N))[:, None]).cov_params()
    assert _close(singletons, fit(y, X, robust=True).cov_params(), 1e-12)

    class Sub(np.ndarray):
        pass

    assert _summary(fit(y.view(Sub), X.view(Sub))) == base
    assert _summary(fit(y.view(OneDimShape), X)) == base  # a shape of (n, None) selects the 1-D outcome
    # The trailing rows of X take no part in the fit but are kept (values that
    # no earlier copy held, so that stale memory cannot pass for them).
    trailing = X.copy()
    trailing[60:] *= -3.0
    short = fit(y[:60], trailing)
    assert _summary(short) == _summary(fit(y[:60], X[:60]))
    np.testing.assert_array_equal(short.model.exog, trailing)


@pytest.mark.parametrize("kwargs, iterations, converged", [
    ({"max_iter": 0}, 0, False),
    ({"max_iter": 1}, 0, False),
    ({"max_iter": 5, "tol": 0.0}, 4, False),
    ({"tol": 0.0}, 34, False),
    ({"tol": -1.0}, 34, False),
    ({"tol": math.nan}, 34, False),
    ({"tol": math.inf}, 0, True),
])
def test_iteration_limits(kwargs, iterations, converged):
    y, X = _small()
    r = fit(y, X, **kwargs)
    assert (r.iterations, r.converged) == (iterations, converged)
    if kwargs.get("max_iter") == 0:
        assert r.params.tolist() == [0.0, 0.0, 0.0]
        assert r.loglike == pytest.approx(N * math.log(0.5), rel=1e-14)


def test_default_fit_converges_in_a_few_iterations(probit_data):
    r = fit(*probit_data)
    assert r.converged and r.iterations <= 10
    assert r.params.shape == (4,) and r.cov_params().shape == (4, 4)
    assert r.model.exog_names == ["x0", "x1", "x2", "x3"]
    assert np.all(np.linalg.eigvalsh(r.cov_params()) > 0)


def test_nan_in_data_is_not_an_error():
    y, X = _small()
    X[5, 1] = np.nan
    r = fit(y, X, robust=True)
    assert (r.iterations, r.converged) == (1, True)
    assert np.isnan(r.params).all() and np.isnan(r.cov_params()).all()
    assert r.loglike == pytest.approx(N * math.log(1e-15), rel=1e-14)


WARNING = "Hessian singular => identity for Cov\n"


def _zero_column():
    y, X = _small()
    X[:, 2] = 0.0
    return y, X


def _meat(y, X, beta):
    q = 2 * y - 1
    t = (X @ beta) * q
    cdf = np.clip(0.5 * np.array([math.erfc(-v / math.sqrt(2)) for v in t]), 1e-15, 1 - 1e-15)
    lam = q * np.exp(-0.5 * t * t) / math.sqrt(2 * math.pi) / cdf
    s = X * lam[:, None]
    return s.T @ s


def test_singular_hessian_warning(capfd):
    y, X = _small()
    fit(y, X)
    assert capfd.readouterr().err == ""

    y, X = _zero_column()
    r = fit(y, X)
    assert capfd.readouterr().err == WARNING
    assert r.cov_params().tolist() == np.eye(3).tolist()

    r = fit(y, X, robust=True)  # the sandwich with identity bread is the meat itself
    assert capfd.readouterr().err == WARNING
    expected = _meat(y, X, r.params)
    assert np.max(abs(r.cov_params() - expected)) <= 1e-9 * np.max(abs(expected))

    r = fit(np.empty(0), np.empty((0, 2)))
    assert capfd.readouterr().err == WARNING
    assert (r.params.tolist(), r.loglike, r.iterations, r.converged) == ([0.0, 0.0], 0.0, 0, True)
    assert r.cov_params().tolist() == np.eye(2).tolist()


@pytest.mark.parametrize("cluster_vars, exc_type", [
    ([1.0] * N, TypeError),
    (np.ones(N), TypeError),
    (np.ones((N - 1, 1)), ValueError),
])
def test_warning_is_written_before_cluster_vars_are_checked(capfd, cluster_vars, exc_type):
    y, X = _zero_column()
    with pytest.raises(exc_type):
        fit(y, X, robust=True, cluster_vars=cluster_vars)
    assert capfd.readouterr().err == WARNING


# --- cross-check against statsmodels -------------------------------------------------------

def _dataset(n, seed, scale=1.0):
    gen = np.random.default_rng(seed)
    X = np.column_stack([
        np.ones(n),
        scale * gen.normal(size=n),
        scale * gen.uniform(-2, 2, size=n),
        (gen.random(n) < 0.3).astype(float),
        (gen.random(n) < 0.6).astype(float),
    ])
    beta = np.array([-0.2, 0.5 / scale, -0.3 / scale, 0.8, -0.4])
    y = (X @ beta + gen.normal(size=n) > 0).astype(float)
    groups = np.column_stack([gen.integers(0, 40, n), gen.integers(0, 3, n)]).astype(float)
    return y, X, groups


def _close(a, b, rel):
    return np.max(abs(np.asarray(a) - np.asarray(b))) <= rel * np.max(abs(np.asarray(b)))


def _cluster_sandwich(scores, hessian, keys):
    _, labels = np.unique(keys, axis=0, return_inverse=True)
    sums = np.zeros((labels.max() + 1, scores.shape[1]))
    np.add.at(sums, labels.ravel(), scores)
    bread = np.linalg.inv(hessian)
    return bread @ (sums.T @ sums) @ bread


@pytest.mark.parametrize("n, seed", [(3000, 11), (20000, 12)])
def test_agrees_with_statsmodels(n, seed):
    sm = pytest.importorskip("statsmodels.api")
    y, X, groups = _dataset(n, seed)
    peer = sm.Probit(y, X)
    peer_fit = peer.fit(disp=0)
    r = fit(y, X)
    assert r.converged
    assert _close(r.params, peer_fit.params, 1e-5)
    assert r.loglike == pytest.approx(peer_fit.llf, rel=1e-8)

    hessian = peer.hessian(r.params)
    scores = peer.score_obs(r.params)
    assert _close(r.cov_params(), -np.linalg.inv(hessian), 1e-9)
    hc0 = fit(y, X, robust=True).cov_params()
    bread = np.linalg.inv(hessian)
    assert _close(hc0, bread @ (scores.T @ scores) @ bread, 1e-9)
    one = fit(y, X, robust=True, cluster_vars=groups[:, :1]).cov_params()
    assert _close(one, _cluster_sandwich(scores, hessian, groups[:, :1]), 1e-9)
    two = fit(y, X, robust=True, cluster_vars=groups).cov_params()
    assert _close(two, _cluster_sandwich(scores, hessian, groups), 1e-9)
    assert not _close(two, one, 1e-3)


@pytest.mark.parametrize("n, scale", [(50000, 1.0), (60000, 10.0), (50000, 0.01)])
def test_large_fits_reach_the_optimum(n, scale):
    sm = pytest.importorskip("statsmodels.api")
    y, X, _ = _dataset(n, 21, scale)
    r = fit(y, X)
    assert r.converged
    assert _close(r.params, sm.Probit(y, X).fit(disp=0).params, 1e-5)
