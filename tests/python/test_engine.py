"""Construction of NativeCpuEngine: conversions, checks in order, properties."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import UNDER_SANITIZER
from vintrel._native_cpu import NativeCpuEngine, version


@pytest.mark.parametrize("text", ["float16", "Float32", "float64 ", " float32", "f8", "double", "", "float32\0"])
def test_dtype_must_be_one_of_two_exact_strings(text):
    with pytest.raises(ValueError, match=re.escape("dtype must be exactly 'float32' or 'float64'")):
        NativeCpuEngine(text, 2)


@pytest.mark.parametrize(
    "args, error, note",
    [
        pytest.param(("float64", -1), OverflowError, "n_parameters", id="negative-parameters"),
        pytest.param(("float64", 2**64), OverflowError, "n_parameters", id="parameters-above-u64"),
        pytest.param(("float64", 2.0), TypeError, "n_parameters", id="float-parameters"),
        pytest.param(("float64", 2, 1.5), TypeError, "n_threads", id="float-threads"),
        pytest.param(("float64", 2, 2**63), OverflowError, "n_threads", id="threads-above-i64"),
        pytest.param((b"float64", 2), TypeError, "dtype", id="bytes-dtype"),
        # Conversions all come before the first value check.
        pytest.param(("int8", -1, 0), OverflowError, "n_parameters", id="conversion-before-dtype-check"),
    ],
)
def test_conversion_errors_carry_the_argument_name(args, error, note):
    with pytest.raises(error) as info:
        NativeCpuEngine(*args)
    assert type(info.value) is error
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_numpy_dtype_object_is_not_a_dtype_string():
    with pytest.raises(TypeError) as info:
        NativeCpuEngine(np.dtype("float64"), 2)
    assert info.value.__notes__ == ["while processing 'dtype'"]


@pytest.mark.parametrize(
    "args, message",
    [
        (("int8", 0, 0), "dtype must be exactly 'float32' or 'float64'"),
        (("float64", 0, 0), "n_parameters must be positive"),
        (("float64", 2**32, 0), "n_parameters is too large"),
        (("float64", 2, 0), "n_threads must be a positive integer"),
        (("float64", 2, -1), "n_threads must be a positive integer"),
    ],
)
def test_first_failing_check_wins(args, message):
    with pytest.raises(ValueError) as info:
        NativeCpuEngine(*args)
    assert str(info.value) == message


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer aborts on huge allocations")
def test_largest_accepted_parameter_count_fails_only_for_memory():
    # Run with a capped address space, so the refused allocation is refused
    # on any machine instead of zero-filling tens of gigabytes.
    script = textwrap.dedent("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
        from vintrel._native_cpu import NativeCpuEngine
        try:
            NativeCpuEngine("float64", 2**32 - 1)
        except MemoryError:
            print("MemoryError")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "MemoryError", done.stderr


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: NativeCpuEngine(), "NativeCpuEngine() missing 2 required positional arguments: 'dtype' and 'n_parameters'"),
        (lambda: NativeCpuEngine("float64", 2, None, 1), "NativeCpuEngine() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: NativeCpuEngine("float64", dtype="float32", n_parameters=2), "NativeCpuEngine() got multiple values for argument 'dtype'"),
        (lambda: NativeCpuEngine("float64", 2, threads=1), "NativeCpuEngine() got an unexpected keyword argument 'threads'"),
    ],
)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


def test_engine_on_the_process_wide_pool():
    for engine in (NativeCpuEngine("float64", 3), NativeCpuEngine(n_threads=None, n_parameters=3, dtype="float64")):
        assert (engine.dtype, engine.n_parameters, engine.has_dedicated_thread_pool) == ("float64", 3, False)
        assert engine.n_threads == version()["parallel_threads"]


def test_engine_with_a_private_pool():
    engine = NativeCpuEngine("float32", 2, 1)
    assert (engine.dtype, engine.n_parameters, engine.n_threads, engine.has_dedicated_thread_pool) == (
        "float32", 2, 1, True)
    assert NativeCpuEngine("float64", 1, n_threads=3).n_threads == 3
