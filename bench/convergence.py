"""Convergence of quorvel.fit_probit on awkward data, against a Newton optimum.

    python bench/convergence.py [--quick]

For each data set it fits quorvel with the defaults and prints the iteration
index, `converged`, the passes over the rows of X that the core made (when
the helper program `quorvel_bench_passes` has been built, see below), the gap
between statsmodels' Newton optimum (maxiter 200, tol 1e-12, fitted on the
identified columns only) and quorvel's log-likelihood, and whether the
singular-Hessian warning line was written.  A positive gap means quorvel
stopped below the optimum.

The pass counts come from a small C++ program linked to the same core:

    cmake -S . -B build/bench -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_BENCH=ON
    cmake --build build/bench --target quorvel_bench_passes

This is a program, not a test: it prints, it asserts nothing.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np

import quorvel

ROOT = Path(__file__).resolve().parent.parent
PASSES = ROOT / "build" / "bench" / "quorvel_bench_passes"


def standard(n, seed, share=None, scale=1.0, k_normal=3):
    """A constant, k_normal normal regressors (times scale) and a 0/1 dummy.
    With share, the constant is chosen so that about that share of y is 1."""
    rng = np.random.default_rng(seed)
    cont = rng.normal(size=(n, k_normal))
    d = (rng.random(n) < 0.4).astype(float)
    beta = np.linspace(0.5, -0.3, k_normal)
    index = cont @ beta + 0.3 * d
    c = 0.2 if share is None else _constant_for_share(index, share, rng)
    y = (c + index + rng.normal(size=n) > 0).astype(float)
    X = np.column_stack([np.ones(n), cont * scale, d])
    return y, X


def _constant_for_share(index, share, rng):
    # The constant that makes Pr(y = 1) about `share` on average.
    noise = rng.normal(size=index.size)
    return -np.quantile(index + noise, 1.0 - share)


def data_sets(quick):
    big = 100_000 if quick else 1_000_000
    sets = {}
    sets["standard n=1e5"] = standard(100_000, 1)
    sets[f"standard n={big:.0e}"] = standard(big, 2)
    for share, n in [(0.02, 100_000), (0.005, 100_000), (0.003, 100_000), (0.001, big)]:
        sets[f"{share:.1%} ones n={n:.0e}"] = standard(n, 3, share=share)
    sets["units 1e-8 n=100"] = standard(100, 4, scale=1e-8)
    for scale in (1e-8, 1e-3, 1e3):
        sets[f"units {scale:g} n=1e5"] = standard(100_000, 5, scale=scale)
    for scale in (1.0, 0.01, 0.001):
        y, X = standard(100_000, 6, scale=scale)
        sets[f"zero 0/1 column, units {scale:g}"] = (y, np.column_stack([X, np.zeros(len(y))]))
    for n in (1_000, 100_000, big):
        y, X = standard(n, 7)
        d = X[:, -1]
        sets[f"dummy trap n={n:.0e}"] = (y, np.column_stack([X, 1.0 - d]))
    y, X = standard(100_000, 8)
    X2 = X.copy()
    X2[:, 1] = X2[:, 1] + 5000.0
    X2[:, 2] = X2[:, 2] * 1000.0
    sets["offset 5000, x1000 (full rank)"] = (y, X2)
    y, X = standard(10_000, 9)
    y = np.where(X[:, -1] == 1.0, 1.0, y)  # d = 1 predicts y = 1 perfectly
    sets["quasi-complete separation"] = (y, X)
    sets["k=100 n=1e5"] = standard(100_000, 10, k_normal=98)
    y, X = standard(100_000, 11)
    sets["no constant column"] = (y, X[:, 1:])
    return sets


def identified_columns(X):
    """Columns that span X's column space, chosen by a pivoted QR of the
    unit-scaled columns."""
    from scipy.linalg import qr

    norms = np.sqrt((X * X).sum(axis=0))
    keep = norms > 0
    Xs = X[:, keep] / norms[keep]
    _, r, piv = qr(Xs, mode="economic", pivoting=True)
    diag = np.abs(np.diag(r))
    rank = int((diag > 1e-10 * diag[0]).sum()) if diag.size else 0
    cols = np.flatnonzero(keep)[np.sort(piv[:rank])]
    return cols


def newton_optimum(y, X):
    import statsmodels.api as sm

    cols = identified_columns(X)
    # The optimum does not depend on the units of the columns; Newton's
    # method in statsmodels does, so it is run on columns of unit scale.
    Xi = X[:, cols]
    Xi = Xi / np.sqrt((Xi * Xi).mean(axis=0))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            res = sm.Probit(y, Xi).fit(method="newton", maxiter=200, tol=1e-12, disp=0)
        except Exception as exc:  # separation and the like
            return float("nan"), False, type(exc).__name__
    return float(res.llf), bool(res.mle_retvals.get("converged", False)), ""


def fit_capturing_stderr(y, X):
    """quorvel.fit_probit with fd 2 redirected, so that the warning line that
    the extension writes there can be seen."""
    with tempfile.TemporaryFile() as err:
        saved = os.dup(2)
        os.dup2(err.fileno(), 2)
        try:
            res = quorvel.fit_probit(y, X)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        err.seek(0)
        text = err.read().decode()
    return res, text.strip()


def passes(y, X, program):
    if not program.exists():
        return ""
    with tempfile.TemporaryDirectory() as tmp:
        np.ascontiguousarray(y, dtype=np.float64).tofile(os.path.join(tmp, "y"))
        np.ascontiguousarray(X, dtype=np.float64).tofile(os.path.join(tmp, "x"))
        out = subprocess.run([str(program), tmp, str(X.shape[0]), str(X.shape[1])],
                             capture_output=True, text=True, check=True)
    return out.stdout.split()[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="n = 1e5 instead of 1e6 for the big sets")
    parser.add_argument("--passes", type=Path, default=PASSES,
                        help="the pass-counting program (default: %(default)s)")
    args = parser.parse_args()
    head = f"{'data set':<34} {'iter':>4} {'conv':>5} {'passes':>6} {'sm conv':>7} {'gap to optimum':>15}  warning"
    print(head)
    print("-" * len(head))
    for name, (y, X) in data_sets(args.quick).items():
        res, err = fit_capturing_stderr(y, X)
        ll_opt, sm_conv, sm_err = newton_optimum(y, X)
        gap = ll_opt - res.loglike
        warn = "yes" if "Hessian singular" in err else ""
        # A covariance passed off from a numerically singular Hessian is
        # rounding noise: typically indefinite, often with negative variances.
        cov = res.cov_params()
        var = np.diag(cov)
        if var.size and np.isfinite(cov).all():
            if var.min() < 0:
                warn += f" (negative variance {var.min():.3g})"
            elif var.min() > 0:
                d = 1 / np.sqrt(var)
                if np.linalg.eigvalsh(cov * d[:, None] * d[None, :]).min() < -1e-8:
                    warn += " (indefinite covariance)"
        sm_text = "yes" if sm_conv else (sm_err or "no")
        print(f"{name:<34} {res.iterations:>4} {str(res.converged):>5} {passes(y, X, args.passes):>6} "
              f"{sm_text:>7} {gap:>15.3e}  {warn}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
