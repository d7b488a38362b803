"""Construction of NativeCpuEngine: conversions, checks in order, properties."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vintrel._native_cpu import NativeCpuEngine, version

from conftest import UNDER_SANITIZER


@pytest.mark.parametrize("text", ["float16", "Float32", "float64 ", "f8", "", "float32\0"])
def test_dtype_must_be_one_of_two_exact_strings(text):
    with pytest.raises(ValueError, match=re.escape("dtype must be exactly 'float32' or 'float64'")):
        NativeCpuEngine(text, 2)


@pytest.mark.parametrize(
    "args, error, note",
    [
        ((np.dtype("float64"), 2), TypeError, "dtype"),
        (("float64", -1), OverflowError, "n_parameters"),
        (("float64", 2.0), TypeError, "n_parameters"),
        (("float64", 2, 1.5), TypeError, "n_threads"),
        (("float64", 2, 2**63), OverflowError, "n_threads"),
        (("int8", -1, 0), OverflowError, "n_parameters"),  # every conversion precedes every check
    ],
)
def test_conversion_errors_carry_the_argument_name(args, error, note):
    with pytest.raises(error) as info:
        NativeCpuEngine(*args)
    assert type(info.value) is error and info.value.__notes__ == [f"while processing '{note}'"]


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
    # A capped address space makes the allocation fail on any machine
    # instead of zero-filling tens of gigabytes first.
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


REFUSE_UNALLOCATABLE = """
import resource, sys
if sys.argv[3] == "limit":  # a regression must not zero-fill the machine's memory first
    resource.setrlimit(resource.RLIMIT_AS, (16 << 30, 16 << 30))
from vintrel._native_cpu import NativeCpuEngine
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    NativeCpuEngine(sys.argv[1], int(sys.argv[2]))
except MemoryError as error:
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024, repr(error))
"""


@pytest.mark.parametrize(
    "dtype, p, message",
    [
        ("float32", 2**31, "n_parameters is too large for the information matrix to be allocated"),
        ("float64", 2**30, "n_parameters is too large for the information matrix to be allocated"),
        # Addressable, but no allocator grants 4 EiB (the sanitizer's aborts instead).
        pytest.param("float32", 2**30, "", marks=pytest.mark.skipif(UNDER_SANITIZER, reason="aborts on huge sizes")),
    ],
)
def test_an_impossible_information_matrix_is_refused_before_any_allocation(dtype, p, message):
    limit = "none" if UNDER_SANITIZER else "limit"
    done = subprocess.run([sys.executable, "-c", REFUSE_UNALLOCATABLE, dtype, str(p), limit], capture_output=True,
                          text=True, timeout=120)
    expected = f"MemoryError({message!r})" if message else "MemoryError()"
    assert done.stdout.strip() == f"0 {expected}", done.stderr  # no growth in peak memory, in MiB


def test_properties_of_shared_and_private_pool_engines():
    shared = NativeCpuEngine(n_threads=None, n_parameters=3, dtype="float64")
    assert (shared.dtype, shared.n_parameters, shared.has_dedicated_thread_pool) == ("float64", 3, False)
    assert shared.n_threads == version()["parallel_threads"]
    private = NativeCpuEngine("float32", 2, 3)
    assert (private.dtype, private.n_threads, private.has_dedicated_thread_pool) == ("float32", 3, True)
