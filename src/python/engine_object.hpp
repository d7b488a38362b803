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

// Use of the engine for one call. Never waits: when the flag refuses, the
// guard is empty and RuntimeError is set. Exclusive use (update, predict,
// restore) is refused while the engine is in any use, with "Already
// borrowed"; shared use (state() and the properties) only while an exclusive
// call runs, with "Already mutably borrowed".
enum class UseKind { exclusive, shared };

template <UseKind Kind>
class EngineUse {
 public:
  explicit EngineUse(core::Engine& engine)
      : flag_(engine.borrow()), held_(Kind == UseKind::exclusive ? flag_.try_exclusive() : flag_.try_shared()) {
    if (!held_) {
      PyErr_SetString(PyExc_RuntimeError,
                      Kind == UseKind::exclusive ? "Already borrowed" : "Already mutably borrowed");
    }
  }
  ~EngineUse() {
    if (!held_) return;
    if constexpr (Kind == UseKind::exclusive) {
      flag_.release_exclusive();
    } else {
      flag_.release_shared();
    }
  }
  EngineUse(const EngineUse&) = delete;
  EngineUse& operator=(const EngineUse&) = delete;
  explicit operator bool() const { return held_; }

 private:
  core::BorrowFlag& flag_;
  bool held_;
};

using ExclusiveUse = EngineUse<UseKind::exclusive>;
using SharedUse = EngineUse<UseKind::shared>;

// The methods, defined in methods.cpp.
PyObject* engine_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_state(PyObject* self, PyObject* unused);

// The NativeCpuEngine type, created on first call and kept for the life of
// the process (shared by every module object). nullptr with an exception set
// when creation fails. Borrowed reference.
PyObject* engine_type();

}  // namespace vintrel::python
