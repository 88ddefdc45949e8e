"""Side-by-side timing of quorvel against statsmodels on the same data.

    python bench/bench_fit.py [--n 100000 1000000] [--k 10] [--repeat 5]

For each size it times, in one process and interleaved, quorvel.fit_probit
(classical, robust and clustered covariance), quorvel.ame, statsmodels'
Probit(...).fit() and its get_margeff(); it prints the medians and the
ratios.  The machine is shared and noisy: read the ratios, not the seconds.
"""

import argparse
import statistics
import time
import warnings

import numpy as np

import quorvel


def make_data(n, k, seed=1):
    rng = np.random.default_rng(seed)
    cont = rng.normal(size=(n, k - 3))
    dummies = (rng.random((n, 2)) < 0.4).astype(np.float64)
    X = np.column_stack([np.ones(n), cont, dummies])
    beta = np.linspace(-0.5, 0.5, k)
    y = (X @ beta + rng.normal(size=n) > 0).astype(np.float64)
    clusters = rng.integers(0, 1000, size=(n, 1)).astype(np.float64)
    return y, X, clusters


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    try:
        import statsmodels.api as sm
    except ImportError:
        sm = None

    for n in args.n:
        y, X, clusters = make_data(n, args.k)
        res = quorvel.fit_probit(y, X)
        rows = [
            ("quorvel fit_probit", lambda: quorvel.fit_probit(y, X)),
            ("quorvel fit_probit robust", lambda: quorvel.fit_probit(y, X, robust=True)),
            ("quorvel fit_probit cluster",
             lambda: quorvel.fit_probit(y, X, robust=True, cluster_vars=clusters)),
            ("quorvel ame", lambda: quorvel.ame(res)),
        ]
        if sm is not None:
            smres = sm.Probit(y, X).fit(disp=0)
            rows += [
                ("statsmodels Probit.fit", lambda: sm.Probit(y, X).fit(disp=0)),
                ("statsmodels get_margeff",
                 lambda: smres.get_margeff(at="overall", method="dydx", dummy=True)),
            ]
        medians = {}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for name, fn in rows:
                medians[name] = median_time(fn, args.repeat)
        print(f"n = {n}, k = {args.k}, {args.repeat} runs each (median seconds)")
        for name, _ in rows:
            print(f"  {name:<28} {medians[name]:9.4f}")
        if sm is not None:
            fit_ratio = medians["statsmodels Probit.fit"] / medians["quorvel fit_probit"]
            ame_ratio = medians["statsmodels get_margeff"] / medians["quorvel ame"]
            print(f"  statsmodels/quorvel: fit {fit_ratio:.1f}x, marginal effects {ame_ratio:.1f}x")
        print()


if __name__ == "__main__":
    main()
