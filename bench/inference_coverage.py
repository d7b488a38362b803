"""How often the 95 % intervals of a stream cover the true coefficients:
500 seeded replications of 20,000 raw rows (5 features on mixed scales and
offsets) streamed in batches of 2,000, with t(3) noise and 5 % gross
outliers. Prints the coverage per coefficient and over all of them, and the
mean standard error against the spread of the estimates."""

import sys
import time
import warnings
from statistics import NormalDist

import numpy as np

from vintrel import IncrementalHuberRegressor
from vintrel.datasets import make_contaminated_regression

REPLICATIONS, ROWS, FEATURES, BATCH = 500, 20_000, 5, 2_000
ALPHA = 0.05


def replicate(seed):
    """Whether each interval of one seeded data set covers the truth, and
    each error in units of its standard error (the truth differs between
    seeds, so errors are only comparable in those units)."""
    X, y, coef, intercept = make_contaminated_regression(ROWS, FEATURES, noise_df=3.0, random_state=seed)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = IncrementalHuberRegressor(batch_size=BATCH).fit(X, y)
    truth = np.append(coef, intercept)
    bounds = model.conf_int(ALPHA)
    covered = (bounds[:, 0] <= truth) & (truth <= bounds[:, 1])
    errors = np.append(model.coef_, model.intercept_) - truth
    return covered, errors / np.append(model.coef_se_, model.intercept_se_), len(caught)


def main(replications=REPLICATIONS):
    started = time.perf_counter()
    covered, z, warned = map(np.array, zip(*(replicate(seed) for seed in range(replications)), strict=True))
    seconds = time.perf_counter() - started
    names = [f"x{j}" for j in range(FEATURES)] + ["intercept"]
    share = covered.mean(axis=0)
    binomial = np.sqrt((1 - ALPHA) * ALPHA / replications)
    print(f"\ncoverage of {1 - ALPHA:.0%} intervals: {replications} replications of {ROWS:,} x {FEATURES} "
          f"in batches of {BATCH:,}, t(3) noise, 5 % gross outliers ({seconds:.1f} s)")
    print(f"{'':>10} {'coverage':>9} {'sd of (estimate - truth) / se':>31}")
    for name, value, spread in zip(names, share, z.std(axis=0), strict=True):
        print(f"{name:>10} {value:>9.1%} {spread:>31.3f}")
    print(f"{'all':>10} {covered.mean():>9.1%} {z.std():>31.3f}")
    print(f"replications with a convergence warning: {np.count_nonzero(warned)}")
    print(f"binomial standard error of one coverage figure: {binomial:.1%}; "
          f"z for {1 - ALPHA:.0%}: {NormalDist().inv_cdf(1 - ALPHA / 2):.3f}")
    return {"replications": replications, "coverage": dict(zip(names, share.tolist(), strict=True)),
            "pooled": float(covered.mean()), "seconds": seconds}


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else REPLICATIONS)
