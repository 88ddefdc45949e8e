"""quorvel_dask against the in-memory quorvel: the same estimates, iterations,
covariances and tables across chunkings and schedulers, the same errors, and
no wrong result when a worker dies mid-pass."""
import os

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import quorvel  # noqa: E402
import quorvel_dask  # noqa: E402

pytestmark = pytest.mark.not_under_sanitizer("starts worker processes; slow under ASan")


def _data(n, seed=3):
    gen = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), gen.normal(size=n), gen.normal(1.0, 2.0, size=n),
                         (gen.random(n) < 0.4).astype(np.float64)])
    y = (X @ np.array([0.3, 0.8, -0.25, 0.6]) + gen.normal(size=n) > 0).astype(np.float64)
    groups = np.column_stack([gen.integers(0, 9, n), gen.integers(0, 2, n)]).astype(np.float64)
    return y, X, groups


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster, set_as_default=False) as c:
        yield c


def _same(dask_result, memory_result):
    """Agreement to 1e-10 relative in everything the two results hold."""
    assert dask_result.iterations == memory_result.iterations
    assert dask_result.converged == memory_result.converged
    np.testing.assert_allclose(dask_result.params, memory_result.params, rtol=1e-10, atol=0)
    np.testing.assert_allclose(dask_result.cov_params(), memory_result.cov_params(), rtol=1e-10, atol=0)
    np.testing.assert_allclose(dask_result.loglike, memory_result.loglike, rtol=1e-12, atol=0)
    t_dask, t_memory = quorvel_dask.ame(dask_result), quorvel.ame(memory_result)
    assert list(t_dask.index) == list(t_memory.index) and list(t_dask.columns) == list(t_memory.columns)
    np.testing.assert_allclose(t_dask.iloc[:, :4].to_numpy(), t_memory.iloc[:, :4].to_numpy(),
                               rtol=1e-10, atol=0)
    assert list(t_dask["Significance"]) == list(t_memory["Significance"])


# Row chunks: one chunk, uneven chunks, chunks of one row; a memmap read
# chunk by chunk stands for out-of-core input.
CHUNKINGS = {"one": lambda n: n, "uneven": lambda n: (7, 50, 1, n - 58), "rows": lambda n: 1}


@pytest.mark.parametrize("scheduler", ["threads", "cluster"])
@pytest.mark.parametrize("chunking", sorted(CHUNKINGS) + ["memmap"])
@pytest.mark.parametrize("estimator", ["classical", "hc0", "cluster"])
def test_agrees_with_in_memory_fit(request, tmp_path, scheduler, chunking, estimator):
    n = 80
    y, X, groups = _data(n)
    if chunking == "memmap":
        mapped = np.lib.format.open_memmap(tmp_path / "x.npy", mode="w+", dtype=np.float64, shape=X.shape)
        mapped[:] = X
        mapped.flush()
        x_dask = da.from_array(np.load(tmp_path / "x.npy", mmap_mode="r"), chunks=(30, 2))
        rows = x_dask.chunks[0]
    else:
        rows = CHUNKINGS[chunking](n)
        x_dask = da.from_array(X, chunks=(rows, -1))
    kwargs = {"classical": {}, "hc0": {"robust": True},
              "cluster": {"robust": True, "cluster_vars": groups}}[estimator]
    memory = quorvel.fit_probit(y, X, **kwargs)
    if estimator == "cluster":  # other row chunks than the data's: merged by key
        kwargs = dict(kwargs, cluster_vars=da.from_array(groups, chunks=(25, 1)))
    sched = request.getfixturevalue("client") if scheduler == "cluster" else "threads"
    with dask.config.set(scheduler=sched):
        result = quorvel_dask.fit_probit(da.from_array(y, chunks=rows), x_dask, **kwargs)
        assert result.model.exog is x_dask
        _same(result, memory)


def _zero_column(y, X):
    return y, np.column_stack([X, np.zeros(len(y))])


# Awkward fits: limits, a singular Hessian, NaN, an (n, 1) outcome, more rows
# of exog than outcomes, many clusters spanning chunks, a rare outcome.
AWKWARD = [
    ("max_iter=0", lambda y, X: (y, X), {"max_iter": 0, "robust": True}),
    ("max_iter=1", lambda y, X: (y, X), {"max_iter": 1}),
    ("tol=0", lambda y, X: (y, X), {"tol": 0.0, "max_iter": 6}),
    ("zero column", _zero_column, {"robust": True}),
    ("nan", lambda y, X: (y, np.where(np.arange(X.size).reshape(X.shape) == 9, np.nan, X)), {}),
    ("(n,1) outcome", lambda y, X: (y.reshape(-1, 1), X), {}),
    ("longer exog", lambda y, X: (y[:150], X), {"robust": True}),
    ("rare", lambda y, X: ((X[:, 1] > 2.2).astype(float), X), {"robust": True}),
    # the dummy is 0/1 in every chunk but the last: continuous for ame
    ("0/1 but a last 0.5", lambda y, X: (y, np.where(np.arange(X.size).reshape(X.shape) == X.size - 1, 0.5, X)),
     {}),
]


