"""Every result bit of update and predict, compared with recorded hashes.

The grid crosses the row threshold (n*p = 1,000,000), the Gram slot
threshold (n*p*p = 16,000,000) and the column-form gradient of wide
designs (p >= 65 in float64, p >= 129 in float32), for both penalties and
precisions and for pools None, 1, 2 and 3. Each case folds two batches
(the second with sample weights, some of them zero) and predicts.

The Gram goes through OpenBLAS, whose kernels (and so the last bits) depend
on its version and on the processor it selects them for, so update hashes
are compared only under the OpenBLAS build and core they were recorded
with. Predictions from restored coefficients use the engine's own dot
product alone and are compared everywhere.

Record anew (only when a change of results is intended):
    python tests/python/test_fingerprints.py
"""

import ctypes
import hashlib
import json
import pathlib

import numpy as np
import pytest

from vintrel._native_cpu import NativeCpuEngine, version

RECORD = pathlib.Path(__file__).with_name("fingerprints.json")
POOLS = [1, 2, 3]

# name: (rows, features, fit_intercept)
SHAPES = {
    "tiny": (7, 3, False),
    "two_gram_blocks": (300, 4, True),
    "gram_slots_only": (20_000, 39, True),        # n*p < 1e6 <= ... n*p*p >= 16e6
    "both_thresholds": (62_500, 16, False),       # n*p = 1e6, n*p*p = 16e6 exactly
    "wide_float64": (15_400, 64, True),           # p = 65
    "wide_float32": (7_700, 129, True),           # p = 130
    "all_outliers": (50, 2, True),                # zero Newton matrix: the fallback solve
}
PREDICT_SHAPES = [(99_999, 10), (100_000, 10), (1_000, 129)]


def uniform(count, seed):
    """count values in [-0.5, 0.5) from an integer hash: exact on every
    machine and NumPy version, unlike generated normal variates."""
    with np.errstate(over="ignore"):
        z = np.arange(count, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15) + np.uint64(seed * 0xD1B54A32D192ED03 % 2**64)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        z = z ^ (z >> np.uint64(31))
    return (z >> np.uint64(11)).astype(np.float64) / 2.0**53 - 0.5


def batch(shape, dtype, seed):
    rows, features, intercept = SHAPES[shape]
    x = uniform(rows * features, seed).reshape(rows, features) * 3.5
    if intercept:
        x = np.hstack([x, np.ones((rows, 1))])
    coef = np.linspace(-1.0, 2.0, x.shape[1])
    y = np.zeros(rows)
    for j in range(x.shape[1]):  # elementwise, so the target does not depend on a BLAS
        y = y + x[:, j] * coef[j]
    noise = uniform(rows, seed + 1)
    y = y + noise * 2.0 + np.where(noise > 0.45, 40.0, 0.0)  # 5 % one-sided outliers
    if shape == "all_outliers":
        y = np.full(rows, 1e4)
    weights = np.floor((uniform(rows, seed + 2) + 0.5) * 5.0) / 2.0  # 0.0, 0.5, ..., 2.0
    return (np.ascontiguousarray(x, dtype), np.ascontiguousarray(y, dtype), np.ascontiguousarray(weights, dtype))


def update_arguments(shape, second, penalty):
    rows, features, intercept = SHAPES[shape]
    return dict(batch_weight=float(rows), n_features_in=features, fit_intercept=intercept,
                tau=1.0 if second else 1.345, penalty=penalty, lambda_scale=0.5 if second else 1.0,
                bandwidth_scale=0.05 if second else 1.0, max_iter=12, tol=1e-7, ridge=1e-3 if second else 0.0)


def digest(values):
    """16 hex digits over the exact bytes of every value, in order."""
    h = hashlib.sha256()
    for value in values:
        if isinstance(value, np.ndarray):
            h.update(str(value.dtype).encode() + value.tobytes())
        elif isinstance(value, bool):
            h.update(b"T" if value else b"F")
        elif isinstance(value, int):
            h.update(value.to_bytes(8, "little"))
        else:
            h.update(np.float64(value).tobytes())
    return h.hexdigest()[:16]


