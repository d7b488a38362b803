"""update with caller units against update on a design prepared in NumPy.

Streams 1,000,000 x 20 float64 raw features in 50,000-row batches into a
fresh engine, either handing the engine the raw batch with x_center and
x_scale, or first building the standardised design with its intercept
column as the package does (Scaling.design into a reused buffer). The two
contenders alternate; the best of several runs of each is printed, with
their ratio, and both end in the same estimate, bit for bit.

Run: make install && env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv/bin/python bench/caller_units.py
"""

import numpy as np

from vintrel import NativeCpuEngine
from vintrel._scaling import Scaling

from timing import interleaved_best

ROWS, FEATURES, BATCH = 1_000_000, 20, 50_000
UPDATE_ARGS = dict(batch_weight=float(BATCH), n_features_in=FEATURES, fit_intercept=True, tau=1.345,
                   penalty="none", lambda_scale=1.0, bandwidth_scale=1.0, max_iter=50, tol=1e-8, ridge=0.0)


def raw_data(seed=3):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((ROWS, FEATURES)) * np.geomspace(0.01, 100.0, FEATURES) + np.linspace(-5, 40, FEATURES)
    y = x @ rng.standard_normal(FEATURES) + rng.standard_t(3, ROWS)
    return x, y


def main():
    x, y = raw_data()
    scaling = Scaling.from_batch(x[:BATCH], y[:BATCH], None, fit_intercept=True)
    buffer = np.empty((BATCH, FEATURES + 1))
    states = {}

    def caller_units():
        engine = NativeCpuEngine("float64", FEATURES + 1)
        for start in range(0, ROWS, BATCH):
            engine.update(x[start:start + BATCH], y[start:start + BATCH], None, **UPDATE_ARGS,
                          x_center=scaling.x_center, x_scale=scaling.x_scale)
        states["caller_units"] = engine.state()

    def numpy_design():
        engine = NativeCpuEngine("float64", FEATURES + 1)
        for start in range(0, ROWS, BATCH):
            design = scaling.design(x[start:start + BATCH], np.float64, out=buffer)
            engine.update(design, y[start:start + BATCH], None, **UPDATE_ARGS)
        states["numpy_design"] = engine.state()

    units_time, numpy_time = interleaved_best([caller_units, numpy_design], repeats=5)
    same = all(np.asarray(states["caller_units"][key]).tobytes() == np.asarray(states["numpy_design"][key]).tobytes()
               for key in states["numpy_design"])
    print(f"{ROWS:,} x {FEATURES} float64 in {BATCH:,}-row batches: caller units {units_time * 1e3:.1f} ms, "
          f"NumPy design {numpy_time * 1e3:.1f} ms; caller units / NumPy design = {units_time / numpy_time:.3f} "
          f"(same estimate bit for bit: {same})")
    return {"caller_units_s": units_time, "numpy_design_s": numpy_time, "ratio": units_time / numpy_time}


if __name__ == "__main__":
    main()
