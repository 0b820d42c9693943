// Per-module state (the four heap types, the internal-fault exception, the
// float64 descriptor and the interned keyword names) and the shared argument
// binder every callable of the module uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <span>
#include <string>

#include "keywords.hpp"

namespace morva::python {

// Lives in the module object's state block, which CPython zero-fills; every
// member is a strong reference (or null before the exec slot ran).
struct ModuleState {
  PyTypeObject* problem_type;
  PyTypeObject* sequence_type;
  PyTypeObject* result_type;
  PyTypeObject* certificate_type;
  PyObject* internal_fault;  // exception class derived from BaseException
  PyObject* float64;         // numpy.dtype('float64'), for the no-cast element check
  std::array<PyObject*, kKeywordCount> keywords;

  PyObject* keyword(Kw which) const { return keywords[which.index]; }
};

// Borrowed: the state of this module object.
ModuleState& module_state(PyObject* module);
// Borrowed: the state of the module that created `type` (one of ours).
ModuleState& type_state(PyTypeObject* type);

// Binds a vectorcall argument vector to the signature: `out[i]` receives a
// borrowed reference to the argument of parameter i, or nullptr when it was
// omitted. Returns false with a TypeError set on a wrong call shape.
[[nodiscard]] bool bind_arguments(const ModuleState& state, const Signature& signature, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

// The same for a tuple and an optional dict (tp_new).
[[nodiscard]] bool bind_arguments(const ModuleState& state, const Signature& signature, PyObject* args,
                                  PyObject* kwargs, std::span<PyObject*> out);

// "solve($self, *, warm_start=None, ...)": the callable's own name and its
// parameters with their defaults, as inspect.signature reads them.
std::string text_signature(const Signature& signature);

// A docstring that starts with the text signature, then "--", an empty line
// and the description. The text lives as long as the process (method tables
// keep the pointer).
const char* documented(const Signature& signature, const char* description);

}  // namespace morva::python
