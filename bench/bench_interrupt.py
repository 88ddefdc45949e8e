"""How long a pending signal waits before a long fit_probit or ame call
gives way to it.

An interval timer delivers SIGALRM `delay` seconds into the call; its handler
notes the time it runs (the first point at which the call handles pending
signals) and raises KeyboardInterrupt.  The latency is that time minus the
moment of delivery.  Several delays per case land the signal in different
phases (optimiser iterations, Hessian, inversion, scores, meat, cluster keys,
blocks of ame rows).

    python bench/bench_interrupt.py
"""
import signal
import time
import types

import numpy as np

import quorvel

ran_at = []


def handler(signum, frame):
    ran_at.append(time.perf_counter())
    raise KeyboardInterrupt


def latency(call, delay):
    ran_at.clear()
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        call()
    except KeyboardInterrupt:
        pass
    else:
        signal.setitimer(signal.ITIMER_REAL, 0)
        return None  # finished before the signal
    return ran_at[0] - (start + delay)


def data(n, k, seed=0):
    gen = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), gen.normal(size=(n, k - 1))])
    y = (X @ gen.normal(scale=0.3, size=k) + gen.normal(size=n) > 0) * 1.0
    return y, X


def ame_model(k, binary):
    row = (np.arange(k) % 2) * 1.0 if binary else np.linspace(-1.0, 1.0, k)
    return types.SimpleNamespace(
        params=np.full(k, 0.01), cov_params=lambda: np.eye(k),
        model=types.SimpleNamespace(exog_names=[f"x{j}" for j in range(k)],
                                    exog=np.broadcast_to(row, (2**40, k))))


def main():
    signal.signal(signal.SIGALRM, handler)
    cases = []
    y, X = data(1_000_000, 2)
    cases.append(("fit k=2 n=1e6, iterations", lambda: quorvel.fit_probit(y, X, max_iter=2**62, tol=0.0)))
    y3, X3 = data(20_000, 300)
    cases.append(("fit k=300 n=2e4, start + iterations",
                  lambda: quorvel.fit_probit(y3, X3, max_iter=2**62, tol=0.0)))
    cases.append(("covariance k=300 n=2e4, robust",
                  lambda: quorvel.fit_probit(y3, X3, max_iter=0, robust=True)))
    y1, X1 = data(2_000, 1000)
    cases.append(("fit k=1000 n=2e3, Hessian + inversion",
                  lambda: quorvel.fit_probit(y1, X1, max_iter=2**62, tol=0.0)))
    yc, Xc = data(2_000_000, 2)
    G = np.arange(2_000_000.0)[:, None]
    cases.append(("covariance k=2 n=2e6, 2e6 clusters",
                  lambda: quorvel.fit_probit(yc, Xc, max_iter=0, robust=True, cluster_vars=G)))
    for k, binary in ((5, False), (200, True), (1000, True)):
        model = ame_model(k, binary)
        cases.append((f"ame k={k} {'binary' if binary else 'continuous'}, 2**40 rows",
                      lambda model=model: quorvel.ame(model)))

    for name, call in cases:
        got = [latency(call, delay) for delay in (0.05, 0.3, 0.7, 1.2)]
        shown = ", ".join("done" if v is None else f"{v * 1e3:.2f}" for v in got)
        print(f"{name:42s} latency ms at 0.05/0.3/0.7/1.2 s: {shown}")


if __name__ == "__main__":
    main()
