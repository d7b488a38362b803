// Module definition: multi-phase initialisation with an exec slot that adds
// the engine type and version().
#define VINTREL_NUMPY_IMPORT
#include "python/numpy_api.hpp"

#include "core/pool.hpp"
#include "python/engine_object.hpp"
#include "python/errors.hpp"
#include "python/refs.hpp"

namespace vintrel::python {
namespace {

PyObject* version(PyObject* /*module*/, PyObject* /*unused*/) {
  return guarded<PyObject*>(nullptr, []() -> PyObject* {
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    auto set = [&](const char* key, PyObject* value) { return set_new_item(result.get(), key, value); };
    const bool ok = set("abi_version", PyLong_FromLong(1)) && set("python_api_version", PyLong_FromLong(2)) &&
                    set("engine_version", PyUnicode_FromString(VINTREL_ENGINE_VERSION)) &&
                    set("linear_algebra_provider", PyUnicode_FromString("openblas")) &&
                    set("parallel_provider", PyUnicode_FromString("onetbb")) &&
                    set("parallel_threads", PyLong_FromUnsignedLong(
                                                static_cast<unsigned long>(core::current_concurrency()))) &&
                    set("supports_engine_thread_pool", PyBool_FromLong(1)) &&
                    set("engine_thread_pool_default", PyUnicode_FromString("global")) &&
                    set("strict_dtypes", Py_BuildValue("(ss)", "float32", "float64"));
    return ok ? result.release() : nullptr;
  });
}

PyMethodDef version_def = {"version", version, METH_NOARGS,
                           PyDoc_STR("version()\n--\n\nDescribe this build: interface versions, engine version, "
                                     "providers, pool facts and the accepted dtypes.")};

// Sets the attribute and appends its name to __all__, creating the list
// when the module has none.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed, never fails for a module
  PyObject* names = nullptr;
  if (PyDict_GetItemStringRef(dict, "__all__", &names) < 0) return -1;
  PyRef all = PyRef::steal(names);
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  if (PyModule_AddObjectRef(module, name, value) < 0) return -1;
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  return key && PyList_Append(all.get(), key.get()) == 0 ? 0 : -1;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%T' object cannot be converted to a module", module);
    return -1;
  }
  // The engine type and the fault class are made once per process and hold
  // no per-interpreter state, so they must not be shared with another
  // interpreter. Isolated interpreters are turned away by the slot below;
  // legacy ones, which the slot lets through, here.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "_vintrel_native_cpu can only be imported in the main interpreter");
    return -1;
  }
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  // The exception classes are reachable for the Python package, which
  // exports them under their documented names, but they are not among the
  // module's public objects.
  if (add_exception_types(module) < 0) return -1;
  PyObject* type = engine_type();
  if (type == nullptr || add_public(module, "NativeCpuEngine", type) < 0) return -1;
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&version_def, module, module_name.get()));
  if (!function) return -1;
  return add_public(module, "version", function.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vintrel_native_cpu", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vintrel::python

PyMODINIT_FUNC PyInit__vintrel_native_cpu() { return PyModuleDef_Init(&vintrel::python::module_def); }
