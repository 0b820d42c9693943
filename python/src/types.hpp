// The module's four classes: their instance layouts, type specs and the
// functions that make instances (only the module makes results, certificates
// and sequences).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <optional>
#include <span>
#include <type_traits>

#include "module_state.hpp"
#include "morva/certificate.hpp"
#include "morva/portfolio.hpp"
#include "morva/sequence.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"

namespace morva::python {

// Instance layouts. The C++ member is constructed in place after tp_alloc and
// destroyed in tp_dealloc.
struct PyPortfolioProblem {
  PyObject ob_base;
  PortfolioProblem problem;
};

struct PySolveResult {
  PyObject ob_base;
  Solution solution;
};

struct PyCertificate {
  PyObject ob_base;
  Certificate certificate;
};

struct PyPortfolioSequence {
  PyObject ob_base;
  std::optional<PortfolioSequence> sequence;
  // Set while solve_next runs (the interpreter lock is released then); any
  // other use of the object meanwhile is refused.
  std::atomic<bool> busy;
};

extern PyType_Spec portfolio_problem_spec;
extern PyType_Spec solve_result_spec;
extern PyType_Spec certificate_spec;
extern PyType_Spec portfolio_sequence_spec;

extern PyMethodDef solve_mean_variance_factor_def;
extern PyMethodDef solve_batch_def;

// Adds the static method PortfolioProblem.from_json to the new type.
int install_from_json(PyObject* module, PyTypeObject* problem_type);

// New references, or null with an exception set.
PyObject* new_problem_object(const ModuleState& state, PortfolioProblem problem);
PyObject* new_result_object(const ModuleState& state, Solution solution);
PyObject* new_certificate_object(const ModuleState& state, Certificate certificate);
PyObject* new_sequence_object(const ModuleState& state, PortfolioSequence sequence);

// The problem held by an instance of PortfolioProblem (borrowed).
const PortfolioProblem& held_problem(PyObject* object);

// The sequence held by an instance of PortfolioSequence, for reading; null
// with RuntimeError while a date is being solved on it.
const PortfolioSequence* readable_sequence(PyObject* object);

// One date of an instance of PortfolioSequence: its exclusive use for the
// solve (RuntimeError when another runs), the lock released around the
// engine, the outcome wrapped as finish_solve wraps it.
PyObject* solve_sequence_step(const ModuleState& state, PyObject* object, const RebalanceStep& step,
                              bool raise_on_failure);

// Converts the arguments of PortfolioProblem.solve (bound in kSolveParameters
// order: warm_start, the solver keywords, raise_on_failure). False with a
// Python exception set on the first argument that does not convert.
[[nodiscard]] bool convert_solve_options(const ModuleState& state, std::span<PyObject* const> arguments,
                                         std::optional<WarmStart>& warm_start, SolverSettings& settings,
                                         bool& raise_on_failure);

// Runs one solve of an owned problem with the interpreter lock released and
// wraps the outcome: ValueError for a core error, RuntimeError for a non-solved
// status when raise_on_failure, else a new SolveResult.
PyObject* solve_owned(const ModuleState& state, PortfolioProblem problem, std::optional<WarmStart> warm_start,
                      const SolverSettings& settings, bool raise_on_failure);

// solve_batch(*args, **kwargs) (a tuple and an optional dict) under `profile`.
PyObject* solve_batch_call(const ModuleState& state, PyObject* args, PyObject* kwargs, SolverProfile profile);

// Wraps a finished solve exactly as solve_owned does.
PyObject* finish_solve(const ModuleState& state, std::expected<Solution, PortfolioError> outcome,
                       bool raise_on_failure);

// A fast-call or no-argument C function in the PyCFunction slot of a PyMethodDef.
template <class F>
PyCFunction as_method(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Generic deallocator of the four classes: runs the C++ destructor of the
// layout T, frees the memory and drops the instance's reference to its type.
template <class T, auto Member>
void destroy_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  using Value = std::remove_reference_t<decltype(reinterpret_cast<T*>(self)->*Member)>;
  (reinterpret_cast<T*>(self)->*Member).~Value();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace morva::python
