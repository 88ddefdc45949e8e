"""KovaProbitResults and KovaProbitModel: identity and copy semantics, immutability,
independence of the output arrays, memory layouts, reference and memory stability."""
import gc
import os
import sys
import weakref

import numpy as np
import pytest

import quorvel


def _small(n=80, seed=5):
    gen = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), gen.normal(size=n), (gen.random(n) < 0.5).astype(float)])
    y = (X @ [0.1, 0.9, -0.6] + gen.normal(size=n) > 0).astype(float)
    return y, X


def test_identity_and_copy_semantics(probit_data):
    r = quorvel.fit_probit(*probit_data)
    assert r.params is r.params
    assert r.cov_params() is r.cov_params()
    a, b = r.model, r.model
    assert a is not b
    assert a.exog is b.exog and a.endog is b.endog
    names = a.exog_names
    assert names == ["x0", "x1", "x2", "x3"] and type(names) is list
    assert names is not a.exog_names
    names.append("extra")
    names[0] = "changed"
    assert a.exog_names == b.exog_names == ["x0", "x1", "x2", "x3"]
    r.params[1] = 123.0  # the stored array itself is handed out
    assert r.params[1] == 123.0
    assert type(r.iterations) is int and type(r.loglike) is float and type(r.converged) is bool


def test_exog_names_count_in_decimal(rng):
    X = rng.normal(size=(30, 12))
    y = (rng.random(30) < 0.5).astype(float)
    assert quorvel.fit_probit(y, X, max_iter=0).model.exog_names == [f"x{j}" for j in range(12)]
    r = quorvel.fit_probit(y, np.empty((30, 0)))
    assert r.model.exog_names == [] and r.params.shape == (0,) and r.cov_params().shape == (0, 0)


