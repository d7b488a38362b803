// The NativeCpuEngine instance layout and the guards for its exclusive-use
// flag, shared by the type definition and the methods.
#pragma once

#include <Python.h>

#include <new>

#include "core/engine.hpp"

namespace vintrel::python {

// The engine lives in raw storage so that the object stays a plain C layout:
// tp_new constructs it in place and tp_dealloc destroys it.
struct EngineObject {
  PyObject_HEAD
  alignas(core::Engine) unsigned char storage[sizeof(core::Engine)];
  bool constructed;

  core::Engine& engine() { return *std::launder(reinterpret_cast<core::Engine*>(storage)); }
};

inline EngineObject* as_engine_object(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

// Exclusive use for update, predict and restore. Never waits: when the engine
// is in any use the guard is empty and RuntimeError "Already borrowed" is set.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(core::Engine& engine) : flag_(engine.borrow()), held_(flag_.try_exclusive()) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveUse() {
    if (held_) flag_.release_exclusive();
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  explicit operator bool() const { return held_; }

 private:
  core::BorrowFlag& flag_;
  bool held_;
};

// Shared use for state() and the properties; refused only while an exclusive
// call runs, with RuntimeError "Already mutably borrowed".
class SharedUse {
 public:
  explicit SharedUse(core::Engine& engine) : flag_(engine.borrow()), held_(flag_.try_shared()) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedUse() {
    if (held_) flag_.release_shared();
  }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  explicit operator bool() const { return held_; }

 private:
  core::BorrowFlag& flag_;
  bool held_;
};

// The methods, defined in methods.cpp.
PyObject* engine_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_state(PyObject* self, PyObject* unused);

// The NativeCpuEngine type, created on first call and kept for the life of
// the process (shared by every module object). nullptr with an exception set
// when creation fails. Borrowed reference.
PyObject* engine_type();

}  // namespace vintrel::python
