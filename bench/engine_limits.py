"""The engine's update against a model of what the machine allows, measured
in the same run: single-core DGEMM peak (the engine's own OpenBLAS, one
thread) and single-core read bandwidth. Prints:

- one update of 200,000 x 32 float64 on one thread, against the limit
  (iterations + 1) x (one weighted Gram at DGEMM peak + one read of the
  design), since every Newton iteration and the final information
  increment form one Gram and each such pass must read the design;
- one update of 400,000 x 128 float64 on the process-wide pool;
- one update of 400,000 x 64 float64 on one and on two threads.

Figures are best-of-N wall times; contenders alternate so that noise from
other processes hits them alike.
"""

import ctypes
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from vintrel import NativeCpuEngine

from timing import interleaved_best


def engine_openblas():
    """The OpenBLAS the engine runs on (the 32-bit-integer one), one thread."""
    with open("/proc/self/maps") as maps:
        paths = sorted({line.split()[-1] for line in maps if "scipy_openblas" in line and "openblas64" not in line})
    library = ctypes.CDLL(paths[0])
    library.scipy_openblas_set_num_threads(1)
    library.scipy_openblas_get_corename.restype = ctypes.c_char_p
    return library


def dgemm_peak(library, size=2048):
    """Flops per second of one large square DGEMM on one thread."""
    a = np.random.default_rng(1).standard_normal((size, size))
    c = np.empty((size, size))
    pointer = ctypes.c_void_p
    one, zero = ctypes.c_double(1.0), ctypes.c_double(0.0)
    row_major, no_trans = 101, 111

    def multiply():
        library.scipy_cblas_dgemm(row_major, no_trans, no_trans, size, size, size, one, pointer(a.ctypes.data), size,
                                  pointer(a.ctypes.data), size, zero, pointer(c.ctypes.data), size)

    (seconds,) = interleaved_best([multiply], repeats=3)
    return 2.0 * size**3 / seconds


def read_bandwidth(megabytes=512):
    """Bytes per second one thread reads from memory (a sum over an array
    far larger than the caches)."""
    values = np.ones(megabytes * 2**20 // 8)
    (seconds,) = interleaved_best([values.sum], repeats=5)
    return values.nbytes / seconds


def batch(rows, cols, seed=11):
    rng = np.random.default_rng(seed)
    design = np.hstack([rng.standard_normal((rows, cols - 1)), np.ones((rows, 1))])
    y = design @ np.linspace(-1.0, 1.0, cols) + rng.standard_t(df=3, size=rows)
    return np.ascontiguousarray(design), y


def updater(design, y, n_threads):
    rows, cols = design.shape
    args = dict(batch_weight=float(rows), n_features_in=cols - 1, fit_intercept=True, tau=1.345, penalty="none",
                lambda_scale=1.0, bandwidth_scale=1.0, max_iter=50, tol=1e-8, ridge=0.0)
    last = {}

    def update():
        engine = NativeCpuEngine("float64", cols, n_threads=n_threads)
        last["result"] = engine.update(design, y, None, **args)

    return update, last


def single_thread_against_the_limit(peak, bandwidth):
    design, y = batch(200_000, 32)
    update, last = updater(design, y, 1)
    (seconds,) = interleaved_best([update], repeats=7)
    iterations = last["result"]["iterations"]
    rows, cols = design.shape
    gram = 2.0 * rows * cols * cols / peak
    read = design.nbytes / bandwidth
    limit = (iterations + 1) * (gram + read)
    print(f"update 200,000 x 32 float64, 1 thread: {seconds * 1e3:.1f} ms, {iterations} iterations; "
          f"limit (iterations + 1) x (Gram at peak {gram * 1e3:.2f} ms + design read {read * 1e3:.2f} ms) = "
          f"{limit * 1e3:.1f} ms; ratio {seconds / limit:.2f} (target <= 3.0)")
    return {"seconds": seconds, "iterations": iterations, "gram_at_peak_s": gram, "design_read_s": read,
            "limit_s": limit, "ratio": seconds / limit}


def wide_update():
    design, y = batch(400_000, 128)
    update, last = updater(design, y, None)
    (seconds,) = interleaved_best([update], repeats=3)
    print(f"update 400,000 x 128 float64, process-wide pool: {seconds * 1e3:.1f} ms, "
          f"{last['result']['iterations']} iterations")
    return {"seconds": seconds, "iterations": last["result"]["iterations"]}


def two_thread_scaling():
    design, y = batch(400_000, 64)
    one, _ = updater(design, y, 1)
    two, _ = updater(design, y, 2)
    t1, t2 = interleaved_best([one, two], repeats=5)
    print(f"update 400,000 x 64 float64: 1 thread {t1 * 1e3:.1f} ms, 2 threads {t2 * 1e3:.1f} ms, "
          f"speed-up {t1 / t2:.2f} (target >= 1.7)")
    return {"one_thread_s": t1, "two_threads_s": t2, "speed_up": t1 / t2}


def main():
    NativeCpuEngine("float64", 2).update(np.ones((4, 2)), np.ones(4), None, 4.0, 1, True, 1.0, "none", 1.0, 1.0,
                                         1, 1e-8, 0.0)  # loads and pins the engine's OpenBLAS
    library = engine_openblas()
    peak = dgemm_peak(library)
    bandwidth = read_bandwidth()
    print(f"machine: single-core DGEMM peak {peak / 1e9:.1f} GFLOP/s ({library.scipy_openblas_get_corename().decode()}"
          f" kernels), single-core read bandwidth {bandwidth / 1e9:.1f} GB/s")
    return {"dgemm_peak_flops": peak, "read_bandwidth_bytes": bandwidth,
            "single_thread": single_thread_against_the_limit(peak, bandwidth), "wide": wide_update(),
            "scaling": two_thread_scaling()}


if __name__ == "__main__":
    main()
