import matplotlib

matplotlib.use("Agg")

import pytest


@pytest.fixture(scope="module")
def dask_client():
    """A two-process LocalCluster and its Client for one test module (the dask extra)."""
    reason = "the dask extra is not installed (pip install '.[dask]')"
    pytest.importorskip("dask.array", reason=reason)
    pytest.importorskip("dask.dataframe", reason=reason)
    distributed = pytest.importorskip("distributed", reason=reason)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                       memory_limit="1GiB")
    client = distributed.Client(cluster, timeout=60)
    try:
        yield client
    finally:
        client.close(timeout=30)
        cluster.close(timeout=30)
