"""Benchmarks of quorvel_dask.

out-of-core: writes a seeded probit data set of about --gb gigabytes (the
outcome and k regressors: a constant, k - 2 normal columns and one 0/1
column) as two .npy files into a temporary directory under --dir, fits it
with quorvel_dask on a distributed.LocalCluster (--workers processes of one
thread each) reading the files chunk by chunk, with the HC0 covariance,
computes its marginal effects, and removes the files.  Prints the time per
distributed pass and the peak resident memory (VmHWM) of the driver and of
each worker.

overhead: at --n rows in memory, quorvel.fit_probit + quorvel.ame against
quorvel_dask on the same NumPy arrays wrapped in Dask arrays of --chunk-rows
rows (threaded scheduler and LocalCluster), robust covariance.

    python bench/bench_dask.py overhead --n 10000000
    python bench/bench_dask.py out-of-core --gb 30
"""
import argparse
import os
import shutil
import tempfile
import time

import dask
import dask.array as da
import numpy as np

import quorvel
import quorvel_dask

BETA_SCALE = 0.1


def peak_rss_mib():
    """VmHWM of the calling process in MiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def make_rows(gen, rows, k):
    x = np.empty((rows, k))
    x[:, 0] = 1.0
    x[:, 1:k - 1] = gen.standard_normal((rows, k - 2))
    x[:, k - 1] = gen.random(rows) < 0.4
    beta = BETA_SCALE * np.arange(1, k + 1) * (-1.0) ** np.arange(k)
    y = (x @ beta + gen.standard_normal(rows) > 0).astype(np.float64)
    return y, x


def load_rows(path, start, stop):
    """Rows [start, stop) of the .npy file at path, read into memory."""
    mapped = np.load(path, mmap_mode="r")
    block = np.array(mapped[start:stop])
    del mapped
    return block


def from_files(y_path, x_path, n, k, chunk_rows):
    bounds = [(a, min(a + chunk_rows, n)) for a in range(0, n, chunk_rows)]
    load = dask.delayed(load_rows, pure=True)
    y = da.concatenate([da.from_delayed(load(y_path, a, b), shape=(b - a,), dtype=np.float64)
                        for a, b in bounds])
    x = da.concatenate([da.from_delayed(load(x_path, a, b), shape=(b - a, k), dtype=np.float64)
                        for a, b in bounds])
    return y, x


def write_files(y_path, x_path, n, k, chunk_rows):
    y_map = np.lib.format.open_memmap(y_path, mode="w+", dtype=np.float64, shape=(n,))
    x_map = np.lib.format.open_memmap(x_path, mode="w+", dtype=np.float64, shape=(n, k))
    gen = np.random.default_rng(20261208)
    for a in range(0, n, chunk_rows):
        b = min(a + chunk_rows, n)
        y_map[a:b], x_map[a:b] = make_rows(gen, b - a, k)
        if a % (50 * chunk_rows) == 0:
            y_map.flush()
            x_map.flush()
    y_map.flush()
    x_map.flush()


def out_of_core(args):
    import distributed

    k = args.k
    n = int(args.gb * 1e9 / (8 * (k + 1)))
    root = tempfile.mkdtemp(prefix="quorvel-dask-bench-", dir=args.dir)
    try:
        y_path, x_path = os.path.join(root, "y.npy"), os.path.join(root, "x.npy")
        start = time.perf_counter()
        # Written by a child process, so that the driver's peak memory is that
        # of the fit alone (dirty pages of a written memmap count as resident).
        import multiprocessing
        writer = multiprocessing.get_context("spawn").Process(
            target=write_files, args=(y_path, x_path, n, k, args.chunk_rows))
        writer.start()
        writer.join()
        if writer.exitcode != 0:
            raise SystemExit(f"writing the data failed ({writer.exitcode})")
        size = os.path.getsize(y_path) + os.path.getsize(x_path)
        print(f"wrote n={n:,} rows x k={k} ({size / 1e9:.1f} GB) to {root} "
              f"in {time.perf_counter() - start:.0f} s; memory: {os.sysconf('SC_PHYS_PAGES') * os.sysconf('SC_PAGE_SIZE') / 2**30:.1f} GiB")

        with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0") as cluster, \
                distributed.Client(cluster) as client:
            y, x = from_files(y_path, x_path, n, k, args.chunk_rows)
            start = time.perf_counter()
            res = quorvel_dask.fit_probit(y, x, robust=True)
            fit_s = time.perf_counter() - start
            print(f"fit (HC0): {fit_s:.1f} s, {res.passes} passes, {fit_s / res.passes:.1f} s per pass; "
                  f"iterations={res.iterations} converged={res.converged}")
            start = time.perf_counter()
            table = quorvel_dask.ame(res)
            ame_s = time.perf_counter() - start
            print(f"ame: {ame_s:.1f} s (one pass)")
            print(table.to_string())
            workers = client.run(peak_rss_mib)
            print(f"peak memory: driver {peak_rss_mib():.0f} MiB; workers "
                  + ", ".join(f"{v:.0f} MiB" for v in workers.values()))
    finally:
        shutil.rmtree(root, ignore_errors=True)
        print(f"removed {root}")


def timed(call):
    """(call(), its wall-clock seconds)."""
    start = time.perf_counter()
    out = call()
    return out, time.perf_counter() - start


def overhead(args):
    import distributed

    gen = np.random.default_rng(20261208)
    y, x = make_rows(gen, args.n, args.k)
    mem, fit_mem = timed(lambda: quorvel.fit_probit(y, x, robust=True))
    table_mem, ame_mem = timed(lambda: quorvel.ame(mem))
    print(f"n={args.n:,} k={args.k}, chunks of {args.chunk_rows:,} rows")
    print(f"quorvel:                  fit {fit_mem:6.2f} s   ame {ame_mem:6.2f} s")

    def run(label, persist=False):
        yd = da.from_array(y, chunks=args.chunk_rows)
        xd = da.from_array(x, chunks=(args.chunk_rows, -1))
        if persist:  # on a cluster the chunks live on the workers, not in every pass's graph
            start = time.perf_counter()
            yd, xd = dask.persist(yd, xd)
            distributed.wait([yd, xd])
            print(f"  (scattering the chunks to the workers: {time.perf_counter() - start:.2f} s)")
        res, fit_s = timed(lambda: quorvel_dask.fit_probit(yd, xd, robust=True))
        table, ame_s = timed(lambda: quorvel_dask.ame(res))
        rel = np.max(np.abs(res.params - mem.params) / np.abs(mem.params))
        rel_t = np.max(np.abs(table["dy/dx"].to_numpy() - table_mem["dy/dx"].to_numpy())
                       / np.abs(table_mem["dy/dx"].to_numpy()))
        print(f"quorvel_dask, {label:10s} fit {fit_s:6.2f} s   ame {ame_s:6.2f} s   "
              f"({fit_s / fit_mem:.2f}x, {ame_s / ame_mem:.2f}x; {res.passes} passes; "
              f"params rel. diff {rel:.1e}, dy/dx {rel_t:.1e}; iterations {res.iterations} vs {mem.iterations})")

    with dask.config.set(scheduler="threads"):
        run("threads:")
    with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster):
        run("cluster:", persist=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["out-of-core", "overhead"])
    parser.add_argument("--gb", type=float, default=30.0, help="size of the out-of-core data set")
    parser.add_argument("--dir", default="/tmp", help="where the temporary files go")
    parser.add_argument("--n", type=int, default=10_000_000, help="rows of the overhead comparison")
    parser.add_argument("--k", type=int, default=10, help="regressors, constant included")
    parser.add_argument("--chunk-rows", type=int, default=2_000_000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    (out_of_core if args.what == "out-of-core" else overhead)(args)


if __name__ == "__main__":
    main()
