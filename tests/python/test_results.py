"""What update and predict hand back across the boundary: result layout and
types, detached arrays, untouched inputs, engine errors and their classes."""

import re
import threading

import numpy as np
import pytest

from vintrel._native_cpu import NativeCpuEngine

from conftest import assert_same_state, update_args

STATE_KEYS = ["coefficients", "information", "state_is_detached", "n_samples_seen", "batch_count",
              "previous_lambda", "weight_sum"]
SUMMARY_TYPES = {"iterations": int, "converged": bool, "objective": float, "lambda_value": float,
                 "bandwidth": float, "used_regularized_fallback": bool}


def assert_fresh_array(array, dtype, shape):
    assert type(array) is np.ndarray and array.dtype == np.dtype(dtype) and array.shape == shape
    assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned


@pytest.mark.parametrize("penalty", ["none", "l1"])
def test_update_result_layout(dtype, penalty):
    engine = NativeCpuEngine(dtype, 3)
    args = update_args(dtype, rows=40, features=2, fit_intercept=np.True_, penalty=penalty)
    args["x_design"] = np.hstack([args["x_design"], np.ones((40, 1), dtype)])
    result = engine.update(**args)
    assert list(result) == STATE_KEYS + list(SUMMARY_TYPES)
    for key, kind in SUMMARY_TYPES.items():
        assert type(result[key]) is kind, key
    assert_fresh_array(result["coefficients"], dtype, (3,))
    assert_fresh_array(result["information"], dtype, (3, 3))
    assert (result["n_samples_seen"], result["batch_count"], result["weight_sum"]) == (40, 1, 1.0)
    assert result["previous_lambda"] == result["lambda_value"]
    assert_same_state({key: result[key] for key in STATE_KEYS}, engine.state())
    # Writing into the result changes nothing in the engine.
    result["coefficients"][:] = 99
    result["information"][:] = 99
    assert not np.any(engine.state()["coefficients"] == 99)


def test_inputs_are_read_in_place_and_never_written(dtype):
    engine = NativeCpuEngine(dtype, 2)
    args = update_args(dtype, rows=50, sample_weight=np.linspace(0.5, 2.0, 50).astype(dtype))
    arrays = {key: args[key] for key in ("x_design", "y", "sample_weight")}
    copies = {key: value.copy() for key, value in arrays.items()}
    for value in arrays.values():
        value.flags.writeable = False
    subclass = type("Subclass", (np.ndarray,), {})
    engine.update(**dict(args, x_design=args["x_design"].view(subclass)))
    prediction = engine.predict(arrays["x_design"])
    for key, value in arrays.items():
        assert value.tobytes() == copies[key].tobytes(), key
    assert_fresh_array(prediction, dtype, (50,))
    prediction[:] = 0
    assert engine.predict(arrays["x_design"]).any()


def test_prediction_of_empty_and_fresh_designs(dtype):
    engine = NativeCpuEngine(dtype, 3)
    empty = np.zeros((3, 0), dtype).T  # no elements, so its column-major strides do not matter
    assert_fresh_array(engine.predict(empty), dtype, (0,))
    np.testing.assert_array_equal(engine.predict(np.ones((5, 3), dtype)), np.zeros(5, dtype))


@pytest.mark.parametrize(
    "design, message",
    [
        (np.zeros((0, 4)), "invalid native batch: invalid prediction shape"),
        (np.zeros((2, 2)), "invalid native batch: invalid prediction shape"),
        (np.array([[0.0, 1.0, np.inf]]), "invalid native batch: prediction input must contain only finite values"),
    ],
)
def test_prediction_engine_errors(design, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        NativeCpuEngine("float64", 3).predict(design)


def test_threads_on_separate_engines_match_serial_runs():
    rng = np.random.default_rng(3)
    batches = [(rng.standard_normal((3_000, 8)), rng.standard_normal(3_000)) for _ in range(4)]

    def fit(engine):
        for x, y in batches:
            engine.update(**update_args(x_design=x, y=y, features=8, batch_weight=3_000.0))
        return engine.state()

    serial = fit(NativeCpuEngine("float64", 8))
    results = [None] * 4
    engines = [NativeCpuEngine("float64", 8, n_threads=n_threads) for n_threads in (None, 1, None, 2)]
    threads = [threading.Thread(target=lambda k=k: results.__setitem__(k, fit(engines[k]))) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        assert_same_state(result, serial)


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_predictions_are_bit_identical_for_every_pool_and_both_sides_of_the_threshold(dtype):
    # Ten columns: 99,999 rows stay on one thread, 100,000 rows (a million
    # elements) go to the pool.
    rng = np.random.default_rng(9)
    design = rng.standard_normal((100_000, 10)).astype(dtype)
    coef = rng.standard_normal(10).astype(dtype)
    outputs = set()
    for n_threads in (None, 1, 2, 3):
        engine = NativeCpuEngine(dtype, 10, n_threads=n_threads)
        engine.restore(coef, np.zeros((10, 10), dtype), 0, 0, 0.0, 0.0)
        parallel = engine.predict(design)
        sequential = engine.predict(design[:99_999])
        assert sequential.tobytes() == parallel[:99_999].tobytes()
        outputs.add(parallel.tobytes())
    assert len(outputs) == 1


@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("penalty, keywords", [("none", {}), ("l1", {"solver": "coordinate"}),
                                               ("l1", {"solver": "proximal"}), ("l2", {}),
                                               ("elasticnet", {"l1_ratio": 0.5})])
def test_returned_residuals_are_those_of_the_new_coefficients(dtype, penalty, keywords):
    args = update_args(dtype, rows=3000, features=4, penalty=penalty, lambda_scale=0.05, max_iter=30)
    args["batch_weight"] = 3000.0
    engine = NativeCpuEngine(dtype, 4)
    plain = NativeCpuEngine(dtype, 4)
    result = engine.update(**args, **keywords, return_residuals=True)
    # The keyword adds the residuals and changes nothing else.
    expected = plain.update(**args, **keywords)
    assert result.keys() - expected.keys() == {"residuals"}
    np.testing.assert_array_equal(result["coefficients"], expected["coefficients"])
    residuals = result["residuals"]
    assert residuals.dtype == np.dtype(dtype) and residuals.shape == (3000,)
    fitted = args["x_design"].astype(np.float64) @ result["coefficients"].astype(np.float64)
    tolerance = 1e-12 if dtype == "float64" else 1e-4
    np.testing.assert_allclose(residuals, args["y"] - fitted, rtol=tolerance, atol=tolerance)
