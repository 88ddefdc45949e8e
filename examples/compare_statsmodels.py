"""Fit one seeded data set with quorvel and with statsmodels and print, as a
Markdown table, the largest relative difference of each result.

Run with:  python examples/compare_statsmodels.py   (needs statsmodels)
"""
import numpy as np
import statsmodels.api as sm

import quorvel


def make_data(n=20_000, seed=12):
    rng = np.random.default_rng(seed)
    X = sm.add_constant(np.column_stack([
        rng.normal(size=n), rng.uniform(-2.0, 2.0, n), (rng.random(n) < 0.3) * 1.0]))
    y = (X @ [-0.2, 0.5, -0.3, 0.4] + rng.normal(size=n) > 0) * 1.0
    groups = rng.integers(0, 200, n)
    return y, X, groups


def rel(a, b):
    return float(np.max(np.abs(np.asarray(a) - np.asarray(b)) / np.abs(np.asarray(b))))


def main():
    y, X, groups = make_data()
    ours = {
        "classical": quorvel.fit_probit(y, X),
        "HC0": quorvel.fit_probit(y, X, robust=True),
        "cluster": quorvel.fit_probit(y, X, robust=True, cluster_vars=groups.reshape(-1, 1) * 1.0),
    }
    model = sm.Probit(y, X)
    theirs = {
        "classical": model.fit(disp=0, method="newton", tol=1e-12),
        "HC0": model.fit(disp=0, method="newton", tol=1e-12, cov_type="HC0"),
        "cluster": model.fit(disp=0, method="newton", tol=1e-12, cov_type="cluster",
                             cov_kwds={"groups": groups, "use_correction": False}),
    }
    rows = [("coefficients", rel(ours["classical"].params, theirs["classical"].params))]
    for kind in ours:
        rows.append((f"{kind} standard errors",
                     rel(np.sqrt(np.diag(ours[kind].cov_params())), theirs[kind].bse)))
    for kind in ("classical", "cluster"):
        table = quorvel.ame(ours[kind]).drop("x0")   # x0 is the constant
        marg = theirs[kind].get_margeff(at="overall", method="dydx", dummy=True)
        if kind == "classical":
            rows.append(("AME dy/dx", rel(table["dy/dx"], marg.margeff)))
        rows.append((f"AME standard errors ({kind})", rel(table["Std. Err"], marg.margeff_se)))
    print(f"n = {len(y)}, 4 regressors (constant, two continuous, one 0/1), 200 clusters\n")
    print("| result | largest relative difference |")
    print("|---|---:|")
    for name, value in rows:
        print(f"| {name} | {value:.1e} |")


if __name__ == "__main__":
    main()
