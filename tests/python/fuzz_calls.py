"""Hostile random calls of fit_probit and ame, driven by hypothesis.

Run by test_fuzz.py in a child interpreter (a crash there fails that test
instead of the test run):  python fuzz_calls.py fit_probit|ame LAST-FILE

Each example builds its arguments from drawn choices: every dtype and byte
order, several numbers of dimensions, C and Fortran order, slices, negative
strides, stride 0, unaligned structured-array fields, read-only arrays,
subclasses, zero sizes, and callbacks (__index__, __float__, a shape property,
attribute getters, cov_params, sequence methods) that raise or change arrays
already handed over (dtype, shape, a reallocating resize).  Every call must
either return or raise a documented exception type; the internal-error
exception only from ame with inputs whose shapes disagree.  A call that every
rule accepts must succeed, leave its inputs unchanged and, for any float64
layout, give exactly the results of contiguous copies.  The choices of the
running example are written to LAST-FILE before each call, so that a crash
can be traced back."""
import collections
import sys
import warnings

import numpy as np
import pandas.testing
from hypothesis import HealthCheck, given, settings, strategies as st

import quorvel

# A fixed, derandomized search: CI tries the same examples every time.
SETTINGS = dict(derandomize=True, database=None, deadline=None, print_blob=False,
                suppress_health_check=list(HealthCheck))


class Hostile(Exception):
    """Raised by this program's own callbacks."""


DOCUMENTED = (TypeError, ValueError, OverflowError, AttributeError, UnicodeEncodeError, Hostile)
DTYPES = ["f8"] * 3 + [">f8", "f4", "f2", "i8", "i1", "?", "c16", "g", "O", "U3"]
LAYOUTS = ["C", "C", "F", "sliced", "reversed", "stride0", "unaligned", "readonly", "subclass"]
MUTATIONS = ["shape_1d", "shape_t", "dtype_i1", "dtype_f4", "resize"]
COUNTS = collections.Counter()
LAST = None


class Sub(np.ndarray):
    pass


