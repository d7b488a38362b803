#include "python/convert.hpp"

#include <string>

#include "python/numpy_api.hpp"
#include "python/refs.hpp"

namespace vintrel::python {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own wording.
std::string quoted_list(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) text += "and ";
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t total = signature.names.size() - signature.keyword_only;
  const char* plural = total == 1 ? "" : "s";
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == total) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                 signature.display_name, total, plural, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 signature.display_name, signature.required, total, given, verb);
  }
  return false;
}

bool missing_required(const Signature& signature, std::span<PyObject*> bound) {
  constexpr std::size_t kMaxParameters = 16;
  const char* missing[kMaxParameters];
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required && count < kMaxParameters; ++i) {
    if (bound[i] == nullptr) missing[count++] = signature.names[i];
  }
  if (count == 0) return true;
  const std::string names = quoted_list({missing, count});
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", signature.display_name,
               count, count == 1 ? "" : "s", names.c_str());
  return false;
}

// Places one keyword argument; false with TypeError set when the name is not
// a str, is unknown, or names a parameter that already has a value.
bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value, std::span<PyObject*> bound) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (PyUnicode_EqualToUTF8(key, signature.names[i]) != 1) continue;
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.display_name,
                   signature.names[i]);
      return false;
    }
    bound[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.display_name, key);
  return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> bound) {
  for (PyObject*& slot : bound) slot = nullptr;
  if (static_cast<std::size_t>(nargs) > signature.names.size() - signature.keyword_only) {
    return too_many_positional(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
  if (!bind_positional(signature, args, nargs, bound)) return false;
  const Py_ssize_t n_keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) return false;
  }
  return missing_required(signature, bound);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!bind_positional(signature, &PyTuple_GET_ITEM(args, 0), nargs, bound)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(signature, key, value, bound)) return false;
    }
  }
  return missing_required(signature, bound);
}

void add_processing_note(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
  PyRef outcome = note ? PyRef::steal(PyObject_CallMethod(raised, "add_note", "O", note.get())) : PyRef();
  if (!outcome) PyErr_Clear();
  PyErr_SetRaisedException(raised);
}

std::optional<double> to_double(PyObject* value, const char* name) {
  const double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred()) {
    add_processing_note(name);
    return std::nullopt;
  }
  return converted;
}

namespace {

// __index__, then the interpreter's own range conversion (OverflowError out
// of range); -1 is a valid result unless an exception is set.
template <class Integer, class Convert>
std::optional<Integer> to_integer(PyObject* value, const char* name, Convert convert) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (index) {
    const auto converted = convert(index.get());
    if (converted != static_cast<decltype(converted)>(-1) || !PyErr_Occurred()) {
      return static_cast<Integer>(converted);
    }
  }
  add_processing_note(name);
  return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> to_int64(PyObject* value, const char* name) {
  return to_integer<std::int64_t>(value, name, PyLong_AsLongLong);
}

std::optional<std::uint64_t> to_uint64(PyObject* value, const char* name) {
  return to_integer<std::uint64_t>(value, name, PyLong_AsUnsignedLongLong);
}

std::optional<Counter> to_counter(PyObject* value, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (index) {
    int sign_overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(index.get(), &sign_overflow);
    if (sign_overflow == 0 && (small != -1 || !PyErr_Occurred())) {
      return small < 0 ? Counter{.value = 0, .negative = true} : Counter{.value = static_cast<std::uint64_t>(small)};
    }
    if (sign_overflow > 0) {
      const unsigned long long large = PyLong_AsUnsignedLongLong(index.get());
      if (large != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return Counter{.value = large};
    } else if (sign_overflow < 0) {
      PyLong_AsLongLong(index.get());  // sets the interpreter's own OverflowError
    }
  }
  add_processing_note(name);
  return std::nullopt;
}

std::optional<bool> to_bool(PyObject* value, const char* name) {
  if (PyBool_Check(value)) return value == Py_True;
  if (PyArray_IsScalar(value, Bool)) return PyArrayScalar_VAL(value, Bool) != 0;
  PyErr_Format(PyExc_TypeError, "expected bool or numpy.bool, got '%T'", value);
  add_processing_note(name);
  return std::nullopt;
}

PyObject* to_str(PyObject* value, const char* name) {
  if (PyUnicode_Check(value)) return value;
  PyErr_Format(PyExc_TypeError, "expected str, got '%T'", value);
  add_processing_note(name);
  return nullptr;
}

}  // namespace vintrel::python
