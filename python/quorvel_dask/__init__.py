"""quorvel's probit fit and average marginal effects on Dask arrays.

Every sum the fit and the marginal effects need (log-likelihood, score,
Hessian, the HC0 meat, per-cluster score sums, the marginal-effect sums and
their Jacobian) is a sum over rows.  So each of them is formed chunk by chunk
by the kernels of ``quorvel_dask._kernels`` (built from quorvel's own core),
the chunk sums travel back to the driver (1 + k + k*k numbers per chunk for
the fit, k*k for the HC0 meat, one row of k per cluster met in the chunk for
the cluster-robust meat) and are added there in chunk order; the driver runs
quorvel's Newton iteration with one distributed pass per evaluation.

The arrays are chunked along the rows (column chunks are merged) and never
gathered: the data may be out of core (``dask.array.from_zarr``, a memmap
read chunk by chunk) or spread over a cluster.  Whatever scheduler the caller
has set up runs the passes: the threaded default, a ``distributed`` client.
"""
import math

import dask
import dask.array as da
import numpy as np

from . import _kernels

__all__ = ["ame", "fit_probit"]

_DEFAULT_MAX_ITER = 35
_DEFAULT_TOL = 1e-6
_PYARRAY = "PyArray<T, D>"


# ---- argument checks, worded as quorvel's ------------------------------------

def _type_name(obj):
    try:
        name = type(obj).__qualname__
    except Exception:
        return "<failed to extract type name>"
    return name if isinstance(name, str) else "<failed to extract type name>"


def _cannot_convert(obj, target):
    return TypeError(f"'{_type_name(obj)}' object cannot be converted to '{target}'")


def _argument(name, convert, value):
    """convert(value), with a TypeError re-labelled for the named parameter."""
    try:
        return convert(value)
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        cause = exc.__cause__
        raise TypeError(f"argument '{name}': {exc}") from cause


def _require_array(obj, ndim, detailed=False):
    """A NumPy or Dask array of ndim dimensions and dtype float64 (refused, never cast)."""
    if not isinstance(obj, (np.ndarray, da.Array)):
        raise _cannot_convert(obj, _PYARRAY)
    if obj.ndim != ndim:
        if detailed:
            raise TypeError(f"dimensionality mismatch:\n from={obj.ndim}, to={ndim}")
        raise _cannot_convert(obj, _PYARRAY)
    if obj.dtype != np.float64:
        if detailed:
            raise TypeError(f"type mismatch:\n from={obj.dtype}, to=float64")
        raise _cannot_convert(obj, _PYARRAY)
    return obj


def _outcome_ndim(endog):
    """(nobs,) gives 1, (nobs, 1) gives 2; other shapes are refused."""
    shape = endog.shape
    if not isinstance(shape, tuple):
        raise _cannot_convert(shape, "PyTuple")
    if len(shape) not in (1, 2):
        raise ValueError(f"expected tuple of length 2, but got tuple of length {len(shape)}")
    nobs = _kernels.to_u64(shape[0])
    if len(shape) == 1 or shape[1] is None:
        return 1
    second = _kernels.to_u64(shape[1])
    if second == 1:
        return 2
    raise ValueError(f"endog must be shape (nobs,) or (nobs,1). got=({nobs},Some({second}))")


def _wrapped(array):
    """A Dask array as it is; a NumPy array wrapped, in row chunks of all columns."""
    if isinstance(array, np.ndarray):
        return da.from_array(array, chunks=("auto",) if array.ndim == 1 else ("auto", -1))
    return array


def _as_dask(array, name):
    """A Dask array with known row chunks and all columns in one chunk."""
    array = _wrapped(array)
    if any(math.isnan(c) for c in array.chunks[0]):
        raise ValueError(f"{name} has chunks of unknown size; call compute_chunk_sizes() on it first")
    if array.ndim == 2 and array.numblocks[1] > 1:
        array = array.rechunk({1: -1})
    return array


def _row_blocks(array, rows):
    """The row chunks of array, rechunked to the given row chunks, as delayed objects."""
    if array.chunks[0] != rows:
        array = array.rechunk({0: rows})
    return list(array.to_delayed().ravel())


