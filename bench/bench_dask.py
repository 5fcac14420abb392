"""The Dask path on a LocalCluster of 2 worker processes limited to 1 GiB each.

Scan: FrailScan (MSE, every feature and pair) of --rows rows read from Parquet with
dask.dataframe.read_parquet (reading included in the time), against the in-memory scan of
the same rows (data loaded beforehand); the tables must be equal.
XGB2: XGB2Regressor (100 trees) trained through xgboost.dask on the first --xgb-rows rows,
read from Parquet, then parse_model; reports the times and checks intercept + effects
against the booster's margin on a sample of rows. The data (--rows x 10 features, a target,
a model's prediction and a test flag) are written to Parquet once, untimed. Peak memory:
the client's and each worker's largest resident size.
Run: PYTHONPATH=src python bench/bench_dask.py [--rows 30000000] [--xgb-rows 10000000]
(a quick check: --rows 2000000 --xgb-rows 1000000 --trees 20).
"""

import argparse
import glob
import os
import resource
import time

import numpy as np

N_FEATURES = 10
FEATURES = [f"f{i}" for i in range(N_FEATURES)]
ROWS_PER_FILE = 250_000


def peak_rss_mib():
    """The process's peak resident size since its program started (VmHWM; ru_maxrss would
    carry the parent's peak into a worker process started after the in-memory scan)."""
    try:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM")) / 1024
    except (OSError, StopIteration):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def write_parquet(directory, rows, seed=0):
    """rows x 10 features with a target, a model's prediction (worse for large f1) and a
    test flag, in files of ROWS_PER_FILE rows; kept when already there."""
    import pandas as pd

    files = sorted(glob.glob(os.path.join(directory, "part-*.parquet")))
    if len(files) == -(-rows // ROWS_PER_FILE):
        return files
    os.makedirs(directory, exist_ok=True)
    for f in files:
        os.remove(f)
    rng = np.random.default_rng(seed)
    weights = np.linspace(1.0, 0.1, N_FEATURES)
    for k, start in enumerate(range(0, rows, ROWS_PER_FILE)):
        n = min(ROWS_PER_FILE, rows - start)
        x = rng.normal(size=(n, N_FEATURES))
        signal = x @ weights + 0.5 * x[:, 0] * x[:, 1]
        frame = pd.DataFrame(x, columns=FEATURES)
        frame["y"] = signal + rng.normal(size=n) * (0.3 + 1.5 * (x[:, 1] > 1.0))
        frame["pred"] = signal
        frame["is_test"] = rng.uniform(size=n) < 0.2
        frame.to_parquet(os.path.join(directory, f"part-{k:05d}.parquet"), index=False)
    return sorted(glob.glob(os.path.join(directory, "part-*.parquet")))


def worker_peaks(client):
    return sorted(client.run(peak_rss_mib).values())


def bench_scan(client, files, rows):
    import dask.dataframe as dd
    import pandas as pd

    from tamrel.diagnoser.frailzone import FrailScan

    settings = dict(metric="MSE", pairs="all", verbose=False)
    t0 = time.perf_counter()
    data = dd.read_parquet(files)
    got = FrailScan(None, **settings).fit(data[FEATURES], data["y"], ~data["is_test"], data["is_test"],
                                          prediction=data["pred"]).output
    t_dask = time.perf_counter() - t0
    client_peak, workers = peak_rss_mib(), worker_peaks(client)
    frame = pd.read_parquet(files)
    test = frame["is_test"].to_numpy()
    t0 = time.perf_counter()
    expected = FrailScan(None, **settings).fit(frame[FEATURES], frame["y"].to_numpy(), np.flatnonzero(~test),
                                               np.flatnonzero(test), prediction=frame["pred"].to_numpy()).output
    t_memory = time.perf_counter() - t0
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)
    units = N_FEATURES + N_FEATURES * (N_FEATURES - 1) // 2
    print(f"scan of {rows:,} rows, {units} slicings: Dask {t_dask:.1f} s ({1e9 * t_dask / rows:.0f} ns/row, "
          f"reading included), in memory {t_memory:.1f} s ({1e9 * t_memory / rows:.0f} ns/row): "
          f"{t_dask / t_memory:.2f}x; tables equal ({len(got)} regions)")
    print(f"  peak memory during the Dask scan: client {client_peak:.0f} MiB, workers "
          + ", ".join(f"{p:.0f} MiB" for p in workers) + f" (data {rows * (N_FEATURES + 3) * 8 / 2**20:.0f} MiB)")
    del frame, expected


def bench_xgb2(client, files, rows, trees):
    import dask.dataframe as dd

    from tamrel.models.xgb2.xgboost import XGB2Regressor

    data = dd.read_parquet(files[: -(-rows // ROWS_PER_FILE)], columns=FEATURES + ["y"])
    t0 = time.perf_counter()
    model = XGB2Regressor(n_estimators=trees).fit(data[FEATURES], data["y"])
    t_fit = time.perf_counter() - t0
    t0 = time.perf_counter()
    view = model.parse_model()
    t_parse = time.perf_counter() - t0
    sample = data[FEATURES].partitions[0].compute().to_numpy()[:100_000]
    total = np.full(len(sample), model.intercept_)
    for kind in ("1D", "2D"):
        for record in model.effects_[kind].values():
            total += model.partial_dependence(record["fidx"], sample)
    gap = np.max(np.abs(total - model.estimator_.predict(sample, output_margin=True)))
    print(f"XGB2 on {rows:,} rows from Parquet, {trees} trees: fit {t_fit:.1f} s, parse_model {t_parse:.1f} s; "
          f"{len(view.effect_table_)} effects; intercept + effects vs margin on {len(sample):,} rows: "
          f"max |diff| {gap:.2e} ({'ok' if gap <= 1e-5 else 'FAILED'})")
    return gap <= 1e-5


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=30_000_000)
    parser.add_argument("--xgb-rows", type=int, default=10_000_000)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--skip-scan", action="store_true")
    parser.add_argument("--skip-xgb", action="store_true")
    parser.add_argument("--worker-memory", default="1GiB")
    parser.add_argument("--dir", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "tamrel_bench_dask"))
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    # Arrow's own allocator (its default) serves the Parquet reads. The system allocator
    # would hand their buffers back at once, but under the workers' MALLOC_TRIM_THRESHOLD_
    # every read then maps fresh pages: reads ran 4-5 times slower.

    t0 = time.perf_counter()
    files = write_parquet(args.dir, args.rows)
    print(f"{args.rows:,} x {N_FEATURES} rows in {len(files)} Parquet files ({time.perf_counter() - t0:.0f} s, "
          "not timed below)")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=args.worker_memory,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        # the workers import the package once, before any timing
        client.run(lambda: __import__("tamrel.diagnoser.scan_dask") and __import__("tamrel.models.xgb2.xgboost"))
        ok = True
        if not args.skip_scan:
            bench_scan(client, files, args.rows)
        if not args.skip_xgb:
            if not args.skip_scan:
                client.restart()  # fresh workers: the scan's freed memory stays with the processes
                client.run(lambda: __import__("tamrel.models.xgb2.xgboost"))
            ok = bench_xgb2(client, files, min(args.xgb_rows, args.rows), args.trees)
        print(f"peak memory: client {peak_rss_mib():.0f} MiB, workers "
              + ", ".join(f"{p:.0f} MiB" for p in worker_peaks(client)) + f" (limit {args.worker_memory} each)")
    if not ok:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
