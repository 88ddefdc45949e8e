"""Convergence on awkward data: rare outcomes, regressors in tiny units, a
zero column, a dummy trap.  Each fit with the defaults must end `converged`
within 1e-6 of the optimum that statsmodels' Newton method reaches on the
identified columns (put in unit scale, where its method is at home); a
Hessian that is singular in fact must take the warned singular path."""
import numpy as np
import pytest

import quorvel

WARNING = "Hessian singular => identity for Cov\n"


def _data(n, seed, share=None, unit=1.0):
    rng = np.random.default_rng(seed)
    cont = rng.normal(size=(n, 2))
    d = (rng.random(n) < 0.4).astype(float)
    index = cont @ [0.5, -0.3] + 0.3 * d
    c = 0.2 if share is None else -np.quantile(index + rng.normal(size=n), 1 - share)
    y = (c + index + rng.normal(size=n) > 0).astype(float)
    return y, np.column_stack([np.ones(n), cont * unit, d])


def _zero_column(unit):
    y, X = _data(20_000, 2, unit=unit)
    return y, np.column_stack([X, np.zeros(len(y))]), [0, 1, 2, 3]


def _trap():
    y, X = _data(20_000, 3)
    return y, np.column_stack([X, 1.0 - X[:, 3]]), [0, 1, 2, 3]


CASES = {
    "0.3% ones": (*_data(40_000, 1, share=0.003), None),
    "0.1% ones": (*_data(100_000, 4, share=0.001), None),
    "units 1e-8, n=100": (*_data(100, 5, unit=1e-8), None),
    "zero column, units 1": _zero_column(1.0),
    "zero column, units 0.001": _zero_column(0.001),
    "dummy trap": _trap(),
}
# Singular in fact, and (units 1e-8) below the covariance's absolute pivot
# test: the coefficients still reach the optimum.
SINGULAR = {"zero column, units 1", "zero column, units 0.001", "dummy trap", "units 1e-8, n=100"}


@pytest.mark.parametrize("name", list(CASES))
def test_awkward_data_reach_the_optimum(name, capfd):
    sm = pytest.importorskip("statsmodels.api")
    y, X, identified = CASES[name]
    Xi = X if identified is None else X[:, identified]
    Xi = Xi / np.sqrt((Xi * Xi).mean(axis=0))
    optimum = sm.Probit(y, Xi).fit(method="newton", maxiter=200, tol=1e-12, disp=0).llf

    res = quorvel.fit_probit(y, X)
    assert res.converged
    assert res.iterations < 20
    assert optimum - 1e-6 <= res.loglike <= optimum + 1e-6

    var = np.diag(res.cov_params())
    if name in SINGULAR:
        assert capfd.readouterr().err == WARNING
        np.testing.assert_array_equal(res.cov_params(), np.eye(X.shape[1]))
    else:
        assert capfd.readouterr().err == ""
        assert (var > 0).all()
