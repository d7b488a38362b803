#include "python/errors.hpp"

#include <array>
#include <exception>
#include <new>
#include <string>

#include "python/refs.hpp"

namespace vintrel::python {

namespace {

// Created once and kept for the life of the process, like the engine type:
// every module object shares them.
PyObject* fault_class = nullptr;
PyObject* base_error_class = nullptr;
std::array<PyObject*, core::ERROR_KIND_COUNT> kind_classes{};

struct ErrorClass {
  const char* name;  // as the Python package exports it
  const char* doc;
};

ErrorClass error_class(core::ErrorKind kind) {
  switch (kind) {
    case core::ErrorKind::configuration:
      return {"EngineConfigurationError", "A setting of an update is out of its range."};
    case core::ErrorKind::state:
      return {"EngineStateError",
              "The engine's stored state does not fit the update's features or holds invalid values."};
    case core::ErrorKind::batch:
      return {"EngineBatchError",
              "The arrays, weights or units given to an update, an evaluation or a prediction cannot be used."};
    case core::ErrorKind::buffer_size_overflow:
      return {"EngineSizeOverflowError", "A buffer size or a counter of the engine does not fit in 64 bits."};
    case core::ErrorKind::scalar_conversion:
      return {"EngineScalarConversionError", "A scalar value could not be converted for the engine."};
    case core::ErrorKind::linear_solve:
      return {"EngineLinearSolveError", "The engine could not solve its Newton system, fallbacks included."};
    case core::ErrorKind::non_finite:
      return {"EngineNonFiniteError", "A calculation of the engine produced a NaN or an infinity."};
  }
  throw core::InternalFault("unknown engine error kind");
}

PyObject* builtin_base(core::ErrorCategory category) {
  switch (category) {
    case core::ErrorCategory::value: return PyExc_ValueError;
    case core::ErrorCategory::runtime: return PyExc_RuntimeError;
  }
  throw core::InternalFault("unknown engine error category");
}

// Every class reports the module the package exports it from, so that its
// instances pickle.
PyObject* new_class(const char* name, const char* doc, PyObject* bases) {
  std::string qualified = "vintrel._native_cpu.";
  qualified += name;
  return PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
}

// A class made once per process and its private name in every module.
int add_class(PyObject* module, PyObject*& made, const char* name, const char* doc, PyObject* bases) {
  if (made == nullptr) made = new_class(name, doc, bases);
  if (made == nullptr) return -1;
  std::string attribute = "_";
  attribute += name;
  return PyModule_AddObjectRef(module, attribute.c_str(), made);
}

}  // namespace

int add_exception_types(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (add_class(module, fault_class, "NativeEngineFault",
                  "An internal invariant of the native engine was broken: a bug in the engine, not an error in "
                  "the caller's input. The call that raised it changed nothing. It derives from BaseException, "
                  "so that handlers for ordinary errors do not swallow it.",
                  PyExc_BaseException) < 0 ||
        add_class(module, base_error_class, "EngineError", "The base class of the errors the native engine reports.",
                  PyExc_Exception) < 0) {
      return -1;
    }
    for (int k = 0; k < core::ERROR_KIND_COUNT; ++k) {
      const auto kind = static_cast<core::ErrorKind>(k);
      const ErrorClass described = error_class(kind);
      PyRef bases = PyRef::steal(PyTuple_Pack(2, base_error_class, builtin_base(core::error_category(kind))));
      if (!bases || add_class(module, kind_classes[k], described.name, described.doc, bases.get()) < 0) return -1;
    }
    return 0;
  });
}

PyObject* raise_engine_error(const core::EngineError& error) {
  std::string text;
  PyObject* type = nullptr;
  try {
    text = core::display(error);
    type = kind_classes.at(static_cast<std::size_t>(error.kind));
    if (type == nullptr) throw core::InternalFault("engine error raised before its class was made");
  } catch (...) {
    return raise_current_exception();
  }
  PyErr_SetString(type, text.c_str());
  return nullptr;
}

PyObject* raise_current_exception() noexcept {
  // The fault class exists once the module has been executed; before that
  // no engine call can run, so the fallback only guards against misuse.
  PyObject* fault = fault_class != nullptr ? fault_class : PyExc_SystemError;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    PyErr_SetString(fault, exception.what());
  } catch (...) {
    PyErr_SetString(fault, "unknown internal fault in the native engine");
  }
  return nullptr;
}

}  // namespace vintrel::python
