"""Fixtures shared by the Python tests: a seeded generator and a seeded probit data set.

Tests marked ``not_under_sanitizer(reason)`` are skipped in the AddressSanitizer
run of tests/sanitize.sh, which sets QUORVEL_UNDER_SANITIZER."""
import os

import numpy as np
import pytest

UNDER_SANITIZER = bool(os.environ.get("QUORVEL_UNDER_SANITIZER"))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_under_sanitizer(reason): skipped in the AddressSanitizer run, for the reason given")


def pytest_collection_modifyitems(config, items):
    if not UNDER_SANITIZER:
        return
    for item in items:
        marker = item.get_closest_marker("not_under_sanitizer")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason="under AddressSanitizer: " + marker.args[0]))


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
