"""Fit a probit model on a seeded synthetic data set and print its average
marginal effects.

Run with:  pip install . && python examples/quickstart.py
"""

import numpy as np

import quorvel


def make_data(n=200_000, seed=20261208):
    rng = np.random.default_rng(seed)
    age = rng.normal(40.0, 12.0, n)
    income = rng.lognormal(10.0, 0.6, n) / 10_000.0
    female = (rng.random(n) < 0.5).astype(np.float64)
    region = rng.integers(0, 50, n).astype(np.float64)
    X = np.column_stack([np.ones(n), (age - 40.0) / 12.0, income, female])
    beta = np.array([-0.3, 0.4, 0.15, -0.25])
    y = (X @ beta + rng.normal(size=n) > 0.0).astype(np.float64)
    return y, X, region.reshape(-1, 1)


def main():
    y, X, region = make_data()
    res = quorvel.fit_probit(y, X, robust=True, cluster_vars=region)
    print(f"observations: {len(y)}, regressors: {X.shape[1]}")
    print(f"converged: {res.converged} (iteration index {res.iterations}), "
          f"log-likelihood: {res.loglike:.4f}")
    se = np.sqrt(np.diag(res.cov_params()))
    for name, b, s in zip(res.model.exog_names, res.params, se):
        print(f"  {name:>4}  coef {b: .6f}  cluster-robust s.e. {s:.6f}")
    print()
    print("average marginal effects (x0 is the constant column, x3 is binary):")
    print(quorvel.ame(res))


if __name__ == "__main__":
    main()
