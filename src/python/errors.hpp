// The one place where engine errors and C++ exceptions become Python
// exceptions. Every function here expects the interpreter lock to be held.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace vintrel::python {

// Adds the exception classes to the module as private attributes, the
// class name with a leading underscore, outside __all__: the Python package
// exports them under their own names. The classes are made on the first
// call and shared by every module object. They are
// - the fault class NativeEngineFault, derived from BaseException so that
//   ordinary `except Exception` handlers do not swallow a broken invariant;
// - the base EngineError, and one class per error kind derived from it and
//   from ValueError or RuntimeError by the kind's category.
// 0 on success, -1 with an exception set.
int add_exception_types(PyObject* module);

// Sets the class of the error's kind with the error's displayed text.
// Returns nullptr for use as a method result.
PyObject* raise_engine_error(const core::EngineError& error);

// Call only inside a catch block: maps the exception being handled to
// MemoryError (allocation failure) or to the fault class (anything else,
// including core::InternalFault). Returns nullptr.
PyObject* raise_current_exception() noexcept;

// Runs body() -> R and turns any C++ exception into a Python exception, so
// that nothing unwinds into the interpreter. `failed` is what the caller
// returns to Python on error (nullptr, or -1 for slots returning int).
template <class R, class Body>
R guarded(R failed, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return failed;
  }
}

}  // namespace vintrel::python
