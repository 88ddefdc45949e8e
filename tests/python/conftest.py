"""Fixtures shared by the Python tests: a seeded generator and a seeded probit data set."""
import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


@pytest.fixture
def probit_data():
    """(y, X) with n = 2000 rows; X = [constant, two continuous regressors, one 0/1 regressor]."""
    gen = np.random.default_rng(7)
    n = 2000
    X = np.column_stack([
        np.ones(n),
        gen.normal(size=n),
        gen.normal(1.0, 2.0, size=n),
        (gen.random(n) < 0.4).astype(np.float64),
    ])
    y = (X @ np.array([0.3, 0.8, -0.25, 0.6]) + gen.normal(size=n) > 0).astype(np.float64)
    return y, X
