"""Shared helpers for the tests of the NativeCpuEngine boundary."""

import os

import numpy as np
import pytest

DTYPES = ["float32", "float64"]
# AddressSanitizer quarantines freed memory and aborts on huge allocations,
# so resident-size and out-of-memory checks mean nothing under it.
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")
NOT_CONTIGUOUS = "must be C-contiguous; copy explicitly before native CPU use"
WRONG_KIND = "must be a C-contiguous NumPy array with the engine dtype"


@pytest.fixture(params=DTYPES)
def dtype(request):
    return request.param


def other_dtype(dtype):
    return "float32" if dtype == "float64" else "float64"


def update_args(dtype="float64", rows=6, features=2, **overrides):
    """A complete, valid update call for an engine of `features` parameters."""
    rng = np.random.default_rng(7)
    args = dict(
        x_design=rng.standard_normal((rows, features)).astype(dtype),
        y=rng.standard_normal(rows).astype(dtype),
        sample_weight=None,
        batch_weight=1.0,
        n_features_in=features,
        fit_intercept=False,
        tau=1.345,
        penalty="none",
        lambda_scale=1.0,
        bandwidth_scale=1.0,
        max_iter=50,
        tol=1e-8,
        ridge=0.0,
    )
    args.update(overrides)
    return args


def assert_same_state(left, right):
    """Two state exports are equal bit for bit, keys and types included."""
    assert list(left) == list(right)
    for key in left:
        a, b = left[key], right[key]
        assert type(a) is type(b), key
        if isinstance(a, np.ndarray):
            assert a.dtype == b.dtype and a.shape == b.shape, key
            assert a.tobytes() == b.tobytes(), key
        elif isinstance(a, float):
            assert np.float64(a).tobytes() == np.float64(b).tobytes(), key
        else:
            assert a == b, key