class Case:
    """The arrays of one call, which callbacks attack by name, and its drawn choices."""

    def __init__(self, data):
        self.data, self.arrays, self.log, self.armed = data, {}, [], False
        # Half the examples draw only valid arguments (in any layout), so that
        # enough calls get through to be compared; in the others each choice
        # is wild one time in four, so that a call gets past its first checks.
        self.wild = self.pick("wild", [False, True])

    def pick(self, label, choices, clean=None):
        """A drawn value; from `clean`, when given, unless this choice is wild."""
        if clean is not None and not (self.wild and self.data.draw(st.sampled_from([False] * 3 + [True]),
                                                                   label + " is wild")):
            choices = clean
        value = self.data.draw(st.sampled_from(choices) if isinstance(choices, list) else choices, label)
        self.log.append(f"{label}={value!r}")
        return value

    def action(self, label, targets):
        """None (harmless), ("raise", None), ("missing", None) or (mutation, array name);
        in a wild example three times in four not None."""
        act = None
        if self.wild and self.data.draw(st.sampled_from([False, True, True, True]), label + " is set"):
            act = self.pick(label, [("raise", None), ("missing", None)]
                            + [(m, t) for m in MUTATIONS for t in targets])
        self.armed |= act is not None
        return act

    def fire(self, act):
        if act is None:
            return
        what, target = act
        if what == "raise":
            raise Hostile(what)
        if what == "missing":
            raise AttributeError("gone")
        arr = self.arrays.get(target)
        try:
            if what == "shape_1d":
                arr.shape = (arr.size,)
            elif what == "shape_t":
                arr.shape = arr.shape[::-1]
            elif what == "dtype_i1":
                arr.dtype = np.int8
            elif what == "dtype_f4":
                arr.dtype = np.float32
            else:
                arr.resize((arr.size // 2,), refcheck=False)  # frees the old buffer
        except (ValueError, AttributeError, TypeError):
            return  # NumPy refused this change for this array
        COUNTS["callbacks", f"{what} of {target}"] += 1


class Hook:
    """An integer or float that first runs its action."""

    def __init__(self, case, act, value):
        self.case, self.act, self.value = case, act, value

    def __index__(self):
        self.case.fire(self.act)
        return self.value

    def __float__(self):
        self.case.fire(self.act)
        return float(self.value)


class Shaped(np.ndarray):
    """An outcome whose shape property runs an action and may lie."""
    case = act = lie = None

    @property
    def shape(self):
        case, self.case = self.case, None  # an action on this array reads its true shape
        try:
            if case is not None:
                case.fire(self.act)
        finally:
            self.case = case
        return self.lie or np.ndarray.shape.__get__(self)


def build(case, label, values, ndims=(2,)):
    """values, in a drawn number of dimensions, dtype and memory layout."""
    nd = case.pick(label + "_ndim", [values.ndim] * 3 + list(ndims), clean=[values.ndim])
    if nd > values.ndim:
        values = values.reshape(values.shape + (1,) * (nd - values.ndim))
    elif nd == 0:
        values = np.array(values.flat[0] if values.size else 0.0)
    elif nd < values.ndim:
        values = values.reshape(-1)
    a = values.astype(case.pick(label + "_dtype", DTYPES, clean=["f8"]))
    layout = case.pick(label + "_layout", LAYOUTS)
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "sliced":
        big = np.zeros(tuple(2 * s + 1 for s in a.shape), a.dtype)
        big[tuple(slice(1, None, 2) for _ in a.shape)] = a
        return big[tuple(slice(1, None, 2) for _ in a.shape)]
    if layout == "reversed":
        flip = (slice(None, None, -1),) * a.ndim
        return a[flip].copy()[flip]
    if layout == "stride0" and a.ndim and len(a):
        return np.broadcast_to(a[:1], a.shape)
    if layout == "unaligned":
        s = np.zeros(a.shape, [("pad", "u1"), ("v", a.dtype)])
        s["v"] = a
        return s["v"]
    if layout == "readonly":
        a.flags.writeable = False
    if layout == "subclass":
        return a.view(Sub)
    return a


def native(a, ndim):
    return isinstance(a, np.ndarray) and a.dtype == np.float64 and a.ndim == ndim


def contiguous(a):
    return np.ascontiguousarray(a, dtype=np.float64)


def outcome_like(a):
    """A float64 array of shape (n,) or (n, 1), by its true shape (a Shaped one may lie)."""
    return native(a, 1) or (native(a, 2) and np.ndarray.shape.__get__(a)[1] == 1)


def same(a, b):
    a, b = np.asarray(a).view(np.ndarray), np.asarray(b).view(np.ndarray)
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def call(case, name, fn, panic_allowed=lambda: False):
    """Runs fn; the outcome must be a return or a documented exception."""
    LAST.seek(0)
    LAST.write(name + ": " + ", ".join(case.log))
    LAST.truncate()
    LAST.flush()
    try:
        result = fn()
    except BaseException as exc:  # noqa: B902 - the internal error is a BaseException
        COUNTS[name, type(exc).__name__] += 1
        if type(exc).__name__ == "PanicException":
            assert panic_allowed(), f"internal error from {name}: {exc}"
        else:
            assert isinstance(exc, DOCUMENTED), f"{type(exc).__name__} from {name}: {exc}"
        return None, exc
    COUNTS[name, "returned"] += 1
    return result, None


@settings(max_examples=2000, **SETTINGS)
@given(st.data())
def fuzz_fit_probit(data):
    case = Case(data)
    n, k = case.pick("n", st.integers(0, 25)), case.pick("k", st.integers(0, 4))
    rng = np.random.default_rng(case.pick("seed", st.integers(0, 2**32 - 1)))
    X = rng.normal(size=(n, k))
    if X.size:
        X[-1, -1] = case.pick("special", [0.5, np.nan, np.inf, 1e200])
    ny = max(n + case.pick("ny_offset", [0, -1, 1], clean=[0, 0, -1]), 0)
    y = (rng.random(ny) < 0.5) * 1.0
    exog = build(case, "exog", X, ndims=(0, 1, 3))

    form = case.pick("endog", ["1d", "col", "two", "list", "shaped"], clean=["1d", "col", "shaped", "shaped"])
    if form == "list":
        endog = y.tolist()
    else:
        endog = build(case, "endog", {"col": y[:, None], "two": np.c_[y, y]}.get(form, y), ndims=(2,))
    if form == "shaped" and isinstance(endog, np.ndarray):
        endog = endog.view(Shaped)
        endog.case, endog.act = case, case.action("shape_action", ["exog", "exog", "endog", "cluster"])
        endog.lie = case.pick("shape_lie", [None, (ny, 1), (ny, 2), (ny, 1, 1), [ny], (-1,), (2**64,),
                                            (ny, None), "ab"], clean=[None])
        case.armed |= endog.lie is not None

    def scalar(label, choices, clean, value):
        v = case.pick(label, choices, clean)
        return Hook(case, case.action(label + "_action", ["exog", "exog", "endog", "cluster"]), value) \
            if v == "hook" else v

    max_iter = scalar("max_iter", [None, 0, 1, 35, True, -1, 2**64, 2.0, "3", "hook"],
                      [None, 0, 1, 3, 35, True] + ["hook"] * 3, 3)
    tol = scalar("tol", [None, 1e-6, 0.0, np.nan, np.inf, -1.0, "x", "hook"], [None, 1e-6, 0.0, np.nan, "hook", "hook"],
                 1e-6)
    robust = case.pick("robust", [None, False, True, True, 1, np.True_], clean=[None, False, True, True])
    cluster = None
    if robust is True:
        G = rng.integers(0, 3, size=(max(ny + case.pick("cluster_offset", [0, -1], clean=[0]), 0), 2)) * 1.0
        cluster = case.pick("cluster", [None, "array", "list"], clean=[None, "array", "array"])
        cluster = {"array": lambda: build(case, "cluster", G[:, :case.pick("gcols", [0, 1, 2])],
                                          ndims=(1,)),
                   "list": G.tolist}.get(cluster, lambda: None)()
    case.arrays = {"exog": exog, "endog": endog, "cluster": cluster}

    arrays = [a for a in (endog, exog, cluster) if a is not None]
    plain = lambda v: v.value if isinstance(v, Hook) else v  # noqa: E731
    accepted = (not case.armed and form != "list" and outcome_like(endog)
                and native(exog, 2) and ny <= exog.shape[0] and plain(max_iter) in (None, 0, 1, 3, 35)
                and not isinstance(tol, str) and (robust is None or type(robust) is bool)
                and (robust is not True or cluster is None or (native(cluster, 2) and len(cluster) == ny)))
    before = [a.copy() for a in arrays] if accepted else None
    r, exc = call(case, "fit_probit", lambda: quorvel.fit_probit(
        endog, exog, max_iter=max_iter, tol=tol, robust=robust, cluster_vars=cluster))
    assert case.armed or (r is not None) == accepted, f"accepted={accepted}, but the call gave {exc!r}"
    if r is None:
        return
    k = r.model.exog.shape[1]
    assert r.params.shape == (k,) and r.cov_params().shape == (k, k)
    assert r.model.exog_names == [f"x{j}" for j in range(k)]
    if accepted:
        assert all(same(a, b) for a, b in zip(arrays, before)), "the call changed its input"
    # The arrays are read after the last Python code of the call has run: the
    # result is that of contiguous copies of the arrays as the call left them.
    assert native(exog, 2) and outcome_like(endog), \
        "the call used arrays that are no float64 arrays of the right shape by now"
    COUNTS["fit_probit", "compared with contiguous copies" + " after callbacks" * case.armed] += 1
    ref = quorvel.fit_probit(contiguous(endog), contiguous(exog), max_iter=plain(max_iter), tol=plain(tol),
                             robust=robust, cluster_vars=None if cluster is None else contiguous(cluster))
    assert same(r.params, ref.params) and same(r.cov_params(), ref.cov_params())
    assert same(r.loglike, ref.loglike) and (r.iterations, r.converged) == (ref.iterations, ref.converged)
    assert same(r.model.exog, contiguous(exog)) and same(r.model.endog, contiguous(endog).reshape(-1))


NAMES = ["x1", "x2", "const", "Intercept", "INTERCEPT", "constant", "\u00e9t\u00e9"]


class LyingNames(list):
    """A list whose length is a lie, or fails."""

    def __len__(self):
        if self.lie is None:
            raise Hostile("len")
        return self.lie


class ItemNames:
    """A sequence by __getitem__ alone, which runs an action at its first item and may fail at one."""

    def __init__(self, case, items, act, fail_at):
        self.case, self.items, self.act, self.fail_at = case, items, act, fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0:
            self.case.fire(self.act)
        if i == self.fail_at:
            raise Hostile("item")
        return self.items[i]


class Results:
    """A results-like object whose attribute reads and cov_params run actions."""

    KEYS = ("params", "cov_params", "model", "exog_names", "exog")

    def __init__(self, case, values, acts):
        self.case, self.values, self.acts = case, dict(values, model=self), acts

    def get(self, key, value_key):
        self.case.fire(self.acts[key])
        return self.values[value_key]

    params = property(lambda self: self.get("params", "params"))
    cov_params = lambda self: self.get("cov_params", "cov")  # noqa: E731
    model = property(lambda self: self.get("model", "model"))
    exog_names = property(lambda self: self.get("exog_names", "names"))
    exog = property(lambda self: self.get("exog", "exog"))


def shapes_disagree(params, cov, exog, names):
    """The mismatches ame refuses with its internal error, judged on the arrays as the call left them."""
    if not (native(params, 1) and native(cov, 2) and native(exog, 2)):
        return False
    n, k = exog.shape
    return (cov.shape != (k, k) or (len(params) != k and n > 0) or len(names) < k
            or any(name.lower() not in ("const", "intercept") for name in names[k:]))


@settings(max_examples=1200, **SETTINGS)
@given(st.data())
def fuzz_ame(data):
    case = Case(data)
    n, k = case.pick("n", st.integers(0, 25)), case.pick("k", st.integers(0, 4))
    rng = np.random.default_rng(case.pick("seed", st.integers(0, 2**32 - 1)))
    X = rng.normal(size=(n, k))
    X[:, rng.random(k) < 0.4] = rng.integers(0, 2, size=(n, 1))  # some 0/1 columns
    if X.size:
        X[0, -1] = case.pick("special", [0.5, 1.0, np.nan, np.inf])
    kb = max(k + case.pick("params_offset", [0, 0, -1, 1], clean=[0]), 0)
    kv = max(k + case.pick("cov_offset", [0, 0, -1, 1], clean=[0]), 0)
    A = rng.normal(size=(kv, kv))
    names = case.pick("names", st.lists(st.sampled_from(NAMES), min_size=max(k - 1, 0), max_size=k + 1),
                      clean=st.lists(st.sampled_from(NAMES), min_size=k, max_size=k))
    params = build(case, "params", rng.normal(size=kb), ndims=(0, 2))
    cov = build(case, "cov", A @ A.T, ndims=(1, 3))
    exog = build(case, "exog", X, ndims=(1, 3))

    form = case.pick("names_form", ["list", "tuple", "str", "int", "int_item", "surrogate", "lying_len",
                                    "items", "items_failing"], clean=["list", "tuple", "lying_len", "items"])
    names_ok = form in ("list", "tuple", "lying_len", "items")
    if form == "tuple":
        names_obj = tuple(names)
    elif form in ("str", "int"):
        names_obj = "x1" if form == "str" else 7
    elif form in ("int_item", "surrogate"):
        names_obj = names + [3 if form == "int_item" else "\ud800"]
    elif form == "lying_len":
        names_obj = LyingNames(names)
        names_obj.lie = case.pick("len", [0, 10**9, 2**62, 2**63 - 1, None])
    elif form.startswith("items"):
        fail = case.pick("fail_at", st.integers(0, len(names))) if form == "items_failing" else None
        names_obj = ItemNames(case, names, case.action("item_action", ["params", "cov", "exog"]), fail)
    else:
        names_obj = list(names)

    # model.exog_names and model.exog are read from the object itself
    obj = Results(case, {"params": params, "cov": cov, "names": names_obj, "exog": exog},
                  {key: case.action(key + "_action", ["params", "cov", "exog"]) for key in Results.KEYS})
    chunk = case.pick("chunk_size", [None, 1, 7, True, False, 0, -1, 2.5, "hook"],
                      clean=[None, 1, 2, 7, 10**6, True, "hook"])
    if chunk == "hook":
        chunk = Hook(case, case.action("chunk_action", ["params", "cov", "exog"]), 3)
    case.arrays = {"params": params, "cov": cov, "exog": exog}

    arrays = [params, cov, exog]
    accepted = (not case.armed and names_ok and native(params, 1) and native(cov, 2) and native(exog, 2)
                and not shapes_disagree(params, cov, exog, names)
                and (chunk is None or isinstance(chunk, Hook) or (type(chunk) in (int, bool) and chunk > 0)))
    before = [a.copy() for a in arrays] if accepted else None
    table, exc = call(case, "ame", lambda: quorvel.ame(obj, chunk_size=chunk),
                      lambda: names_ok and shapes_disagree(params, cov, exog, names))
    assert case.armed or (table is not None) == accepted, f"accepted={accepted}, but the call gave {exc!r}"
    if table is None:
        return
    assert names_ok and native(params, 1) and native(cov, 2) and native(exog, 2) \
        and not shapes_disagree(params, cov, exog, names), "invalid names, arrays or shapes were accepted"
    if accepted:
        assert all(same(a, b) for a, b in zip(arrays, before)), "the call changed its input"
    # As for fit_probit: the table is that of copies of the arrays as they are now.
    COUNTS["ame", "compared with contiguous copies" + " after callbacks" * case.armed] += 1
    ref = Results(case, {"params": contiguous(params), "cov": contiguous(cov), "names": list(names),
                         "exog": contiguous(exog)}, dict.fromkeys(Results.KEYS))
    ref = quorvel.ame(ref, chunk_size=chunk.value if isinstance(chunk, Hook) else chunk)
    pandas.testing.assert_frame_equal(table, ref, check_exact=True)


def main(which, last_path):
    global LAST
    warnings.simplefilter("ignore")  # casts to float16 and the like
    with open(last_path, "w") as LAST:
        {"fit_probit": fuzz_fit_probit, "ame": fuzz_ame}[which]()
    for (name, outcome), count in sorted(COUNTS.items()):
        print(f"{name}: {outcome}: {count}")
    print("ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
