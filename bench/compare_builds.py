"""Times two builds of quorvel against each other, interleaved.

    python bench/compare_builds.py BUILD_A BUILD_B [--n N] [--k K ...] [--rounds R]

BUILD_A and BUILD_B are directories holding a built extension module.  One
worker process per build loads the same seeded data (bench_fit's) once; the
driver then asks them in turn to run each operation (fit, HC0, cluster, ame),
one run per turn, for R rounds.  On a shared machine whose speed drifts over
seconds, runs of the two builds that alternate see the same drift, which
separate benchmark runs do not.  Prints, per operation, both builds' minimum
and median in seconds, the ratio of the medians (B / A) and the stream time
(NumPy's X.sum()) measured by the workers in the same rounds.
"""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

OPS = ("fit", "hc0", "cluster", "ame")


def worker(build, n, k):
    sys.path.insert(0, build)
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import numpy as np  # noqa: F401
    import pandas  # noqa: F401  (ame imports it on first use)
    import quorvel
    from bench_fit import make_data

    y, X, clusters = make_data(n, k)
    res = quorvel.fit_probit(y, X)
    ops = {
        "fit": lambda: quorvel.fit_probit(y, X),
        "hc0": lambda: quorvel.fit_probit(y, X, robust=True),
        "cluster": lambda: quorvel.fit_probit(y, X, robust=True, cluster_vars=clusters),
        "ame": lambda: quorvel.ame(res),
        "stream": lambda: X.sum(),
    }
    print("ready", flush=True)
    for line in sys.stdin:
        op = line.strip()
        start = time.perf_counter()
        out = ops[op]()
        elapsed = time.perf_counter() - start
        del out
        print(elapsed, flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="*", help="two build directories")
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--k", type=int, nargs="+", default=[10])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--ops", nargs="+", default=list(OPS), choices=OPS)
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], int(args.worker[1]), int(args.worker[2]))
        return
    if len(args.builds) != 2:
        parser.error("give two build directories")
    for k in args.k:
        procs = [subprocess.Popen([sys.executable, __file__, "--worker", b, str(args.n), str(k)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                 for b in args.builds]
        for p in procs:
            assert p.stdout.readline().strip() == "ready"

        def run(p, op):
            p.stdin.write(op + "\n")
            p.stdin.flush()
            return float(p.stdout.readline())

        times = {(i, op): [] for i in range(2) for op in args.ops + ["stream"]}
        for r in range(args.rounds):
            for op in args.ops + ["stream"]:
                order = (0, 1) if r % 2 == 0 else (1, 0)
                for i in order:
                    times[(i, op)].append(run(procs[i], op))
        for p in procs:
            p.stdin.close()
            p.wait()
        stream = statistics.median(times[(0, "stream")] + times[(1, "stream")])
        print(f"n = {args.n}, k = {k}, {args.rounds} alternating rounds; one stream = {stream * 1e3:.2f} ms")
        print("  operation      A min   A median      B min   B median   B/A (medians)")
        for op in args.ops:
            a, b = times[(0, op)], times[(1, op)]
            ma, mb = statistics.median(a), statistics.median(b)
            print(f"  {op:10s} {min(a):9.4f} {ma:10.4f} {min(b):10.4f} {mb:10.4f} {mb / ma:12.3f}")


if __name__ == "__main__":
    main()
