"""NumPy's BLAS runs on the calling thread while a stream works, and gets
its thread count back afterwards, however many streams overlap."""

import threading

import numpy as np
import pytest
from threadpoolctl import ThreadpoolController, threadpool_limits

from vintrel import IncrementalHuberRegressor
from vintrel._blas import numpy_blas_on_one_thread

from synthetic_data import contaminated


def _numpy_blas_threads():
    np.ones((2, 2)) @ np.ones((2, 2))  # NumPy may load its BLAS at the first product
    found = [info["num_threads"] for info in ThreadpoolController().info()
             if info["user_api"] == "blas" and "numpy" in info["filepath"]]
    if len(found) != 1:
        pytest.skip("NumPy's own BLAS library is not found here")
    return found[0]


@pytest.fixture
def two_blas_threads():
    _numpy_blas_threads()
    with threadpool_limits(limits=2, user_api="blas"):
        if _numpy_blas_threads() != 2:
            pytest.skip("NumPy's BLAS does not run on two threads here")
        yield


def test_the_limit_holds_within_the_block_and_is_lifted_after(two_blas_threads):
    with numpy_blas_on_one_thread():
        assert _numpy_blas_threads() == 1
        with numpy_blas_on_one_thread():
            assert _numpy_blas_threads() == 1
        assert _numpy_blas_threads() == 1
    assert _numpy_blas_threads() == 2


def test_overlapping_streams_in_other_threads_leave_the_count_as_it_was(two_blas_threads):
    X, y, _, _ = contaminated(30_000, 4, seed=5)
    inside, leave = threading.Barrier(2), threading.Event()

    def hold():
        with numpy_blas_on_one_thread():
            inside.wait()
            leave.wait()

    workers = [threading.Thread(target=hold)] + [
        threading.Thread(target=lambda: IncrementalHuberRegressor(batch_size=12_000).fit(X, y)) for _ in range(2)]
    for worker in workers:
        worker.start()
    with numpy_blas_on_one_thread():
        inside.wait()
    leave.set()
    for worker in workers:
        worker.join()
    assert _numpy_blas_threads() == 2


def test_fitting_leaves_the_callers_blas_threads_as_they_were(two_blas_threads):
    X, y, _, _ = contaminated(30_000, 4, seed=5)
    model = IncrementalHuberRegressor(batch_size=12_000).fit(X, y)
    model.partial_fit(X[:5000], y[:5000])
    assert _numpy_blas_threads() == 2
