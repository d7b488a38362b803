#include "python/errors.hpp"

#include <exception>
#include <new>
#include <string>

namespace vintrel::python {

namespace {

// Created once and kept for the life of the process, like the engine type:
// every module object shares it.
PyObject* fault_class = nullptr;

}  // namespace

int ensure_fault_type() {
  if (fault_class != nullptr) return 0;
  fault_class = PyErr_NewExceptionWithDoc(
      "vintrel._native_cpu.NativeEngineFault",
      "An internal invariant of the native engine was broken: a bug in the engine, not an error in the "
      "caller's input. The call that raised it changed nothing. It derives from BaseException, so that "
      "handlers for ordinary errors do not swallow it.",
      PyExc_BaseException, nullptr);
  return fault_class != nullptr ? 0 : -1;
}

PyObject* fault_type() { return fault_class; }

PyObject* raise_engine_error(const core::EngineError& error) {
  PyObject* type = core::is_value_error(error.kind) ? PyExc_ValueError : PyExc_RuntimeError;
  std::string text;
  try {
    text = core::display(error);
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
