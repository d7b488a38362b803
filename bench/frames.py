"""The cost of encoding categorical columns in the estimator: predict and
fit on a 500,000-row pandas frame (4 numeric columns, a 12-level and a
50-level category), and on a polars frame with the same columns as Enum,
against the same calls on the already encoded float64 array. Prints the
times and the ratios."""

import numpy as np
import pandas as pd
import polars as pl

from vintrel import IncrementalHuberRegressor

from timing import interleaved_best

ROWS = 500_000


def main():
    rng = np.random.default_rng(3)
    numbers = {f"x{i}": rng.standard_normal(ROWS) for i in range(4)}
    levels = {"month": [str(m) for m in range(1, 13)], "shop": [f"s{k:02d}" for k in range(50)]}
    codes = {name: rng.integers(0, len(values), ROWS) for name, values in levels.items()}
    y = sum(numbers.values()) + codes["month"] * 0.1 + rng.standard_t(3, ROWS)
    frame = pd.DataFrame({**numbers, **{name: pd.Categorical.from_codes(codes[name], levels[name])
                                        for name in levels}})
    polars = pl.DataFrame({**numbers, **{name: pl.Series(np.asarray(levels[name])[codes[name]],
                                                         dtype=pl.Enum(levels[name])) for name in levels}})
    design = np.column_stack([*numbers.values(), *((codes[name][:, None] == np.arange(1, len(values))).astype(float)
                                                   for name, values in levels.items())])
    model = IncrementalHuberRegressor().fit(frame, y)
    plain = IncrementalHuberRegressor().fit(design, y)
    np.testing.assert_allclose(model.predict(frame), plain.predict(design), rtol=1e-9, atol=1e-10)
    frame_s, polars_s, array_s = interleaved_best([lambda: model.predict(frame), lambda: model.predict(polars),
                                                   lambda: model.predict(design)])
    print(f"predict {ROWS:,} rows, {design.shape[1]} encoded features: pandas frame {frame_s * 1e3:.1f} ms, "
          f"polars frame {polars_s * 1e3:.1f} ms, encoded array {array_s * 1e3:.1f} ms "
          f"(ratios {frame_s / array_s:.1f}, {polars_s / array_s:.1f})")
    fit_frame, fit_array = interleaved_best([lambda: IncrementalHuberRegressor().fit(frame, y),
                                             lambda: IncrementalHuberRegressor().fit(design, y)], repeats=2)
    print(f"fit {ROWS:,} rows: pandas frame {fit_frame:.2f} s, encoded array {fit_array:.2f} s "
          f"(ratio {fit_frame / fit_array:.2f})")
    return {"predict_frame_s": frame_s, "predict_polars_s": polars_s, "predict_array_s": array_s,
            "fit_frame_s": fit_frame, "fit_array_s": fit_array}


if __name__ == "__main__":
    main()
