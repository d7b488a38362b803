"""Failing calls and result arrays leak neither memory nor references."""

import os
import subprocess
import sys

import numpy as np
import pytest

from vintrel._native_cpu import NativeCpuEngine

from conftest import UNDER_SANITIZER, update_args

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def test_failing_calls_leave_memory_and_references_flat():
    engine = NativeCpuEngine("float64", 2)
    good_design = np.ones((4, 2))
    wide_design = np.ones((4, 3))
    strided_y = np.ones(8)[::2]
    float32_design = np.ones((4, 2), np.float32)
    nan_coefficients = np.array([np.nan, 0.0])
    information = np.eye(2)
    huge_tau = 1.5e300
    penalty = "L1"
    good_y = np.ones(4)
    args = update_args(x_design=good_design, y=strided_y, tau=huge_tau)
    watched = [good_design, good_y, wide_design, strided_y, float32_design, nan_coefficients, information, huge_tau, penalty]

    def failing_calls():
        for call in (
            lambda: NativeCpuEngine("float64", -1),                       # conversion error with a note
            lambda: NativeCpuEngine("float64", 2, 0),                     # constructor check
            lambda: engine.update(**dict(args, fit_intercept=1)),         # update conversion with a note
            lambda: engine.update(**dict(args, penalty=penalty)),         # boundary check
            lambda: engine.update(**args),                                # array contiguity
            lambda: engine.update(**dict(args, y=good_y, tau=0.0)),       # refused by the driver
            lambda: engine.predict(float32_design),                       # typed intake
            lambda: engine.predict(wide_design),                          # engine error
            lambda: engine.restore(nan_coefficients, information, 1, 1, 0.0, 1.0),  # finiteness
        ):
            try:
                call()
            except BaseException as error:
                if isinstance(error, KeyboardInterrupt):
                    raise
            else:
                raise AssertionError("call was expected to fail")

    for _ in range(2_000):  # let allocator pools and caches settle
        failing_calls()
    references = [sys.getrefcount(obj) for obj in watched]
    before = resident_bytes()
    for _ in range(100_000):
        failing_calls()
    grown = resident_bytes() - before
    assert [sys.getrefcount(obj) for obj in watched] == references
    assert UNDER_SANITIZER or grown < 2 * 1024 * 1024, f"resident memory grew by {grown} bytes"
    assert engine.state()["n_samples_seen"] == 0


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer quarantines freed memory")
def test_result_arrays_free_their_buffers():
    # Each export copies an 8 MB information matrix; a buffer that outlived
    # its array would add up to gigabytes here.
    engine = NativeCpuEngine("float64", 1000)
    for _ in range(5):
        engine.state()
    before = resident_bytes()
    for _ in range(300):
        state = engine.state()
        assert state["information"].base is not None and not state["information"].flags.owndata
    del state
    assert resident_bytes() - before < 32 * 1024 * 1024


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's own memory dwarfs the figure")
def test_scratch_follows_the_threads_that_run_not_the_pool_size():
    # A private pool of 65,535 slots on a small machine: the slots still fix
    # how the sums are split, but the scratch is only for threads that run.
    script = """
import resource
import numpy as np
from vintrel._native_cpu import NativeCpuEngine
x = np.random.default_rng(0).standard_normal((70_000, 16))
y = x.sum(axis=1)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
engine = NativeCpuEngine("float64", 16, n_threads=65_535)
engine.update(x, y, None, 70_000.0, 16, False, 1.345, "none", 1.0, 1.0, 50, 1e-8, 0.0)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert int(done.stdout) < 256, f"peak memory grew by {done.stdout.strip()} MiB"