@pytest.mark.parametrize("name,make,kwargs", AWKWARD, ids=[a[0] for a in AWKWARD])
def test_awkward_fits_agree(capfd, name, make, kwargs):
    y, X, groups = _data(200, seed=11)
    y, X = make(y, X)
    memory = quorvel.fit_probit(y, X, **kwargs)
    memory_err = capfd.readouterr().err
    result = quorvel_dask.fit_probit(da.from_array(y, chunks=37), da.from_array(X, chunks=(37, 2)), **kwargs)
    assert capfd.readouterr().err == memory_err  # the singular-Hessian line, once, or nothing
    if name == "nan":
        assert np.isnan(result.params).all() and result.iterations == memory.iterations
        assert result.converged == memory.converged
        assert result.loglike == pytest.approx(memory.loglike, rel=1e-12, abs=0)
        return
    _same(result, memory)
    if name == "longer exog":
        assert result.model.exog.shape == X.shape


def _calls(y, X, g):
    """(fit_probit arguments, ame results-object changes) whose errors are compared."""
    n = len(y)
    fits = [
        ((y, X.tolist()), {}), ((y, X[:, 0]), {}), ((y, X.astype(np.int64)), {}),
        ((y, X), {"max_iter": 2.0}), ((y, X), {"max_iter": -1}), ((y, X), {"tol": "a"}),
        ((y, X), {"robust": 1}), ((np.column_stack([y, y]), X), {}), ((y.tolist(), X), {}),
        ((y.astype(np.int64), X), {}), ((np.append(y, [0.0]), X), {}),
        ((y, X), {"robust": True, "cluster_vars": g[:, 0]}),
        ((y, X), {"robust": True, "cluster_vars": g[: n - 1]}),
        ((y, X), {"robust": True, "cluster_vars": g.tolist()}),
    ]
    ames = [
        ({"chunk_size": 2.5}, {}), ({"chunk_size": -1}, {}), ({"chunk_size": 0}, {}),
        ({}, {"params": [0.0]}), ({}, {"exog_names": "x0"}), ({}, {"exog_names": ["x0", 1]}),
        ({}, {"exog": X.astype(np.int64)}), ({}, {"cov": np.eye(2)}),
    ]
    return fits, ames


class _Fake:
    """A results object with some attributes replaced."""

    def __init__(self, base, params=None, cov=None, exog_names=None, exog=None):
        self.params = base.params if params is None else params
        self._cov = base.cov_params() if cov is None else cov
        self.model = type("M", (), {"exog_names": base.model.exog_names if exog_names is None else exog_names,
                                    "exog": base.model.exog if exog is None else exog})()

    def cov_params(self):
        return self._cov


def _error(call):
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    return type(exc).__name__, str(exc).replace("'exog_py'", "'exog'").replace("'endog_py'", "'endog'")


def test_errors_are_those_of_the_in_memory_functions():
    y, X, g = _data(60)
    fits, ames = _calls(y, X, g)
    for args, kwargs in fits:
        assert _error(lambda: quorvel_dask.fit_probit(*args, **kwargs)) == \
            _error(lambda: quorvel.fit_probit(*args, **kwargs)), (args, kwargs)
    memory, distributed_fit = quorvel.fit_probit(y, X), quorvel_dask.fit_probit(y, X)
    for kwargs, changes in ames:
        assert _error(lambda: quorvel_dask.ame(_Fake(distributed_fit, **changes), **kwargs)) == \
            _error(lambda: quorvel.ame(_Fake(memory, **changes), **kwargs)), (kwargs, changes)


def _dies(block, marker, always, block_info=None):
    """Ends its worker process when it computes the first chunk on a worker: every
    time, or the first time only.  (One chunk only: when both workers die at
    once, the nannies' restarts can fail and leave a cluster without workers.)"""
    try:
        distributed.get_worker()
    except ValueError:
        return block
    if block_info[None]["chunk-location"][0] == 0 and (always or not os.path.exists(marker)):
        open(marker, "w").close()
        os._exit(1)
    return block


@pytest.mark.parametrize("always", [False, True], ids=["dies once", "dies every time"])
def test_worker_dying_mid_pass(tmp_path, always):
    y, X, groups = _data(300)
    memory = quorvel.fit_probit(y, X, robust=True, cluster_vars=groups)
    x_dask = da.from_array(X, chunks=(100, -1)).map_blocks(
        _dies, str(tmp_path / "died"), always, dtype=np.float64, meta=np.empty((0, 0)))
    with dask.config.set({"distributed.scheduler.allowed-failures": 0 if always else 3}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=":0") as cluster, \
            distributed.Client(cluster, set_as_default=False) as c, \
            dask.config.set(scheduler=c):
        fit = lambda: quorvel_dask.fit_probit(da.from_array(y, chunks=100), x_dask, robust=True,  # noqa: E731
                                              cluster_vars=groups)
        if always:
            with pytest.raises(distributed.KilledWorker):
                fit()
        else:
            _same(fit(), memory)
            assert (tmp_path / "died").exists()
