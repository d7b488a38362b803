#include "python/arrays.hpp"

#include <memory>

#include "python/numpy_api.hpp"

namespace vintrel::python {

namespace {

constexpr const char* kBufferCapsuleName = "vintrel._native_cpu.buffer";

template <std::floating_point T>
constexpr int type_number() {
  return sizeof(T) == 4 ? NPY_FLOAT32 : NPY_FLOAT64;
}

template <std::floating_point T>
void free_buffer(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kBufferCapsuleName));
}

// An array of the given shape over `buffer`. The buffer moves into a capsule
// that becomes the array's base object, so NumPy frees it through the
// capsule when the array dies; the array itself never owns the memory.
template <std::floating_point T>
PyObject* array_over(std::vector<T>&& buffer, int ndim, const npy_intp* dims) {
  std::array<npy_intp, 2> strides{};
  strides[ndim - 1] = sizeof(T);
  if (ndim == 2) strides[0] = dims[1] * static_cast<npy_intp>(sizeof(T));

  if (buffer.empty()) {
    // No storage to hand over: let NumPy allocate its own (empty) block.
    return PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number<T>()), ndim,
                                const_cast<npy_intp*>(dims), nullptr, nullptr, NPY_ARRAY_WRITEABLE, nullptr);
  }
  auto owned = std::make_unique<std::vector<T>>(std::move(buffer));
  T* data = owned->data();
  PyRef capsule = PyRef::steal(PyCapsule_New(owned.get(), kBufferCapsuleName, free_buffer<T>));
  if (!capsule) return nullptr;  // `owned` still frees the buffer
  owned.release();
  PyRef array = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number<T>()), ndim,
                                                  const_cast<npy_intp*>(dims), strides.data(), data,
                                                  NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return nullptr;
  // Steals the capsule reference whether or not it succeeds.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
  return array.release();
}

}  // namespace

template <std::floating_point T>
std::optional<ReadView<T>> typed_intake(PyObject* object, int ndim, const char* label, const char* dtype_words) {
  bool accepted = PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == ndim;
  if (accepted) {
    PyRef engine_dtype = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number<T>())));
    if (!engine_dtype) return std::nullopt;
    accepted = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object)),
                                  reinterpret_cast<PyArray_Descr*>(engine_dtype.get()));
  }
  if (!accepted) {
    PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous NumPy array with %s", label, dtype_words);
    return std::nullopt;
  }
  ReadView<T> view;
  view.array = PyRef::borrow(object);
  const npy_intp* dims = PyArray_DIMS(reinterpret_cast<PyArrayObject*>(object));
  for (int axis = 0; axis < ndim; ++axis) view.shape[axis] = static_cast<std::uint64_t>(dims[axis]);
  return view;
}

template <std::floating_point T>
bool contiguous_buffer(ReadView<T>& view, const char* label) {
  auto* array = reinterpret_cast<PyArrayObject*>(view.array.get());
  const npy_intp size = PyArray_SIZE(array);
  if (size == 0) {
    view.data = {};
    return true;
  }
  if (!PyArray_ISALIGNED(array) || !PyArray_IS_C_CONTIGUOUS(array)) {
    PyErr_Format(PyExc_ValueError, "%s must be C-contiguous; copy explicitly before native CPU use", label);
    return false;
  }
  view.data = {static_cast<const T*>(PyArray_DATA(array)), static_cast<std::size_t>(size)};
  return true;
}

template <std::floating_point T>
PyObject* vector_array(std::vector<T>&& buffer) {
  const npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
  return array_over<T>(std::move(buffer), 1, dims);
}

template <std::floating_point T>
PyObject* square_matrix_array(std::vector<T>&& buffer, std::uint64_t p) {
  const npy_intp dims[2] = {static_cast<npy_intp>(p), static_cast<npy_intp>(p)};
  return array_over<T>(std::move(buffer), 2, dims);
}

#define VINTREL_INSTANTIATE_ARRAYS(T)                                                      \
  template std::optional<ReadView<T>> typed_intake<T>(PyObject*, int, const char*, const char*); \
  template bool contiguous_buffer<T>(ReadView<T>&, const char*);                           \
  template PyObject* vector_array<T>(std::vector<T>&&);                                    \
  template PyObject* square_matrix_array<T>(std::vector<T>&&, std::uint64_t);
VINTREL_INSTANTIATE_ARRAYS(float)
VINTREL_INSTANTIATE_ARRAYS(double)
#undef VINTREL_INSTANTIATE_ARRAYS

}  // namespace vintrel::python
