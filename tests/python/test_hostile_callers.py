"""Callers that fight back: Python code that changes arrays already handed
over, Ctrl-C during long calls, lying length hints, and reference counts over
every success and failure path."""
import gc
import signal
import subprocess
import sys
import textwrap
import time
import types

import numpy as np
import pytest

import quorvel

# The attacks set the shape or dtype of an array in place, which NumPy 2.5
# deprecates; the deprecation is not what these tests are about.
pytestmark = pytest.mark.filterwarnings(
    "ignore:Setting the (shape|dtype) on a NumPy array has been deprecated:DeprecationWarning"
)

NOT_ARRAY = "' object cannot be converted to 'PyArray<T, D>'"


def _data():
    gen = np.random.default_rng(5)
    X = np.column_stack([np.ones(40), gen.normal(size=(40, 2))])
    y = (X @ [0.2, 0.8, -0.5] + gen.normal(size=40) > 0) * 1.0
    G = np.repeat(np.arange(8.0), 5)[:, None].copy()
    return y, X, G


class Hook:
    """An integer and float argument whose conversion first runs `action`."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __index__(self):
        return self.action() or self.value

    def __float__(self):
        return self.action() or float(self.value)


class Outcome(np.ndarray):
    """An outcome whose shape property runs `action`; with `reshape_to`, the
    __index__ of its first entry reshapes the outcome itself."""

    def __new__(cls, y, action=lambda: None, reshape_to=None):
        obj = np.asarray(y).view(cls)
        obj.action, obj.reshape_to = action, reshape_to
        return obj

    @property
    def shape(self):
        self.action()
        n = np.ndarray.shape.__get__(self)[0]
        if self.reshape_to is None:
            return (n,)
        return (Hook(lambda: _set_shape(self, self.reshape_to), n),)


def _set_shape(a, shape):
    np.ndarray.shape.__set__(a, shape)


def _ame_object(params, cov, names, exog):
    return types.SimpleNamespace(params=params, cov_params=lambda: cov,
                                 model=types.SimpleNamespace(exog_names=names, exog=exog))


class Names:
    """The names const, a, b as a sequence whose __len__ says `length` (or
    raises it, when it is an exception type) and whose iteration first runs
    `action`."""

    def __init__(self, action=lambda: None, length=3):
        self.action, self.length = action, length

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("no length")
        return self.length

    def __getitem__(self, i):
        return ["const", "a", "b"][i]

    def __iter__(self):
        self.action()
        return iter(["const", "a", "b"])


# (attack, exception type name or None, message).  attack(y, X, G, params)
# returns the call; None means the call succeeds and must equal a call on the values the
# arrays hold once the Python code has run.
ATTACKS = {
    "max_iter reshapes exog to 1-D": (
        lambda y, X, G, p: lambda: quorvel.fit_probit(y, X, max_iter=Hook(lambda: _set_shape(X, (X.size,)), 35)),
        "TypeError", "argument 'exog_py': dimensionality mismatch:\n from=1, to=2"),
    "tol retypes exog to int8": (
        lambda y, X, G, p: lambda: quorvel.fit_probit(y, X, tol=Hook(lambda: setattr(X, "dtype", np.int8), 1e-6)),
        "TypeError", "argument 'exog_py': type mismatch:\n from=int8, to=float64"),
    "endog shape property retypes exog to float32": (
        lambda y, X, G, p: lambda: quorvel.fit_probit(Outcome(y, lambda: setattr(X, "dtype", np.float32)), X),
        "TypeError", "argument 'exog_py': type mismatch:\n from=float32, to=float64"),
    "shape entry reshapes the outcome itself to 2-D": (
        lambda y, X, G, p: lambda: quorvel.fit_probit(Outcome(y, reshape_to=(20, 2)), X),
        "TypeError", "'Outcome" + NOT_ARRAY),
    "tol shrinks exog's buffer": (
        lambda y, X, G, p: lambda: quorvel.fit_probit(
            y, X, tol=Hook(lambda: X.resize((20, 3), refcheck=False), 1e-6)),
        "ValueError", "endog has 40 observations but exog has only 20 rows"),
    "max_iter reshapes cluster_vars": (
        lambda y, X, G, p: lambda: quorvel.fit_probit(
            y, X, max_iter=Hook(lambda: _set_shape(G, (G.size,)), 35), robust=True, cluster_vars=G),
        "TypeError", "'ndarray" + NOT_ARRAY),
    "max_iter reshapes exog to another valid 2-D shape": (
        lambda y, X, G, p: lambda: quorvel.fit_probit(y, X, max_iter=Hook(lambda: _set_shape(X, (60, 2)), 35)),
        None, None),
    "ame names shrink params": (
        lambda y, X, G, p: lambda: quorvel.ame(_ame_object(
            p, np.eye(3), Names(lambda: p.resize(2, refcheck=False)), X)),
        "PanicException", "params has 2 entries but exog has 3 columns"),
    "ame names retype params": (
        lambda y, X, G, p: lambda: quorvel.ame(_ame_object(
            p, np.eye(3), Names(lambda: setattr(p, "dtype", np.int16)), X)),
        "TypeError", "'ndarray" + NOT_ARRAY),
}


@pytest.mark.parametrize("attack, exc_name, message", ATTACKS.values(), ids=ATTACKS.keys())
def test_arrays_changed_by_python_code_during_a_call(attack, exc_name, message):
    y, X, G = _data()
    call = attack(y, X, G, np.ones(3))
    if exc_name is None:
        got = call()
        want = quorvel.fit_probit(y, np.array(X))  # the values X holds now, contiguous
        np.testing.assert_array_equal(got.params, want.params)
        np.testing.assert_array_equal(got.model.exog, np.array(X))
        return
    with pytest.raises(BaseException) as info:
        call()
    assert (type(info.value).__name__, str(info.value)) == (exc_name, message)


# The child enters the call, says so from inside it (the __index__ of an
# argument), and is sent SIGINT by this process.  The work would not end on
# its own (tol=0 with 2**63 iterations; 2**40 rows), so only the interrupt can
# end it.  Afterwards the child checks that the inputs' reference counts are
# back and that the module still works, then repeats the call a few hundred
# times under a 1 ms interval timer whose handler raises, watching the live
# object count.
INTERRUPTED_CHILD = textwrap.dedent('''
    import gc, signal, sys, types
    import numpy as np, quorvel

    gen = np.random.default_rng(0)
    X = gen.normal(size=(20000, 5))
    y = (gen.random(20000) < 0.5) * 1.0
    params = np.ones(5)
    model = types.SimpleNamespace(params=params, cov_params=lambda: np.eye(5),
        model=types.SimpleNamespace(exog_names=list("abcde"),
                                    exog=np.broadcast_to(X[0], (2**40, 5))))

    class Entered:
        def __index__(self):
            print("entered", flush=True)
            return 2**63

    def call(count):
        if sys.argv[1] == "fit":
            quorvel.fit_probit(y, X, max_iter=count, tol=0.0)
        else:
            quorvel.ame(model, count)

    if sys.argv[1] == "ame-reshaped-by-handler":
        signal.signal(signal.SIGINT, lambda *a: params.resize((1, 5), refcheck=False))
    watched = [X, y, params, model]
    before = [sys.getrefcount(o) for o in watched]
    try:
        call(Entered())
    except BaseException as exc:
        print(type(exc).__name__ + ": " + str(exc), flush=True)
    if sys.argv[1] == "ame-reshaped-by-handler":
        sys.exit(0)
    assert [sys.getrefcount(o) for o in watched] == before
    quorvel.ame(quorvel.fit_probit(y, X))  # still works

    def stop(*args):
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, stop)
    counts = []
    for round in range(3):
        for _ in range(100):
            try:  # armed inside: a busy host can fire it before the call
                signal.setitimer(signal.ITIMER_REAL, 0.001)
                call(2**63)
            except KeyboardInterrupt:
                pass
        signal.setitimer(signal.ITIMER_REAL, 0)
        gc.collect()
        counts.append(len(gc.get_objects()))
    assert [sys.getrefcount(o) for o in watched] == before
    print("objects", counts, flush=True)
''')


@pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")
@pytest.mark.parametrize("mode, first", [
    ("fit", "KeyboardInterrupt: "),
    ("ame", "KeyboardInterrupt: "),
    ("ame-reshaped-by-handler", "ValueError: params was modified during the call"),
])
def test_sigint_ends_long_calls(mode, first):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, mode],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "entered\n"
        time.sleep(0.3)  # well into the work
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)  # only a hang guard
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    lines = out.splitlines()
    assert lines[0] == first
    if mode != "ame-reshaped-by-handler":
        counts = eval(lines[1].split(" ", 1)[1])
        assert counts[2] - counts[1] < 50, counts  # a leak per call would add 100 or more


def _calls(y, X, G):
    """(call, exception type name or None): the success path and every failure
    path of both functions, the arrays-changed ones included."""
    r = quorvel.fit_probit(y, X)
    p, cov = r.params.copy(), r.cov_params().copy()
    # New name objects (literals and one-character strings are shared).
    names = ["".join(list(name)) for name in ("const", "x_one", "x_two")]
    ns = types.SimpleNamespace
    fit, ame = quorvel.fit_probit, quorvel.ame
    ints, y2, longer = X.astype(np.int64), np.column_stack([y, y]), np.append(y, 0.0)

    def reshaped_exog():  # exog reshaped by max_iter's __index__, then restored
        try:
            quorvel.fit_probit(y, X, max_iter=Hook(lambda: _set_shape(X, (X.size,)), 35))
        finally:
            _set_shape(X, (40, 3))

    def shrinking_params():  # params resized while the names are read
        q = np.ones(3)
        ame(_ame_object(q, cov, Names(lambda: q.resize(2, refcheck=False)), X))

    def raising_cov():
        raise LookupError("no covariance")

    return [
        (lambda: fit(y, X), None),
        (lambda: fit(y, X, robust=True), None),
        (lambda: fit(y, X, 5, 1e-8, True, G), None),
        (lambda: ame(r), None),
        (lambda: ame(_ame_object(p, cov, tuple(names), X), 7), None),
        (lambda: fit(y, X, 1, 2, 3, 4, 5), "TypeError"),
        (lambda: fit(y, X, bogus=1), "TypeError"),
        (lambda: fit(y, X, 35, max_iter=3), "TypeError"),
        (lambda: fit(y), "TypeError"),
        (lambda: fit(y, X.tolist()), "TypeError"),
        (lambda: fit(y, X[:, 0]), "TypeError"),
        (lambda: fit(y, ints), "TypeError"),
        (lambda: fit(y, X, max_iter=2.0), "TypeError"),
        (lambda: fit(y, X, max_iter=-1), "OverflowError"),
        (lambda: fit(y, X, tol="x"), "TypeError"),
        (lambda: fit(y, X, robust=1), "TypeError"),
        (lambda: fit(y.tolist(), X), "AttributeError"),
        (lambda: fit(ns(shape=[40]), X), "TypeError"),
        (lambda: fit(ns(shape=(1, 2, 3)), X), "ValueError"),
        (lambda: fit(ns(shape=("a",)), X), "TypeError"),
        (lambda: fit(y2, X), "ValueError"),
        (lambda: fit(y.astype(np.int64), X), "TypeError"),
        (lambda: fit(longer, X), "ValueError"),
        (lambda: fit(y, X, robust=True, cluster_vars=G.tolist()), "TypeError"),
        (lambda: fit(y, X, robust=True, cluster_vars=G[1:]), "ValueError"),
        (reshaped_exog, "TypeError"),
        (lambda: ame(r, 2.5), "TypeError"),
        (lambda: ame(r, -1), "OverflowError"),
        (lambda: ame(r, 0), "ValueError"),
        (lambda: ame(r, 1, 2), "TypeError"),
        (lambda: ame(r, bogus=1), "TypeError"),
        (lambda: ame(object()), "AttributeError"),
        (lambda: ame(_ame_object(p.tolist(), cov, names, X)), "TypeError"),
        (lambda: ame(_ame_object(p, cov[0], names, X)), "TypeError"),
        (lambda: ame(_ame_object(p, cov, "abc", X)), "TypeError"),
        (lambda: ame(_ame_object(p, cov, 3, X)), "TypeError"),
        (lambda: ame(_ame_object(p, cov, ["const", 1, "b"], X)), "TypeError"),
        (lambda: ame(_ame_object(p, cov, names, ints)), "TypeError"),
        (lambda: ame(_ame_object(p, cov, names[:2], X)), "PanicException"),
        (lambda: ame(ns(params=p, cov_params=raising_cov)), "LookupError"),
        (lambda: ame(_ame_object(np.ones(3), cov, Names(), X)), None),
        (shrinking_params, "PanicException"),
    ], [y, X, G, r, p, cov, names, *names, ints, y2, longer, type(r), type(r.model)]


def test_reference_counts_and_live_objects_stay_flat():
    y, X, G = _data()
    calls, watched = _calls(y, X, G)

    def run(rounds):
        for _ in range(rounds):
            for call, exc_name in calls:
                try:
                    call()
                except BaseException as exc:  # noqa: B036 (PanicException derives from BaseException)
                    assert type(exc).__name__ == exc_name, (exc_name, exc)
                else:
                    assert exc_name is None

    total = getattr(sys, "gettotalrefcount", lambda: 0)  # debug builds only
    run(3)
    gc.collect()
    refs, objects, total_before = [sys.getrefcount(o) for o in watched], len(gc.get_objects()), total()
    run(100)  # 4200 calls
    gc.collect()
    assert total() - total_before < 1000
    # The two type objects count the live result and model objects, which the
    # collector does not track.
    assert [sys.getrefcount(o) for o in watched] == refs
    assert len(gc.get_objects()) - objects < 50  # one leaked object per round would add 100


@pytest.mark.parametrize("length", [10**9, 2**62, sys.maxsize, 0, ValueError])
def test_length_hint_of_names_is_only_a_hint(length):
    y, X, _ = _data()
    r = quorvel.fit_probit(y, X)
    got = quorvel.ame(_ame_object(r.params, r.cov_params(), Names(length=length), X))
    want = quorvel.ame(_ame_object(r.params, r.cov_params(), ["const", "a", "b"], X))
    assert got.equals(want) and list(got.index) == ["a", "b"]
