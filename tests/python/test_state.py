"""state() and restore(): the export, round trips and the import checks."""

import re

import numpy as np
import pytest

from vintrel._native_cpu import NativeCpuEngine

from conftest import NOT_CONTIGUOUS, WRONG_KIND, assert_same_state

P = 3
RESTORE_KEYS = ["coefficients", "information", "n_samples_seen", "batch_count", "previous_lambda", "weight_sum"]


def sample_state(dtype="float64"):
    rng = np.random.default_rng(11)
    return dict(coefficients=rng.standard_normal(P).astype(dtype),
                information=rng.standard_normal((P, P)).astype(dtype),
                n_samples_seen=2**63 - 1, batch_count=12, previous_lambda=-0.0, weight_sum=1e300)


def test_fresh_state_is_all_zero(dtype):
    state = NativeCpuEngine(dtype, P).state()
    assert list(state) == [*RESTORE_KEYS[:2], "state_is_detached", *RESTORE_KEYS[2:]]
    for array, shape in ((state["coefficients"], (P,)), (state["information"], (P, P))):
        assert array.dtype == np.dtype(dtype) and array.shape == shape and not array.any()
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned
    assert state["state_is_detached"] is True
    assert (state["n_samples_seen"], state["batch_count"]) == (0, 0)
    assert type(state["previous_lambda"]) is float and type(state["weight_sum"]) is float


def test_round_trip_is_bit_exact_on_the_same_and_a_new_engine(dtype):
    engine = NativeCpuEngine(dtype, P)
    assert engine.restore(**sample_state(dtype)) is None
    exported = engine.state()
    assert np.signbit(exported["previous_lambda"]) and exported["n_samples_seen"] == 2**63 - 1
    again = {key: exported[key] for key in RESTORE_KEYS}
    engine.restore(**again)
    assert_same_state(engine.state(), exported)
    other = NativeCpuEngine(dtype, P, n_threads=1)
    other.restore(*again.values())
    assert_same_state(other.state(), exported)


@pytest.mark.parametrize("counter", [2**63, 2**64 - 1])
def test_every_exported_counter_can_be_restored(counter):
    # state() exports the counters as unsigned 64-bit values.
    engine = NativeCpuEngine("float64", P)
    engine.restore(**dict(sample_state(), n_samples_seen=counter, batch_count=counter))
    exported = engine.state()
    assert (exported["n_samples_seen"], exported["batch_count"]) == (counter, counter)
    engine.restore(**{key: exported[key] for key in RESTORE_KEYS})
    assert_same_state(engine.state(), exported)


def test_exported_and_imported_arrays_share_no_memory(dtype):
    values = sample_state(dtype)
    engine = NativeCpuEngine(dtype, P)
    engine.restore(**values)
    exported = engine.state()
    for array in (values["coefficients"], values["information"], exported["coefficients"], exported["information"]):
        array[...] = 7
    after = engine.state()
    assert after["coefficients"].tobytes() == sample_state(dtype)["coefficients"].tobytes()
    assert after["information"].tobytes() == sample_state(dtype)["information"].tobytes()


def test_accepted_edge_values():
    engine = NativeCpuEngine("float64", P)
    readonly = np.eye(P)
    readonly.flags.writeable = False
    subclass = type("Subclass", (np.ndarray,), {})
    # Counters through __index__, zero weight with zero samples, a read-only
    # array and an ndarray subclass.
    engine.restore(np.ones(P).view(subclass), readonly, np.int64(0), np.uint8(0), 0.0, 0.0)
    engine.restore(**dict(sample_state(), n_samples_seen=0, weight_sum=2.5))


def strided(values):
    return np.repeat(np.asarray(values, float), 2)[::2]


CASES = [
    # (overrides, error class, message or None, note or None)
    (dict(n_samples_seen=-1, coefficients=None), ValueError, "state counters must be non-negative", None),
    (dict(batch_count=-1, previous_lambda=-1.0), ValueError, "state counters must be non-negative", None),
    (dict(n_samples_seen=2**64), OverflowError, None, "n_samples_seen"),
    (dict(batch_count=-(2**63) - 1), OverflowError, None, "batch_count"),
    (dict(batch_count=-(2**63), coefficients=None), ValueError, "state counters must be non-negative", None),
    (dict(batch_count=1.0), TypeError, None, "batch_count"),
    (dict(batch_count=-1, weight_sum=None), TypeError, None, "weight_sum"),  # conversions come first
    (dict(coefficients=[0.0] * P), TypeError, "coefficients " + WRONG_KIND, None),
    (dict(coefficients=np.zeros(P, np.float32), information=np.zeros(P)), TypeError, "coefficients " + WRONG_KIND, None),
    (dict(information=np.zeros((P, P), dtype=">f8")), TypeError, "information " + WRONG_KIND, None),
    (dict(coefficients=np.zeros(P + 1), previous_lambda=-1.0), ValueError, "coefficients has the wrong length", None),
    (dict(information=np.zeros((P, P + 1))), ValueError, "information has the wrong square shape", None),
    (dict(previous_lambda=-5e-324), ValueError, "previous_lambda must be finite and non-negative", None),
    (dict(previous_lambda=float("nan"), weight_sum=-1.0), ValueError, "previous_lambda must be finite and non-negative", None),
    (dict(n_samples_seen=1, weight_sum=0.0), ValueError, "weight_sum is inconsistent with the state counters", None),
    (dict(weight_sum=float("inf"), coefficients=strided([0] * P)), ValueError, "weight_sum is inconsistent with the state counters", None),
    (dict(coefficients=strided([np.nan, 0, 0])), ValueError, "coefficients " + NOT_CONTIGUOUS, None),
    (dict(information=np.asfortranarray(np.arange(P * P, dtype=float).reshape(P, P))), ValueError, "information " + NOT_CONTIGUOUS, None),
    (dict(coefficients=np.array([0.0, np.inf, 0.0])), ValueError, "state arrays must contain only finite values", None),
    (dict(information=np.diag([0.0, -np.inf, 0.0])), ValueError, "state arrays must contain only finite values", None),
]


@pytest.mark.parametrize("overrides, error, message, note", CASES)
def test_refused_restore_leaves_the_state_alone(overrides, error, message, note):
    engine = NativeCpuEngine("float64", P)
    engine.restore(**sample_state())
    before = engine.state()
    with pytest.raises(error) as info:
        engine.restore(**dict(sample_state(), **overrides))
    assert type(info.value) is error
    assert message is None or str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    assert_same_state(engine.state(), before)


def test_a_whole_state_dict_is_not_a_restore_call():
    engine = NativeCpuEngine("float64", P)
    with pytest.raises(TypeError, match=re.escape("got an unexpected keyword argument 'state_is_detached'")):
        engine.restore(**engine.state())
