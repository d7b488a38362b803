// The NativeCpuEngine type: construction, destruction and the read-only
// properties. The methods live in methods.cpp.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "python/convert.hpp"
#include "python/engine_object.hpp"
#include "python/errors.hpp"
#include "python/refs.hpp"

namespace vintrel::python {

namespace {

// p * p must fit in 64 unsigned bits.
constexpr std::uint64_t kParameterLimit = std::uint64_t{1} << 32;

std::optional<core::Dtype> parse_dtype(PyObject* text) {
  if (PyUnicode_EqualToUTF8(text, "float32") == 1) return core::Dtype::float32;
  if (PyUnicode_EqualToUTF8(text, "float64") == 1) return core::Dtype::float64;
  return std::nullopt;
}

// Builds the engine inside the freshly allocated object. The core's buffers
// can only fail to allocate; any other exception comes from starting the
// private pool.
bool construct_engine(EngineObject* object, core::Dtype dtype, std::uint64_t p,
                      std::optional<long long> n_threads) {
  try {
    new (object->storage) core::Engine(dtype, p, n_threads);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  } catch (const std::length_error&) {  // more elements than a vector can hold
    PyErr_NoMemory();
    return false;
  } catch (const std::exception& error) {
    const std::string message = std::string("failed to create the native CPU thread pool: ") + error.what();
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return false;
  }
  object->constructed = true;
  return true;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* names[] = {"dtype", "n_parameters", "n_threads"};
    PyObject* bound[std::size(names)];
    if (!bind_arguments({"NativeCpuEngine", names, 2, 0}, args, kwargs, bound)) return nullptr;

    PyObject* dtype_text = to_str(bound[0], "dtype");
    if (dtype_text == nullptr) return nullptr;
    const std::optional<std::uint64_t> p = to_uint64(bound[1], "n_parameters");
    if (!p) return nullptr;
    std::optional<long long> n_threads;
    if (bound[2] != nullptr && bound[2] != Py_None) {
      const std::optional<std::int64_t> converted = to_int64(bound[2], "n_threads");
      if (!converted) return nullptr;
      n_threads = *converted;
    }

    const std::optional<core::Dtype> dtype = parse_dtype(dtype_text);
    if (!dtype) {
      PyErr_SetString(PyExc_ValueError, "dtype must be exactly 'float32' or 'float64'");
      return nullptr;
    }
    if (*p == 0) {
      PyErr_SetString(PyExc_ValueError, "n_parameters must be positive");
      return nullptr;
    }
    if (*p >= kParameterLimit) {
      PyErr_SetString(PyExc_ValueError, "n_parameters is too large");
      return nullptr;
    }
    // Checked before the zero-filled state is built: a refused thread count
    // must not first cost p * p elements of memory.
    if (n_threads && *n_threads <= 0) {
      PyErr_SetString(PyExc_ValueError, "n_threads must be a positive integer");
      return nullptr;
    }

    if (!core::information_is_addressable(*dtype, *p)) {
      PyErr_SetString(PyExc_MemoryError, "n_parameters is too large for the information matrix to be allocated");
      return nullptr;
    }

    // tp_alloc zero-fills, so `constructed` is false until the engine exists
    // and dealloc knows whether there is anything to destroy.
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    if (!construct_engine(as_engine_object(self.get()), *dtype, *p, n_threads)) return nullptr;
    return self.release();
  });
}

void engine_dealloc(PyObject* self) {
  EngineObject* object = as_engine_object(self);
  PyTypeObject* type = Py_TYPE(self);
  // The private pool's workers are told to stop; the destructor does not
  // wait for them to exit.
  if (object->constructed) object->engine().~Engine();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Read>
PyObject* read_property(PyObject* self, Read&& read) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    core::Engine& engine = as_engine_object(self)->engine();
    SharedUse use(engine);
    if (!use) return nullptr;
    return read(engine);
  });
}

PyObject* get_dtype(PyObject* self, void*) {
  return read_property(self, [](core::Engine& engine) {
    return PyUnicode_FromString(engine.dtype() == core::Dtype::float32 ? "float32" : "float64");
  });
}

PyObject* get_n_parameters(PyObject* self, void*) {
  return read_property(self, [](core::Engine& engine) { return PyLong_FromUnsignedLongLong(engine.n_parameters()); });
}

PyObject* get_n_threads(PyObject* self, void*) {
  return read_property(self, [](core::Engine& engine) { return PyLong_FromLong(engine.n_threads()); });
}

PyObject* get_has_dedicated_thread_pool(PyObject* self, void*) {
  return read_property(self, [](core::Engine& engine) { return PyBool_FromLong(engine.has_dedicated_thread_pool()); });
}

PyGetSetDef properties[] = {
    {"dtype", get_dtype, nullptr, PyDoc_STR("The element type of the engine: 'float32' or 'float64'."), nullptr},
    {"n_parameters", get_n_parameters, nullptr, PyDoc_STR("The number of coefficients the engine fits."), nullptr},
    {"n_threads", get_n_threads, nullptr,
     PyDoc_STR("The effective number of pool workers available to this engine."), nullptr},
    {"has_dedicated_thread_pool", get_has_dedicated_thread_pool, nullptr,
     PyDoc_STR("Whether this engine owns a private pool instead of using the process-wide one."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_restore)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("restore($self, coefficients, information, n_samples_seen, batch_count, previous_lambda, "
               "weight_sum)\n--\n\nReplace the engine's state with checked copies of the given values.")},
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_update)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("update($self, x_design, y, sample_weight, batch_weight, n_features_in, fit_intercept, tau, "
               "penalty, lambda_scale, bandwidth_scale, max_iter, tol, ridge, *, x_center=None, x_scale=None)"
               "\n--\n\nFold one batch into the streaming estimate; return the new state followed by the fit "
               "diagnostics. With x_center and x_scale, x_design holds the raw features, which the engine "
               "standardises itself.")},
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_evaluate)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("evaluate($self, x_design, y, sample_weight, coefficients, n_features_in, fit_intercept, tau, "
               "bandwidth, *, x_center=None, x_scale=None)\n--\n\nReturn the score sum, the curvature-weighted "
               "Gram matrix, the Huber sums and the residuals of one batch at the given coefficients; the "
               "engine's estimate is neither read nor changed.")},
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_predict)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("predict($self, x_design, *, x_center=None, x_scale=None)\n--\n\nReturn the linear predictor "
               "of the current coefficients for every row of x_design. With x_center and x_scale, x_design "
               "holds the raw features; the intercept is fitted when the engine has one parameter more than "
               "x_center has values.")},
    {"state", engine_state, METH_NOARGS,
     PyDoc_STR("state($self)\n--\n\nExport the engine's state as plain values and detached arrays.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeCpuEngine(dtype, n_parameters, n_threads=None)\n--\n\n"
                                  "Persistent CPU engine with reusable numerical workspaces.")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "vintrel._native_cpu.NativeCpuEngine",
    .basicsize = sizeof(EngineObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = slots,
};

// Created once and shared by every module object for the rest of the process.
PyObject* cached_type = nullptr;

}  // namespace

PyObject* engine_type() {
  if (cached_type == nullptr) cached_type = PyType_FromSpec(&spec);
  return cached_type;
}

}  // namespace vintrel::python
