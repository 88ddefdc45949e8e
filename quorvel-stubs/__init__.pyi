"""Type information for the quorvel extension module: binary probit models
fitted by maximum likelihood, their covariances, and average marginal effects."""

from typing import Protocol, Sequence, type_check_only

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["ame", "fit_probit"]

_Float64Array = npt.NDArray[np.float64]

@type_check_only
class KovaProbitModel:
    """The data a model was fitted on (made by ``KovaProbitResults.model``;
    not a module attribute, and it cannot be created from Python)."""

    @property
    def exog(self) -> _Float64Array:
        """Copy of the regressors, shape (n, k)."""
    @property
    def endog(self) -> _Float64Array:
        """Copy of the 0/1 outcomes, always one-dimensional, length n."""
    @property
    def exog_names(self) -> list[str]:
        """The generated regressor names "x0", "x1", ..., one per column (a new list on every read)."""

@type_check_only
class KovaProbitResults:
    """The outcome of ``fit_probit`` (not a module attribute, and it cannot be
    created from Python).  Its arrays are returned without copying."""

    @property
    def params(self) -> _Float64Array:
        """The estimated coefficients, length k, in column order."""
    @property
    def loglike(self) -> float:
        """The log-likelihood at ``params``."""
    @property
    def iterations(self) -> int:
        """The zero-based index of the optimiser's last iteration: 0 when it
        stopped in the first one, ``max_iter - 1`` when the limit ended it
        (then ``converged`` is False)."""
    @property
    def converged(self) -> bool:
        """True when the log-likelihood changed by less than ``tol`` before
        the iteration limit was reached."""
    @property
    def model(self) -> KovaProbitModel:
        """The data of the fit (a new object on every read, sharing the arrays)."""
    def cov_params(self) -> _Float64Array:
        """The k x k covariance of ``params``: classical (inverse of the
        negative Hessian), heteroskedasticity-robust (HC0) or cluster-robust,
        as chosen by ``robust`` and ``cluster_vars``; no small-sample factor."""

@type_check_only
class _ModelData(Protocol):
    @property
    def exog_names(self) -> Sequence[str]: ...
    @property
    def exog(self) -> _Float64Array: ...

@type_check_only
class _FittedProbit(Protocol):
    @property
    def params(self) -> _Float64Array: ...
    @property
    def model(self) -> _ModelData: ...
    def cov_params(self) -> _Float64Array: ...

def fit_probit(
    endog_py: _Float64Array,
    exog_py: _Float64Array,
    max_iter: int | None = None,
    tol: float | None = None,
    robust: bool | None = None,
    cluster_vars: _Float64Array | None = None,
) -> KovaProbitResults:
    """Fit a binary probit model by maximum likelihood.

    endog_py: the 0/1 outcomes, a float64 array of shape (n,) or (n, 1).
    exog_py: the regressors, a two-dimensional float64 array of n rows (any
        memory layout).  There is no implicit constant: add a column of ones.
    max_iter: the iteration limit of the optimiser (None: 35).
    tol: the fit stops when the log-likelihood changes by less than this
        from one iteration to the next (None: 1e-6).
    robust: True for the sandwich covariance (HC0, or cluster-robust with
        cluster_vars); None or False for the classical one.  Exactly a bool.
    cluster_vars: used only when robust is True: a float64 array of shape
        (n, m); rows whose m values agree to four decimals form one cluster.
        Ignored entirely when robust is not True.

    Data are never cast: other dtypes, lists and DataFrames raise TypeError.
    NaN in a row is not refused; it makes every coefficient NaN.  When the
    Hessian is singular, a warning line goes to standard error and the
    identity takes the place of the classical covariance.

    Raises TypeError for arguments of the wrong kind, ValueError for an
    endog of a shape other than (n,) or (n, 1) and for cluster_vars with a
    row count other than n, OverflowError for a negative max_iter, and
    PanicException (a BaseException) when an internal check fails, e.g.
    when endog is longer than exog.
    """

def ame(probit_model: _FittedProbit, chunk_size: int | None = None) -> pd.DataFrame:
    """Average marginal effects of a fitted probit model, with delta-method
    standard errors.

    probit_model: a KovaProbitResults, or any object with ``params`` and
        ``cov_params()`` (float64 arrays of shapes (k,) and (k, k)) and
        ``model.exog_names`` (k str) and ``model.exog`` (float64, (n, k)),
        e.g. a statsmodels result fitted on NumPy arrays.  The numbers are
        probit effects whatever model produced the object.
    chunk_size: the number of rows processed at a time, which bounds the
        working memory (None: all rows at once).

    Returns a DataFrame indexed by the regressor names, without the ones
    named "const" or "intercept" (any case), with the columns "dy/dx",
    "Std. Err", "z", "Pr(>|z|)" and "Significance" ("***" p < 0.01,
    "**" p < 0.05, "*" p < 0.1).  0/1 columns get the discrete change,
    the others the mean derivative.

    Raises TypeError when an attribute has the wrong type or dtype (no
    conversion is attempted: a pandas Series is refused), the error of the
    attribute lookup when one is missing, ValueError for a chunk_size of 0,
    OverflowError for a negative chunk_size, and PanicException (a BaseException) when the shapes of
    params, cov_params() and exog disagree.
    """
