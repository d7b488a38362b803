// NumPy arrays in and out: zero-copy read views of the caller's arrays, and
// result arrays over buffers the binding owns.
#pragma once

#include <Python.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "python/refs.hpp"

namespace vintrel::python {

// A caller's array accepted for one call. The array stays referenced while
// the view lives, so its memory cannot go away under a running request.
template <std::floating_point T>
struct ReadView {
  PyRef array;
  std::array<std::uint64_t, 2> shape{};  // shape[1] is unused for 1-D
  std::span<const T> data;               // filled by contiguous_buffer

  std::uint64_t rows() const { return shape[0]; }
  std::uint64_t cols() const { return shape[1]; }
};

// Typed intake: an ndarray (or subclass) with exactly `ndim` dimensions and a
// dtype equivalent to T's. Otherwise TypeError
// "<label> must be a C-contiguous NumPy array with <dtype_words>", for
// arrays of the engine's dtype "<label> must be a C-contiguous NumPy array
// with the engine dtype".
template <std::floating_point T>
std::optional<ReadView<T>> typed_intake(PyObject* object, int ndim, const char* label,
                                        const char* dtype_words = "the engine dtype");

// Points view.data at the array's elements in place: empty for an array with
// no elements; otherwise the array must be aligned and C-contiguous, else
// ValueError "<label> must be C-contiguous; copy explicitly before native CPU use".
template <std::floating_point T>
bool contiguous_buffer(ReadView<T>& view, const char* label);

// A new writeable 1-D array that takes over `buffer` without copying; the
// array's base object frees it.
template <std::floating_point T>
PyObject* vector_array(std::vector<T>&& buffer);

// The same for a p x p row-major matrix (buffer.size() == p * p).
template <std::floating_point T>
PyObject* square_matrix_array(std::vector<T>&& buffer, std::uint64_t p);

#define VINTREL_DECLARE_ARRAYS(T)                                                                 \
  extern template std::optional<ReadView<T>> typed_intake<T>(PyObject*, int, const char*, const char*); \
  extern template bool contiguous_buffer<T>(ReadView<T>&, const char*);                           \
  extern template PyObject* vector_array<T>(std::vector<T>&&);                                    \
  extern template PyObject* square_matrix_array<T>(std::vector<T>&&, std::uint64_t);
VINTREL_DECLARE_ARRAYS(float)
VINTREL_DECLARE_ARRAYS(double)
#undef VINTREL_DECLARE_ARRAYS

}  // namespace vintrel::python
