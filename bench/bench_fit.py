"""Side-by-side timing of quorvel against statsmodels on the same data.

    python bench/bench_fit.py [--n 1000000] [--k 10 20 50] [--repeat 5]
                              [--peer-repeat R] [--peer-max-n N]

For each size it prints, from one run: the stream time (median of NumPy's
X.sum() over the same X, timed in turn with each operation's runs, so that
both see the same drift of the host), the medians of quorvel.fit_probit
(classical, HC0, clustered with n/50 clusters) and quorvel.ame in seconds and
in streams of their own turn,
statsmodels' Probit.fit and get_margeff(dummy=True) with one BLAS thread
(threadpoolctl) and the ratios, and each operation's peak memory beyond its
inputs, measured as the growth of ru_maxrss in a fresh subprocess.
statsmodels runs in subprocesses of its own, one for the fit and one for the
marginal effects: where one of them fails (at 1e6 x 50 its marginal effects
need more than 24 GiB, and the kernel kills the process), the table says so
and the other numbers stand.  For
reference it also times X.copy() in streams: the kernel clears every fresh
page before its first write, and a fit, which keeps its own copy of X, pays
that too.  The machine is shared and noisy: read the ratios, not the seconds.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
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
    clusters = rng.integers(0, max(1, n // 50), size=(n, 1)).astype(np.float64)
    return y, X, clusters


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def median_times_with_stream(fn, stream, repeat):
    """Medians of fn's time and of stream's, the two run in turn.

    The host's memory bandwidth drifts by half within minutes; a stream
    timed between the runs of the operation sees the same drift."""
    times, streams = [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        stream()
        t1 = time.perf_counter()
        fn()
        t2 = time.perf_counter()
        streams.append(t1 - t0)
        times.append(t2 - t1)
    return statistics.median(times), statistics.median(streams)


OPS = ("fit", "hc0", "cluster", "ame")


def run_op(op, y, X, clusters, res=None):
    if op == "fit":
        return quorvel.fit_probit(y, X)
    if op == "hc0":
        return quorvel.fit_probit(y, X, robust=True)
    if op == "cluster":
        return quorvel.fit_probit(y, X, robust=True, cluster_vars=clusters)
    return quorvel.ame(res)


def child(op, path):
    """Runs op once on the saved data; prints the ru_maxrss growth in bytes.

    The data are loaded from files so that no temporaries of their making
    raise the peak before the operation runs."""
    y, X, clusters = (np.load(f"{path}/{name}.npy") for name in ("y", "X", "clusters"))
    res = quorvel.fit_probit(y, X) if op == "ame" else None
    # ame imports pandas on its first call: that import is not the
    # operation's memory.
    import pandas  # noqa: F401
    before = peak_rss_kib()
    run_op(op, y, X, clusters, res)
    print((peak_rss_kib() - before) * 1024)


def peer_child(op, path, repeat):
    """Prints the median of statsmodels' op (fit or ame) on the saved data."""
    import statsmodels.api as sm
    from threadpoolctl import threadpool_limits

    y, X = (np.load(f"{path}/{name}.npy") for name in ("y", "X"))
    with threadpool_limits(limits=1, user_api="blas"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if op == "fit":
            print(median_time(lambda: sm.Probit(y, X).fit(disp=0), repeat))
        else:
            smres = sm.Probit(y, X).fit(disp=0)
            print(median_time(lambda: smres.get_margeff(at="overall", method="dydx", dummy=True), repeat))


def peer_median(op, path, repeat):
    """statsmodels' median for op from a subprocess, or the reason there is none."""
    proc = subprocess.run([sys.executable, __file__, "--peer", op, "--data", path, "--repeat", str(repeat)],
                          capture_output=True, text=True)
    if proc.returncode == 0:
        return float(proc.stdout.split()[-1]), None
    if proc.returncode < 0:
        why = f"was killed by signal {-proc.returncode}" + (" (out of memory?)" if proc.returncode == -9 else "")
    else:
        lines = proc.stderr.strip().splitlines()
        why = f"failed: {lines[-1] if lines else 'exit status %d' % proc.returncode}"
    return None, why


def peak_rss_kib():
    # VmHWM starts afresh at exec; ru_maxrss would carry over the parent's
    # peak into the child, hiding the operation's own.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def peak_memory(op, path):
    out = subprocess.run([sys.executable, __file__, "--child", op, "--data", path],
                         check=True, capture_output=True, text=True).stdout
    return int(out.split()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, nargs="+", default=[1_000_000])
    parser.add_argument("--k", type=int, nargs="+", default=[10])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--peer-repeat", type=int, default=None,
                        help="runs of each statsmodels timing (default: --repeat)")
    parser.add_argument("--peer-max-n", type=int, default=None,
                        help="time statsmodels only up to this many rows")
    parser.add_argument("--child", choices=OPS, help=argparse.SUPPRESS)
    parser.add_argument("--peer", choices=("fit", "ame"), help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.data)
        return
    if args.peer:
        peer_child(args.peer, args.data, args.repeat)
        return

    try:
        import statsmodels.api  # noqa: F401
        import threadpoolctl  # noqa: F401
        have_peer = True
    except ImportError:
        have_peer = False

    if hasattr(os, "getloadavg"):
        print("load average at start: %.2f %.2f %.2f" % os.getloadavg())
    for n in args.n:
        for k in args.k:
            y, X, clusters = make_data(n, k)
            res = quorvel.fit_probit(y, X)
            med, stream = {}, {}
            for op in OPS:
                med[op], stream[op] = median_times_with_stream(
                    lambda op=op: run_op(op, y, X, clusters, res), lambda: X.sum(), args.repeat)
            copy_med, copy_stream = median_times_with_stream(lambda: X.copy(), lambda: X.sum(), args.repeat)
            sm_med, sm_failed = {}, {}
            peer_repeat = args.peer_repeat or args.repeat
            with tempfile.TemporaryDirectory() as path:
                for name, a in (("y", y), ("X", X), ("clusters", clusters)):
                    np.save(f"{path}/{name}.npy", a)
                if have_peer and (args.peer_max_n is None or n <= args.peer_max_n):
                    for op in ("fit", "ame"):
                        value, why = peer_median(op, path, peer_repeat)
                        if value is None:
                            sm_failed[op] = why
                        else:
                            sm_med[op] = value
                mem = {op: peak_memory(op, path) / X.nbytes for op in OPS}
            print(f"n = {n}, k = {k}, {args.repeat} runs each; one stream (X.sum(), timed "
                  f"between the runs of each operation) = {min(stream.values()) * 1e3:.2f}-"
                  f"{max(stream.values()) * 1e3:.2f} ms")
            print(f"  {'operation':<10} {'seconds':>9} {'stream ms':>9} {'streams':>8} "
                  f"{'statsmodels':>12} {'ratio':>7} {'peak mem / X':>13}")
            for op in OPS:
                mem_op = mem[op]
                sm_s = f"{sm_med[op]:12.4f}" if op in sm_med else " " * 12
                ratio = f"{med[op] / sm_med[op]:7.3f}" if op in sm_med else " " * 7
                print(f"  {op:<10} {med[op]:9.4f} {stream[op] * 1e3:9.2f} {med[op] / stream[op]:8.1f} "
                      f"{sm_s} {ratio} {mem_op:13.3f}")
            print(f"  for reference, X.copy() (fresh memory the size of X, which a fit's own copy of X "
                  f"also takes): {copy_med:.4f} s = {copy_med / copy_stream:.1f} streams")
            for op, why in sm_failed.items():
                print(f"  statsmodels' {op} was not timed: its process {why}")
            print()


if __name__ == "__main__":
    main()
