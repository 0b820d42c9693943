// Per-module state (the four heap types, the internal-fault exception, the
// float64 descriptor and the interned keyword names) and the shared argument
// binder every callable of the module uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace morva::python {

// Every keyword name the module accepts, interned once per module.
// clang-format off
#define MORVA_KEYWORDS(X)                                                                     \
  X(factors) X(omega) X(specific_variance) X(expected_returns) X(risk_aversion) X(budget)     \
  X(lower_bounds) X(upper_bounds) X(equality_matrix) X(equality_rhs) X(inequality_matrix)    \
  X(inequality_rhs) X(previous_weights) X(turnover_penalty) X(l1_turnover_costs)             \
  X(benchmark_weights) X(industry_ids) X(industry_targets) X(style_matrix) X(style_lower)    \
  X(style_upper) X(max_weight) X(max_short) X(warm_start) X(max_iterations)                  \
  X(absolute_tolerance) X(relative_tolerance) X(rho) X(adaptive_rho) X(over_relaxation)      \
  X(scaling_iterations) X(infeasibility_tolerance) X(polish) X(raise_on_failure) X(text)     \
  X(problems) X(steps) X(chain_previous_weights)
// clang-format on

enum class Kw : std::size_t {
#define MORVA_KEYWORD_ENUM(name) name,
  MORVA_KEYWORDS(MORVA_KEYWORD_ENUM)
#undef MORVA_KEYWORD_ENUM
};

inline constexpr const char* kKeywordNames[] = {
#define MORVA_KEYWORD_NAME(name) #name,
    MORVA_KEYWORDS(MORVA_KEYWORD_NAME)
#undef MORVA_KEYWORD_NAME
};
inline constexpr std::size_t kKeywordCount = std::size(kKeywordNames);

constexpr const char* keyword_name(Kw keyword) {
  return kKeywordNames[static_cast<std::size_t>(keyword)];
}

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

  PyObject* keyword(Kw which) const { return keywords[static_cast<std::size_t>(which)]; }
};

// Borrowed: the state of this module object.
ModuleState& module_state(PyObject* module);
// Borrowed: the state of the module that created `type` (one of ours).
ModuleState& type_state(PyTypeObject* type);

// A callable's parameter list. The first `positional` parameters may be given
// by position; the first `required` have no default; the rest are keyword-only
// (or positional-or-keyword with a default when positional > required).
struct Signature {
  const char* display_name;  // as it appears in TypeError texts, e.g. "PortfolioProblem.solve"
  std::span<const Kw> parameters;
  std::size_t positional;
  std::size_t required;
};

// Binds a vectorcall argument vector to the signature: `out[i]` receives a
// borrowed reference to the argument of parameter i, or nullptr when it was
// omitted. Returns false with a TypeError set on a wrong call shape.
[[nodiscard]] bool bind_arguments(const ModuleState& state, const Signature& signature, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

// The same for a tuple and an optional dict (tp_new).
[[nodiscard]] bool bind_arguments(const ModuleState& state, const Signature& signature, PyObject* args,
                                  PyObject* kwargs, std::span<PyObject*> out);

}  // namespace morva::python
