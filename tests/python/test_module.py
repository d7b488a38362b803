"""Module contents, version() and the attributes of the engine class."""

import importlib.util
import inspect
import sys

import pytest

import vintrel._vintrel_native_cpu as native
from vintrel._native_cpu import NativeCpuEngine, version


def test_public_objects_are_exactly_the_class_and_version():
    assert native.__all__ == ["NativeCpuEngine", "version"]
    public = {name for name in vars(native) if not name.startswith("__")}
    assert public == {"NativeCpuEngine", "version"}


def test_version_returns_a_fresh_dict_with_the_build_facts():
    first, second = version(), version()
    assert first is not second and first == second
    assert list(first) == [
        "abi_version", "python_api_version", "engine_version", "linear_algebra_provider",
        "parallel_provider", "parallel_threads", "supports_engine_thread_pool",
        "engine_thread_pool_default", "strict_dtypes",
    ]
    assert (first["abi_version"], first["python_api_version"], first["engine_version"]) == (1, 2, "0.7.1")
    assert type(first["parallel_threads"]) is int and first["parallel_threads"] >= 1
    assert first["supports_engine_thread_pool"] is True
    assert first["engine_thread_pool_default"] == "global"
    assert first["strict_dtypes"] == ("float32", "float64")


@pytest.mark.parametrize("call", [lambda: version(1), lambda: version(x=1)])
def test_version_takes_no_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_class_identity_and_docs():
    assert NativeCpuEngine.__module__ == "vintrel._native_cpu"
    assert NativeCpuEngine.__qualname__ == "NativeCpuEngine"
    assert str(inspect.signature(NativeCpuEngine)) == "(dtype, n_parameters, n_threads=None)"
    assert NativeCpuEngine.__doc__ == "Persistent CPU engine with reusable numerical workspaces."
    methods = [name for name, value in vars(NativeCpuEngine).items() if callable(value) and name != "__new__"]
    assert methods == ["restore", "update", "predict", "state"]
    assert NativeCpuEngine.restore.__text_signature__ == (
        "($self, coefficients, information, n_samples_seen, batch_count, previous_lambda, weight_sum)")
    assert NativeCpuEngine.update.__text_signature__ == (
        "($self, x_design, y, sample_weight, batch_weight, n_features_in, fit_intercept, tau, penalty, "
        "lambda_scale, bandwidth_scale, max_iter, tol, ridge)")
    assert NativeCpuEngine.predict.__text_signature__ == "($self, x_design)"
    assert NativeCpuEngine.state.__text_signature__ == "($self)"
    assert str(inspect.signature(version)) == "()"


@pytest.mark.parametrize("name", ["dtype", "n_parameters", "n_threads", "has_dedicated_thread_pool"])
def test_properties_are_read_only_and_documented(name):
    engine = NativeCpuEngine("float64", 2)
    assert vars(NativeCpuEngine)[name].__doc__
    with pytest.raises(AttributeError):
        setattr(engine, name, 1)


def test_second_module_object_shares_the_class():
    # The extension loaded again under another package name builds a new
    # module object; the class is created once per process and reused.
    spec = importlib.util.spec_from_file_location("elsewhere._vintrel_native_cpu", native.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.__name__ == "elsewhere._vintrel_native_cpu"
    assert module.NativeCpuEngine is NativeCpuEngine
    assert module.NativeCpuEngine.__module__ == "vintrel._native_cpu"
    assert module.__all__ == ["NativeCpuEngine", "version"]
    assert module.version() == version()
    assert "elsewhere._vintrel_native_cpu" not in sys.modules
