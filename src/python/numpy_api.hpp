// The NumPy C API, shared by every translation unit of the module. Only
// module.cpp imports it (it defines VINTREL_NUMPY_IMPORT first); the others
// reach the same function table through the shared symbol.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL vintrel_ARRAY_API
#ifndef VINTREL_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <Python.h>
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
