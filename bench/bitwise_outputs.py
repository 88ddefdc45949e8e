"""Records every output of quorvel bit for bit, to compare two builds.

    PYTHONPATH=<build A> python bench/bitwise_outputs.py --save a.pkl
    PYTHONPATH=<build B> python bench/bitwise_outputs.py --save b.pkl
    python bench/bitwise_outputs.py --compare a.pkl b.pkl

The outputs: params, covariance (classical, HC0, clustered), log-likelihood,
iterations and convergence of the benchmark data sets (n = 1e6 x 10,
2e4 x 20, 5e3 x 50) and their marginal-effects tables (two chunk sizes), and
of small awkward cases (k = 0, n = 0, a NaN row, a singular Hessian; binary
columns with infinite or NaN coefficients, t = 0 and a NaN regressor).
"""

import argparse
import pickle
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))


class Results:
    """Any object with the attributes ame reads."""

    def __init__(self, params, cov, exog, names):
        self.params, self._cov = params, cov
        self.model = type("Model", (), {"exog": exog, "exog_names": names})()

    def cov_params(self):
        return self._cov


def table(frame):
    return frame.iloc[:, :4].to_numpy(dtype=float).tobytes() + "|".join(frame.iloc[:, 4]).encode()


def record():
    import quorvel
    from bench_fit import make_data

    out = {}
    for n, k in [(1_000_000, 10), (20_000, 20), (5_000, 50)]:
        y, X, c = make_data(n, k)
        for name, kw in [("fit", {}), ("hc0", {"robust": True}),
                         ("cluster", {"robust": True, "cluster_vars": c})]:
            r = quorvel.fit_probit(y, X, **kw)
            out[(n, k, name)] = (r.params.tobytes(), r.cov_params().tobytes(), r.loglike,
                                 r.iterations, r.converged)
        out[(n, k, "ame")] = table(quorvel.ame(r))
        out[(n, k, "ame, chunks of 7777")] = table(quorvel.ame(r, chunk_size=7777))
    rng = np.random.default_rng(5)
    X = np.column_stack([np.ones(300), rng.normal(size=300), (rng.random(300) < .5) * 1.0,
                         (rng.random(300) < .5) * 1.0, np.full(300, -0.0)])
    X[4, 3] = -0.0
    X[7, 1] = np.nan
    names = ["const", "a", "b", "c", "d"]
    for b in ([0, 0, 0, 0, 0], [0.1, .2, np.inf, -.3, .5], [0.1, .2, np.nan, 1e308, -np.inf],
              [0, 1, -1, 0, 0]):
        res = Results(np.array(b, float), np.eye(5) * 0.01, X, names)
        out[("ame edge", str(b))] = table(quorvel.ame(res))
        out[("ame edge, chunks of 7", str(b))] = table(quorvel.ame(res, chunk_size=7))
    cases = {
        "k = 0": (np.ones(5), np.zeros((5, 0))),
        "n = 0": (np.zeros(0), np.zeros((0, 3))),
        "NaN row": (np.array([1., 0, 1, 0]), np.array([[1, 2.], [1, np.nan], [1, 0.3], [1, -1]])),
        "singular": (np.array([1., 0, 1, 0, 1]), np.column_stack([np.ones(5), np.ones(5)])),
    }
    for name, (y, X) in cases.items():
        g = (np.arange(len(y), dtype=float) % 2).reshape(-1, 1)
        for label, kw in [("classical", {}), ("HC0", {"robust": True}),
                          ("cluster", {"robust": True, "cluster_vars": g})]:
            try:
                r = quorvel.fit_probit(y, X, **kw)
                out[(name, label)] = (r.params.tobytes(), r.cov_params().tobytes(), r.loglike,
                                      r.iterations, r.converged)
            except Exception as e:  # the error itself is an output
                out[(name, label)] = repr(e)
    return out


def relative_difference(a, b):
    """The largest relative difference of two records' floating-point arrays
    (a table's four numeric columns, params and covariance), as a text."""
    def arrays(v):
        if isinstance(v, bytes):
            v = (v[:len(v) - len(v) % 8],)
        if not isinstance(v, tuple):
            return []
        return [np.frombuffer(x[:len(x) - len(x) % 8], dtype=float) for x in v if isinstance(x, bytes)]
    worst = 0.0
    for x, y in zip(arrays(a), arrays(b)):
        if x.shape != y.shape:
            return "(shapes differ)"
        scale = np.maximum(np.abs(x), np.abs(y))
        with np.errstate(invalid="ignore", divide="ignore"):
            d = np.where(scale > 0, np.abs(x - y) / scale, 0.0)
        d = d[np.isfinite(d)]
        worst = max(worst, float(d.max()) if d.size else 0.0)
    extra = "" if not isinstance(a, tuple) or a[2:] == b[2:] else f"; loglike, iterations, converged {a[2:]} vs {b[2:]}"
    return f"(largest relative difference {worst:.2e}{extra})"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--save")
    parser.add_argument("--compare", nargs=2)
    args = parser.parse_args()
    if args.save:
        with open(args.save, "wb") as f:
            pickle.dump(record(), f)
    if args.compare:
        a, b = (pickle.load(open(p, "rb")) for p in args.compare)
        differ = [key for key in a if key not in b or a[key] != b[key]]
        print(f"{len(a)} outputs compared, {len(differ)} differ in any bit")
        for key in differ:
            print("  differs:", key, relative_difference(a[key], b.get(key)))
        sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
