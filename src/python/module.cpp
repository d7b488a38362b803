// Module definition: multi-phase initialisation with an exec slot that adds
// the engine type and version().
#define PY_ARRAY_UNIQUE_SYMBOL vintrel_ARRAY_API
#include <Python.h>
#include <numpy/arrayobject.h>

#include "core/pool.hpp"
#include "python/refs.hpp"

namespace vintrel::python {
namespace {

PyObject* version(PyObject* /*module*/, PyObject* /*unused*/) {
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  auto set = [&](const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(result.get(), key, owned.get()) == 0;
  };
  const bool ok = set("abi_version", PyLong_FromLong(1)) && set("python_api_version", PyLong_FromLong(2)) &&
                  set("engine_version", PyUnicode_FromString("0.7.1")) &&
                  set("linear_algebra_provider", PyUnicode_FromString("openblas")) &&
                  set("parallel_provider", PyUnicode_FromString("onetbb")) &&
                  set("parallel_threads", PyLong_FromUnsignedLong(
                                              static_cast<unsigned long>(core::current_concurrency()))) &&
                  set("supports_engine_thread_pool", PyBool_FromLong(1)) &&
                  set("engine_thread_pool_default", PyUnicode_FromString("global")) &&
                  set("strict_dtypes", Py_BuildValue("(ss)", "float32", "float64"));
  return ok ? result.release() : nullptr;
}

PyMethodDef version_def = {"version", version, METH_NOARGS, PyDoc_STR("version()\n--\n\n")};

int exec_module(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&version_def, module, nullptr));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, "version", function.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vintrel_native_cpu", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vintrel::python

PyMODINIT_FUNC PyInit__vintrel_native_cpu() { return PyModuleDef_Init(&vintrel::python::module_def); }
