"""Module contents, version() and the engine class as the module presents it."""

import importlib.util
import inspect
import pathlib
import pickle
import shutil
import subprocess
import sys
import tomllib

import pytest

import vintrel
import vintrel._vintrel_native_cpu as native
from vintrel._native_cpu import NativeCpuEngine, NativeEngineFault, version


def test_public_objects_are_exactly_the_class_and_version():
    assert native.__all__ == ["NativeCpuEngine", "version"]
    assert {name for name in vars(native) if not name.startswith("_")} == {"NativeCpuEngine", "version"}


def test_the_fault_class_is_importable_by_name_documented_and_picklable():
    assert vintrel.NativeEngineFault is NativeEngineFault is native._NativeEngineFault
    assert issubclass(NativeEngineFault, BaseException) and not issubclass(NativeEngineFault, Exception)
    assert "invariant" in NativeEngineFault.__doc__
    fault = pickle.loads(pickle.dumps(NativeEngineFault("slot partials shorter than their slots")))
    assert type(fault) is NativeEngineFault and fault.args == ("slot partials shorter than their slots",)


def test_package_version_is_the_engine_version_from_the_project_file():
    project = tomllib.loads((pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]
    assert vintrel.__version__ == version()["engine_version"] == project["version"]


def test_version_returns_a_fresh_dict_each_call():
    first, second = version(), version()
    assert first is not second and first == second
    assert list(first) == [
        "abi_version", "python_api_version", "engine_version", "linear_algebra_provider", "parallel_provider",
        "parallel_threads", "supports_engine_thread_pool", "engine_thread_pool_default", "strict_dtypes",
    ]
    assert type(first["parallel_threads"]) is int and first["parallel_threads"] >= 1
    assert first["strict_dtypes"] == ("float32", "float64")
    for call in (lambda: version(1), lambda: version(x=1)):
        with pytest.raises(TypeError):
            call()


def test_class_signatures_and_method_order():
    assert (NativeCpuEngine.__module__, NativeCpuEngine.__qualname__) == ("vintrel._native_cpu", "NativeCpuEngine")
    assert str(inspect.signature(NativeCpuEngine)) == "(dtype, n_parameters, n_threads=None)"
    assert NativeCpuEngine.__doc__ == "Persistent CPU engine with reusable numerical workspaces."
    methods = [name for name, value in vars(NativeCpuEngine).items() if callable(value) and name != "__new__"]
    assert methods == ["restore", "update", "evaluate", "predict", "state"]
    assert NativeCpuEngine.predict.__text_signature__ == "($self, x_design, *, x_center=None, x_scale=None)"
    assert str(inspect.signature(NativeCpuEngine.update)).endswith("ridge, *, x_center=None, x_scale=None)")


def test_second_module_object_shares_the_class():
    # Loading the extension again under another package name builds a new
    # module object; the class is created once per process and reused.
    spec = importlib.util.spec_from_file_location("elsewhere._vintrel_native_cpu", native.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.NativeCpuEngine is NativeCpuEngine
    assert module.__all__ == ["NativeCpuEngine", "version"]
    assert module.version() == version()


def test_engine_blas_is_single_threaded_and_numpys_is_left_alone():
    pytest.importorskip("threadpoolctl")
    script = """
import numpy as np, threadpoolctl
def openblas_threads():
    return {i["filepath"]: i["num_threads"] for i in threadpoolctl.threadpool_info()
            if i["internal_api"] == "openblas"}
before = openblas_threads()
from vintrel import NativeCpuEngine
engine = NativeCpuEngine("float64", 2)
x = np.ones((300, 2)); x[:, 0] = np.arange(300.0)
engine.update(x, x[:, 0].copy(), None, 300.0, 1, True, 1.345, "none", 1.0, 1.0, 5, 1e-8, 0.0)
after = openblas_threads()
ours = [n for path, n in after.items() if "/numpy.libs/" not in path and "/scipy.libs/" not in path]
print(ours == [1] and all(after[path] == n for path, n in before.items()))
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "True", result.stdout + result.stderr


def test_the_init_function_is_the_only_exported_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", native.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__vintrel_native_cpu"]


SUBINTERPRETER_IMPORT = """
try:
    import vintrel._vintrel_native_cpu
except ImportError as error:
    raised = f"ImportError: {error}"
else:
    raised = "imported"
with open(OUTCOME_PATH, "w") as out:
    out.write(raised)
"""


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_subinterpreters_cannot_import_the_module(kind, tmp_path):
    # The engine type is made once per process; another interpreter must not
    # get the main interpreter's objects. The main interpreter has the module.
    interpreters = pytest.importorskip("_interpreters")
    path = tmp_path / "outcome"
    interpreter = interpreters.create(interpreters.new_config(kind))
    try:
        interpreters.run_string(interpreter, SUBINTERPRETER_IMPORT.replace("OUTCOME_PATH", repr(str(path))))
    finally:
        interpreters.destroy(interpreter)
    assert path.read_text().startswith("ImportError:") and "_vintrel_native_cpu" in path.read_text()