def _sum_in_order(parts, size):
    total = np.zeros(size)
    for part in parts:
        total = part + total
    return total


# ---- the fit ---------------------------------------------------------------

class DaskProbitModel:
    """The data of a fit: ``exog`` and ``endog`` as the Dask arrays fitted on, and
    the regressor names "x0", "x1", ..."""

    __slots__ = ("_exog", "_endog", "_names")

    def __init__(self, exog, endog, names):
        self._exog, self._endog, self._names = exog, endog, names

    @property
    def exog(self):
        return self._exog

    @property
    def endog(self):
        return self._endog

    @property
    def exog_names(self):
        return list(self._names)


class DaskProbitResults:
    """The estimates of a fit, with the attributes that ``ame`` reads."""

    __slots__ = ("_params", "_cov", "_loglike", "_iterations", "_converged", "_model", "_passes")

    def __init__(self, params, cov, loglike, iterations, converged, model, passes):
        self._params, self._cov = params, cov
        self._loglike, self._iterations, self._converged = loglike, iterations, converged
        self._model, self._passes = model, passes

    params = property(lambda self: self._params.copy(), doc="the coefficients")
    loglike = property(lambda self: self._loglike, doc="log-likelihood at params")
    iterations = property(lambda self: self._iterations,
                          doc="zero-based index of the optimiser's last iteration")
    converged = property(lambda self: self._converged, doc="the stop test on the log-likelihood fired")
    model = property(lambda self: self._model, doc="exog, endog (Dask arrays) and exog_names")
    passes = property(lambda self: self._passes, doc="distributed passes over the rows")

    def cov_params(self):
        """The covariance of params (classical, HC0 or cluster-robust)."""
        return self._cov.copy()

    def __repr__(self):
        return (f"<DaskProbitResults k={len(self._params)} loglike={self._loglike!r} "
                f"iterations={self._iterations} converged={self._converged}>")


def fit_probit(endog, exog, max_iter=None, tol=None, robust=None, cluster_vars=None):
    """Probit fit of endog (0/1, shape (n,) or (n, 1)) on exog (n x k), float64
    Dask or NumPy arrays chunked along the rows; arguments, defaults, optimiser
    and covariances as ``quorvel.fit_probit``.  Returns a ``DaskProbitResults``
    whose ``model.exog`` is the Dask array itself (never gathered)."""
    _argument("exog", lambda a: _require_array(a, 2, detailed=True), exog)
    max_iter = _DEFAULT_MAX_ITER if max_iter is None else _argument("max_iter", _kernels.to_u64, max_iter)
    tol = _DEFAULT_TOL if tol is None else _argument("tol", _kernels.to_double, tol)
    robust = False if robust is None else _argument("robust", _kernels.to_bool, robust)
    endog_ndim = _outcome_ndim(endog)
    _require_array(endog, endog_ndim)

    x_given = _wrapped(exog)
    x_all = _as_dask(x_given, "exog")
    y = _as_dask(endog, "endog")
    if endog_ndim == 2:
        y = y[:, 0]
    n, k = y.shape[0], x_all.shape[1]
    if n > x_all.shape[0]:
        raise ValueError(f"endog has {n} observations but exog has only {x_all.shape[0]} rows")
    x = x_all if n == x_all.shape[0] else x_all[:n]
    rows = x.chunks[0]
    blocks = list(zip(_row_blocks(y, rows), _row_blocks(x, rows)))
    fit_chunk = dask.delayed(_kernels.fit_chunk, pure=True)
    passes = 0

    def evaluate(beta, sums):
        nonlocal passes
        passes += 1
        parts = dask.compute(*[fit_chunk(yb, xb, beta, sums) for yb, xb in blocks])
        meat_size = k * k if sums & _kernels.MEAT else 0
        return _sum_in_order(parts, 1 + k + k * k + meat_size)

    # With robust and no cluster variables the passes likely to be the fit's
    # last form the HC0 meat too, so that it mostly needs no pass of its own.
    hc0 = robust and cluster_vars is None
    params, loglike, iterations, converged, hessian, _, meat = _kernels.newton(k, max_iter, tol, evaluate, hc0)
    if hessian is None:  # max_iter = 0: no pass formed the Hessian at params
        packed = evaluate(params, _kernels.LOGLIKE | _kernels.SCORE | _kernels.HESSIAN)
        hessian = packed[1 + k:].reshape(k, k)
    cov = _kernels.covariance(hessian)

    if robust:
        if hc0:
            if meat is None:
                hc0_chunk = dask.delayed(_kernels.hc0_chunk, pure=True)
                passes += 1
                parts = dask.compute(*[hc0_chunk(yb, xb, params) for yb, xb in blocks])
                meat = _sum_in_order(parts, (k, k))
        else:
            _require_array(cluster_vars, 2)
            if cluster_vars.shape[0] != n:
                raise ValueError(f"cluster mismatch: got {cluster_vars.shape[0]} rows, nobs={n}")
            g = _as_dask(cluster_vars, "cluster_vars")
            chunk = dask.delayed(_kernels.cluster_chunk, pure=True)
            passes += 1
            parts = dask.compute(*[chunk(yb, xb, gb, params)
                                   for (yb, xb), gb in zip(blocks, _row_blocks(g, rows))])
            meat = _kernels.cluster_meat(parts, k)
        cov = _kernels.sandwich(cov, meat)

    names = [f"x{j}" for j in range(k)]
    return DaskProbitResults(params, cov, loglike, iterations, converged,
                             DaskProbitModel(x_given, y, names), passes)


