// RAII for Python references and the interpreter lock.
#pragma once

#include <Python.h>
#include <unistd.h>

#include <utility>

namespace vintrel::python {

// Owns exactly one strong reference (or none).
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Inserts a new reference under `key`, taking ownership of it; false with an
// exception set when either the value (nullptr) or the insertion failed.
inline bool set_new_item(PyObject* dict, const char* key, PyObject* new_value) {
  PyRef value = PyRef::steal(new_value);
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// Takes the interpreter lock back. A thread that asks for it while the
// interpreter is shutting down is ended by the interpreter with a forced
// unwind (pthread_exit). That unwind must not run our destructors, which
// would touch Python objects without the lock, nor reach a noexcept frame,
// which would abort the process; the thread waits here instead until the
// process has exited, which is what later interpreters do themselves.
// PyEval_RestoreThread throws nothing else; the handler catches everything
// because a forced unwind carries no exception object to bind a reference
// to, and it never returns, so the unwind is never asked to resume.
inline void take_lock_back(PyThreadState* saved) noexcept {
  try {
    PyEval_RestoreThread(saved);
  } catch (...) {
    for (;;) pause();
  }
}

// Releases the interpreter lock for its lifetime; takes it back on every
// path, exceptions included.
class GilReleased {
 public:
  GilReleased() noexcept : saved_(PyEval_SaveThread()) {}
  ~GilReleased() { take_lock_back(saved_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace vintrel::python