def run_case(shape, dtype, penalty, pool):
    """Hashes of both update results and of a prediction from the fit."""
    first = batch(shape, dtype, 100)
    second = batch(shape, dtype, 200)
    p = first[0].shape[1]
    engine = NativeCpuEngine(dtype, p, n_threads=pool)
    hashes = []
    for (x, y, w), is_second in ((first, False), (second, True)):
        result = engine.update(x, y, w if is_second else None, **update_arguments(shape, is_second, penalty))
        hashes.append(digest(result.values()))
    hashes.append(digest([engine.predict(first[0])]))
    return hashes


def prediction_digest(rows, cols, dtype, pool):
    coef = np.ascontiguousarray(uniform(cols, 7) * 3.0, dtype)
    design = np.ascontiguousarray(uniform(rows * cols, 8).reshape(rows, cols) * 5.0, dtype)
    engine = NativeCpuEngine(dtype, cols, n_threads=pool)
    engine.restore(coef, np.zeros((cols, cols), dtype), 0, 0, 0.0, 0.0)
    return digest([engine.predict(design)])


def openblas_build():
    """The OpenBLAS build the engine runs on and the core it selected: the
    loaded 32-bit-integer OpenBLAS that is neither NumPy's (the 64-bit one)
    nor SciPy's, wherever the installation put it."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps
                 if "scipy_openblas" in line and "openblas64" not in line and "/scipy.libs/" not in line}
    builds = set()
    for path in paths:
        library = ctypes.CDLL(path)
        library.scipy_openblas_get_config.restype = ctypes.c_char_p
        library.scipy_openblas_get_corename.restype = ctypes.c_char_p
        builds.add(f"{library.scipy_openblas_get_config().decode()} / {library.scipy_openblas_get_corename().decode()}")
    assert len(builds) == 1, builds
    return builds.pop()


def case_name(shape, dtype, penalty):
    return f"{shape}-{dtype}-{penalty}"


UPDATE_CASES = [(s, d, pen) for s in SHAPES for d in ("float32", "float64") for pen in ("none", "l1")]


def recorded():
    return json.loads(RECORD.read_text())


def expected_for(case, pool):
    """The recorded hashes for a pool; pool None means the process-wide
    pool, whose size is the machine's. None when nothing was recorded."""
    pools = recorded()["update"][case]
    if pool is not None:
        return pools[str(pool)]
    threads = version()["parallel_threads"]
    if str(threads) in pools:
        return pools[str(threads)]
    distinct = {tuple(hashes) for hashes in pools.values()}
    return list(distinct.pop()) if len(distinct) == 1 else None


@pytest.mark.parametrize("shape, dtype, penalty", UPDATE_CASES)
def test_update_results_match_the_record(shape, dtype, penalty):
    record = recorded()
    if openblas_build() != record["openblas"]:
        pytest.skip(f"hashes recorded under {record['openblas']}")
    case = case_name(shape, dtype, penalty)
    for pool in [None, *POOLS]:
        expected = expected_for(case, pool)
        if expected is None:
            continue  # a pool size that changes the slots and was not recorded
        assert run_case(shape, dtype, penalty, pool) == expected, f"{case}, pool {pool}"


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_predictions_match_the_record(dtype):
    record = recorded()["predict"]
    for rows, cols in PREDICT_SHAPES:
        for pool in [None, *POOLS]:
            assert prediction_digest(rows, cols, dtype, pool) == record[f"{rows}x{cols}-{dtype}"], (rows, cols, pool)


def record_all():
    data = {"openblas": openblas_build(), "update": {}, "predict": {}}
    for shape, dtype, penalty in UPDATE_CASES:
        data["update"][case_name(shape, dtype, penalty)] = {
            str(pool): run_case(shape, dtype, penalty, pool) for pool in POOLS}
    for rows, cols in PREDICT_SHAPES:
        for dtype in ("float32", "float64"):
            digests = {prediction_digest(rows, cols, dtype, pool) for pool in [None, *POOLS]}
            assert len(digests) == 1, "predictions depend on the pool"
            data["predict"][f"{rows}x{cols}-{dtype}"] = digests.pop()
    lines = [f' "openblas": {json.dumps(data["openblas"])},', ' "update": {']
    lines += [f'  "{case}": {json.dumps(pools)},' for case, pools in data["update"].items()]
    lines[-1] = lines[-1].rstrip(",")
    lines += [" },", f' "predict": {json.dumps(data["predict"], indent=2)}']
    RECORD.write_text("{\n" + "\n".join(lines) + "\n}\n")


if __name__ == "__main__":
    record_all()