# ---- the marginal effects --------------------------------------------------

def _table(rows):
    import pandas

    data = {
        "dy/dx": [r[1] for r in rows],
        "Std. Err": [r[2] for r in rows],
        "z": [r[3] for r in rows],
        "Pr(>|z|)": [r[4] for r in rows],
        "Significance": [r[5] for r in rows],
    }
    return pandas.DataFrame(data=data, index=[r[0] for r in rows])


def ame(results, chunk_size=None):
    """The table of ``quorvel.ame`` (dy/dx, Std. Err, z, Pr(>|z|), Significance)
    for a fit whose ``model.exog`` is a Dask (or NumPy) array: one distributed
    pass classifies the 0/1 columns and forms the sums and their Jacobian.
    chunk_size bounds the rows each task handles at a time."""
    if chunk_size is not None:
        chunk_size = _argument("chunk_size", _kernels.to_u64, chunk_size)
        if chunk_size == 0:
            raise ValueError("chunk_size must be a positive number of rows, got 0")
    params = _require_array(results.params, 1)
    if not isinstance(params, np.ndarray):
        raise _cannot_convert(params, _PYARRAY)
    cov = _require_array(results.cov_params(), 2)
    if not isinstance(cov, np.ndarray):
        raise _cannot_convert(cov, _PYARRAY)
    names = _kernels.to_names(results.model.exog_names)
    exog = _require_array(results.model.exog, 2)

    x = _as_dask(exog, "exog")
    n, k = x.shape
    _kernels.ame_check(params, cov, n, k, names)
    block = chunk_size if chunk_size is not None else max(n, 1)
    blocks = list(x.to_delayed().ravel())

    # One pass: each chunk sums every column both as binary and as
    # continuous, and says which kept 0/1 values; a column is binary when it
    # did in every chunk, and its chunk sums are then taken from that half.
    intercept = [flag < 0 for flag in _kernels.ame_flags(names, [False] * k)]
    ame_chunk = dask.delayed(_kernels.ame_chunk, pure=True)
    parts = dask.compute(*[ame_chunk(xb, params, intercept, block) for xb in blocks])
    binary = [not intercept[j] and all(flags[j] for flags, _ in parts) for j in range(k)]
    size = k + k * k
    take = np.array(binary, dtype=bool)
    rows = np.concatenate([take, np.repeat(take, k)])  # s_j, then row j of g
    sums = _sum_in_order([np.where(rows, both[:size], both[size:]) for _, both in parts], size)
    return _table(_kernels.ame_rows(sums, n, cov, names, binary))
