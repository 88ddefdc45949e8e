"""The module object, its two functions and the shared argument binder."""
import os
import subprocess
import sys
import textwrap
import types

import pandas.testing
import pytest

import quorvel


def test_module_attributes():
    assert quorvel.__all__ == ["ame", "fit_probit"]
    assert not [name for name in dir(quorvel) if name.startswith("Kova")]
    assert isinstance(quorvel.__doc__, str) and quorvel.__doc__


@pytest.mark.parametrize("name, signature, doc", [
    ("fit_probit", "(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)", None),
    ("ame", "(probit_model, chunk_size=...)", "Calculates Average Marginal Effects (AME) for a Probit model"),
])
def test_function_objects(name, signature, doc):
    fn = getattr(quorvel, name)
    assert type(fn) is types.BuiltinFunctionType
    assert fn.__name__ == name
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "quorvel"
    assert fn.__self__ is quorvel


def run_child(code):
    """Runs code in a fresh interpreter that imports this same build of quorvel."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(quorvel.__file__)] + [p for p in [env.get("PYTHONPATH")] if p])
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


def test_second_initialisation_is_refused_and_first_module_stays_usable():
    code = textwrap.dedent("""
        import sys
        import numpy as np
        import quorvel
        first = quorvel
        for attempt in range(2):
            del sys.modules["quorvel"]
            try:
                import quorvel
            except ImportError as exc:
                assert str(exc).endswith(
                    "modules may only be initialized once per interpreter process"), str(exc)
            else:
                raise SystemExit("re-import succeeded")
            sys.modules["quorvel"] = first
        X = np.column_stack([np.ones(6), np.arange(6.0)])
        r = first.fit_probit(np.array([0.0, 1, 0, 1, 1, 0]), X)
        assert r.params.shape == (2,) and first.__all__ == ["ame", "fit_probit"]
        print("ok")
    """)
    run_child(code)


NUMPY_IS_LOADED_LAZILY = textwrap.dedent("""
    import importlib.abc, sys, warnings
    warnings.simplefilter("error")
    import quorvel
    assert "numpy" not in sys.modules, "importing quorvel imported numpy"

    class Block(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)

    sys.meta_path.insert(0, Block())
    try:
        quorvel.fit_probit(None, None)
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException", repr(exc)
        assert str(exc) == "Failed to import NumPy module", str(exc)
        assert isinstance(exc.__cause__, ModuleNotFoundError), repr(exc.__cause__)
    sys.meta_path.pop(0)
    import numpy as np
    r = quorvel.fit_probit(np.array([0.0, 1, 1, 0]), np.array([[1.0, 0.5], [1, -1], [1, 2], [1, 0]]))
    assert r.params.shape == (2,)
    print("ok")
""")


def test_numpy_is_loaded_on_first_use_and_its_absence_is_an_internal_error():
    run_child(NUMPY_IS_LOADED_LAZILY)


# Binding errors come before any conversion, so placeholders stand in for the data.
BINDING_ERRORS = [
    ("fit_probit", (1, 2, 3, 4, 5, 6, 7), {},
     "fit_probit() takes from 2 to 6 positional arguments but 7 were given"),
    ("fit_probit", (1, 2, 3, 4, 5, 6, 7), {"bogus": 1},
     "fit_probit() takes from 2 to 6 positional arguments but 7 were given"),
    ("fit_probit", (1, 2), {"bogus": 3}, "fit_probit() got an unexpected keyword argument 'bogus'"),
    ("fit_probit", (), {"bogus": 3}, "fit_probit() got an unexpected keyword argument 'bogus'"),
    ("fit_probit", (1, 2), {"Tol": 3}, "fit_probit() got an unexpected keyword argument 'Tol'"),
    ("fit_probit", (1, 2), {"endog_py": 3}, "fit_probit() got multiple values for argument 'endog_py'"),
    ("fit_probit", (1, 2, 3), {"max_iter": 4}, "fit_probit() got multiple values for argument 'max_iter'"),
    ("fit_probit", (1, 2), {"endog_py": 3, "bogus": 4},
     "fit_probit() got multiple values for argument 'endog_py'"),
    ("fit_probit", (1, 2), {"bogus": 4, "endog_py": 3},
     "fit_probit() got an unexpected keyword argument 'bogus'"),
    ("fit_probit", (1,), {}, "fit_probit() missing 1 required positional argument: 'exog_py'"),
    ("fit_probit", (), {"exog_py": 1, "tol": 2},
     "fit_probit() missing 1 required positional argument: 'endog_py'"),
    ("fit_probit", (), {}, "fit_probit() missing 2 required positional arguments: 'endog_py' and 'exog_py'"),
    ("fit_probit", (), {"robust": True},
     "fit_probit() missing 2 required positional arguments: 'endog_py' and 'exog_py'"),
    ("ame", (1, 2, 3), {}, "ame() takes from 1 to 2 positional arguments but 3 were given"),
    ("ame", (1,), {"chunk": 2}, "ame() got an unexpected keyword argument 'chunk'"),
    ("ame", (1,), {"probit_model": 2}, "ame() got multiple values for argument 'probit_model'"),
    ("ame", (1, 2), {"chunk_size": 2}, "ame() got multiple values for argument 'chunk_size'"),
    ("ame", (), {}, "ame() missing 1 required positional argument: 'probit_model'"),
    ("ame", (), {"chunk_size": 5}, "ame() missing 1 required positional argument: 'probit_model'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(quorvel, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def _summary(r):
    return (r.params.tolist(), r.cov_params().tolist(), r.loglike, r.iterations, r.converged)


def test_keywords_in_any_order_and_none_as_omission(probit_data):
    y, X = probit_data
    base = _summary(quorvel.fit_probit(y, X))
    endog_name = "".join(["endog", "_p", "y"])  # equal to, but not the interned, parameter name
    calls = [
        ((y, X, None, None, None, None), {}),
        ((y, X, 35, 1e-6, False), {}),
        ((), {"cluster_vars": None, "robust": None, "tol": None, "max_iter": None,
              "exog_py": X, "endog_py": y}),
        ((), {"exog_py": X, endog_name: y}),
        ((y,), {"tol": 1e-6, "exog_py": X, "max_iter": 35}),
    ]
    for args, kwargs in calls:
        assert _summary(quorvel.fit_probit(*args, **kwargs)) == base
    robust = _summary(quorvel.fit_probit(y, X, robust=True))
    assert robust != base
    assert _summary(quorvel.fit_probit(y, X, None, None, True, None)) == robust
    assert _summary(quorvel.fit_probit(cluster_vars=None, robust=True, exog_py=X, endog_py=y)) == robust

    r = quorvel.fit_probit(y, X)
    table = quorvel.ame(r)
    pandas.testing.assert_frame_equal(quorvel.ame(r, None), table)
    pandas.testing.assert_frame_equal(quorvel.ame(chunk_size=None, probit_model=r), table)
    pandas.testing.assert_frame_equal(quorvel.ame(**{"".join(["probit", "_model"]): r}), table)