def test_class_properties():
    r = quorvel.fit_probit(*_small())
    for cls, name in [(type(r), "KovaProbitResults"), (type(r.model), "KovaProbitModel")]:
        assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__) == ("builtins", name, name, None)
        assert not hasattr(quorvel, name)
        for args, kwargs in [((), {}), ((1, 2), {"a": 3})]:
            with pytest.raises(TypeError) as info:
                cls(*args, **kwargs)
            assert str(info.value) == "No constructor defined"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert r.cov_params.__text_signature__ == "($self)"
    assert r.cov_params.__doc__ is None
    for args, kwargs in [((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError):
            r.cov_params(*args, **kwargs)


@pytest.mark.parametrize("target, attribute", [
    ("results", "params"), ("results", "model"), ("results", "loglike"), ("results", "iterations"),
    ("results", "converged"), ("results", "cov_params"), ("results", "new_attribute"),
    ("model", "exog"), ("model", "endog"), ("model", "exog_names"), ("model", "new_attribute"),
])
def test_attributes_are_read_only(target, attribute):
    r = quorvel.fit_probit(*_small())
    obj = r if target == "results" else r.model
    with pytest.raises(AttributeError):
        setattr(obj, attribute, 1)
    with pytest.raises(AttributeError):
        delattr(obj, attribute)
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_output_arrays_are_new_independent_float64(probit_data):
    y, X = probit_data
    y_before, X_before = y.copy(), X.copy()
    r = quorvel.fit_probit(y, X, robust=True)
    m = r.model
    outputs = [r.params, r.cov_params(), m.exog, m.endog]
    for a in outputs:
        assert type(a) is np.ndarray and a.dtype == np.float64 and a.flags.writeable
        assert not np.shares_memory(a, X) and not np.shares_memory(a, y)
    for i, a in enumerate(outputs):
        for b in outputs[i + 1:]:
            assert not np.shares_memory(a, b)
    assert m.exog.shape == X.shape and m.endog.shape == y.shape
    np.testing.assert_array_equal(m.exog, X)
    np.testing.assert_array_equal(m.endog, y)
    np.testing.assert_array_equal(X, X_before)
    np.testing.assert_array_equal(y, y_before)
    X[:] = 7.0
    y[:] = 7.0
    np.testing.assert_array_equal(m.exog, X_before)
    np.testing.assert_array_equal(m.endog, y_before)


def test_column_endog_equals_its_one_dimensional_form(probit_data):
    y, X = probit_data
    base = quorvel.fit_probit(y, X)
    wide = np.column_stack([1 - y, y, 1 - y])
    backwards = y[::-1].copy()[::-1]
    for column in (y[:, None], np.asfortranarray(y[:, None]), wide[:, 1:2], backwards[:, None]):
        r = quorvel.fit_probit(column, X)
        assert r.params.tolist() == base.params.tolist()
        assert r.model.endog.shape == (len(y),)
        np.testing.assert_array_equal(r.model.endog, y)


def _layouts(y, X):
    wide = np.zeros((X.shape[0], 2 * X.shape[1]))
    wide[:, ::2] = X
    doubled = np.zeros(2 * len(y))
    doubled[::2] = y
    return [
        ("F order", y, np.asfortranarray(X), False),
        ("every second column", y, wide[:, ::2], False),
        ("strided endog", doubled[::2], X, False),
        ("both axes reversed", y[::-1].copy(), X[::-1, ::-1], True),
        ("reversed F order", y[::-1].copy(), np.asfortranarray(X)[::-1, ::-1], True),
    ]


def test_memory_layouts_give_the_same_fit(probit_data):
    y, X = probit_data
    base = quorvel.fit_probit(y, X, robust=True)
    for label, yy, XX, reversed_columns in _layouts(y, X):
        r = quorvel.fit_probit(yy, XX, robust=True)
        params, cov = r.params, r.cov_params()
        if reversed_columns:
            params, cov = params[::-1], cov[::-1, ::-1]
        np.testing.assert_allclose(params, base.params, rtol=1e-12, atol=0, err_msg=label)
        np.testing.assert_allclose(cov, base.cov_params(), rtol=1e-10, atol=0, err_msg=label)
        np.testing.assert_array_equal(r.model.exog, XX, err_msg=label)


def test_cluster_matrix_forms_give_the_same_covariance(probit_data):
    # A plain float64 matrix is copied before the fit and summed in its last
    # pass; the others (here a dtype carrying metadata) after the fit: the
    # same bits either way.
    y, X = probit_data
    g = np.floor(np.arange(len(y)) / 7.0)[:, None]
    base = quorvel.fit_probit(y, X, robust=True, cluster_vars=g).cov_params()
    tagged = g.astype(np.dtype(np.float64, metadata={"tag": 1}))
    for label, gg in [("F order", np.asfortranarray(g)), ("strided", np.repeat(g, 2, axis=1)[:, ::2]),
                      ("dtype with metadata", tagged)]:
        cov = quorvel.fit_probit(y, X, robust=True, cluster_vars=gg).cov_params()
        np.testing.assert_array_equal(cov, base, err_msg=label)
    assert not np.array_equal(base, quorvel.fit_probit(y, X, robust=True).cov_params())


def test_reference_counts_are_stable():
    y, X = _small()
    clusters = np.repeat(np.arange(8.0), 10)[:, None]
    longer = np.append(y, 0.0)
    objs = (y, X, clusters, longer)
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(2000):
        quorvel.fit_probit(y, X, robust=True, cluster_vars=clusters)
        for call in (
            lambda: quorvel.fit_probit(y, X, robust=1),
            lambda: quorvel.fit_probit(longer, X),
            lambda: quorvel.fit_probit(y, X, robust=True, cluster_vars=clusters[1:]),
            lambda: quorvel.fit_probit(y, X, max_iter=-1),
        ):
            try:
                call()
            except (TypeError, ValueError, OverflowError):
                pass
    assert [sys.getrefcount(o) for o in objs] == before

    r = quorvel.fit_probit(y, X)
    params, cov, exog, endog = r.params, r.cov_params(), r.model.exog, r.model.endog
    before = [sys.getrefcount(o) for o in (params, cov, exog, endog, r)]
    for _ in range(2000):
        r.params, r.cov_params(), r.model, r.model.exog_names, r.model.exog, r.loglike
    assert [sys.getrefcount(o) for o in (params, cov, exog, endog, r)] == before


def test_arrays_die_with_their_holders():
    r = quorvel.fit_probit(*_small())
    m = r.model
    refs = [weakref.ref(a) for a in (r.params, r.cov_params(), m.exog, m.endog)]
    del r
    gc.collect()
    assert [w() is None for w in refs] == [True, True, False, False]  # the model keeps the data
    del m
    gc.collect()
    assert all(w() is None for w in refs)


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.not_under_sanitizer("ASan holds freed memory in quarantine, so the resident size measures no leak")
def test_memory_stays_bounded_over_many_fits():
    y, X = _small(n=500)
    X = np.column_stack([X, X[:, 1] ** 2])
    clusters = np.repeat(np.arange(50.0), 10)[:, None]

    def work(count):
        for i in range(count):
            r = quorvel.fit_probit(y, X, robust=bool(i % 2), cluster_vars=clusters if i % 4 == 1 else None)
            r.model.exog_names, r.cov_params()

    work(300)
    start = _rss_bytes()
    work(3000)  # a leak of the copied data alone would be about 60 MB
    assert _rss_bytes() - start < 16 * 2**20
