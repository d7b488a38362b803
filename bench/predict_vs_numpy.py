"""predict on a 2,000,000 x 16 float64 design against NumPy's X @ beta on the
same array, in the same process. Prints both times and their ratio."""

import numpy as np

from vintrel import NativeCpuEngine

from timing import interleaved_best

ROWS, COLS = 2_000_000, 16


def main():
    rng = np.random.default_rng(7)
    design = rng.standard_normal((ROWS, COLS))
    coef = rng.standard_normal(COLS)
    engine = NativeCpuEngine("float64", COLS)
    engine.restore(coef, np.zeros((COLS, COLS)), 0, 0, 0.0, 0.0)

    np.testing.assert_allclose(engine.predict(design), design @ coef, rtol=1e-12, atol=1e-12)
    engine_time, numpy_time = interleaved_best([lambda: engine.predict(design), lambda: design @ coef])
    print(f"predict {ROWS:,} x {COLS} float64 ({engine.n_threads} threads): "
          f"engine {engine_time * 1e3:.1f} ms, numpy X @ beta {numpy_time * 1e3:.1f} ms, "
          f"ratio {engine_time / numpy_time:.2f} (target <= 1.25)")
    return {"engine_s": engine_time, "numpy_s": numpy_time, "ratio": engine_time / numpy_time}


if __name__ == "__main__":
    main()
