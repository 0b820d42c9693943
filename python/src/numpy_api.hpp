// NumPy's C array interface. The table of function pointers is imported once,
// by the module's exec slot (module.cpp defines MORVA_IMPORTS_NUMPY_API); every
// other translation unit refers to the same table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL morva_numpy_array_api
#ifndef MORVA_IMPORTS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
