// Argument binding and scalar conversions at the Python boundary.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vintrel::python {

// The parameters of one callable: the first `required` have no default;
// the last `keyword_only` can only be given by keyword, the others by
// position or by keyword.
struct Signature {
  const char* display_name;  // as shown in messages, e.g. "NativeCpuEngine.update"
  std::span<const char* const> names;
  std::size_t required;
  std::size_t keyword_only;
};

// Binds a vectorcall-style argument list (METH_FASTCALL | METH_KEYWORDS) to
// the parameters. On success bound[i] is a borrowed reference, or nullptr for
// an optional parameter that was not given; on failure a TypeError worded
// like the interpreter's own is set and false returned.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

// The same for a tuple of positional arguments and a keyword dict (or null).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound);

// Conversions. On failure each returns an empty optional (or nullptr) with
// the conversion's own exception set, carrying the note
// "while processing '<name>'".

// The float protocol: float, int, __float__ or __index__.
std::optional<double> to_double(PyObject* value, const char* name);
// int or __index__, to signed 64 bits (OverflowError outside that range).
std::optional<std::int64_t> to_int64(PyObject* value, const char* name);
// int or __index__, to unsigned 64 bits (OverflowError for negatives).
std::optional<std::uint64_t> to_uint64(PyObject* value, const char* name);

// A state counter: int or __index__ from -2**63 to 2**64 - 1 (OverflowError
// outside). Negative values convert, so that the caller can refuse them
// with its own message after all arguments are converted.
struct Counter {
  std::uint64_t value = 0;
  bool negative = false;
};
std::optional<Counter> to_counter(PyObject* value, const char* name);
// Only bool or a NumPy bool scalar: an int is not silently taken as a flag.
std::optional<bool> to_bool(PyObject* value, const char* name);
// Only str; returns the argument itself (borrowed).
PyObject* to_str(PyObject* value, const char* name);

// Attaches "while processing '<name>'" to the exception being raised; if
// the note cannot be attached the exception is kept without it.
void add_processing_note(const char* name);

}  // namespace vintrel::python
