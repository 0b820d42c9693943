// Python arguments to core values, driven by the keyword table: each
// argument is converted by its parameter's kind (arrays are float64 only, any
// strides, always copied) into the record field it fills.
//
// Every converter returns false with a Python exception set on failure. A
// null `object` means the argument was omitted; for optional kinds `None`
// means absent too.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "module_state.hpp"
#include "morva/matrix.hpp"
#include "morva/portfolio.hpp"
#include "morva/solver.hpp"
#include "pyref.hpp"

namespace morva::python {

// Lenient vector conversion of step values: a 1-D float64 array, or any
// non-str sequence of numbers. Never leaves an exception pending; nullopt on
// failure.
std::optional<std::vector<double>> f64_vector(const ModuleState& state, PyObject* object);

// New reference: a fresh, writable, owning 1-D float64 array holding a copy.
PyObject* new_float_array(std::span<const double> values);

// Where one converted argument is written.
using Slot = std::variant<Matrix*, FactorCovariance*, std::vector<double>*, double*, std::uint64_t*, bool*,
                          std::optional<double>*, std::optional<std::vector<double>>*, std::optional<Matrix>*,
                          std::optional<L1Costs>*, std::optional<std::vector<std::uint64_t>>*>;

// A slot and the keyword it is for; the keyword must match the parameter
// table entry at the same position.
struct Target {
  Kw name;
  Slot slot;
};

// Converts each bound argument by its parameter's kind into its target, in
// order; an omitted argument (null) writes the parameter's default. The first
// failure raises and stops.
[[nodiscard]] bool convert_arguments(const ModuleState& state, std::span<PyObject* const> arguments,
                                     std::span<const Parameter> parameters, std::span<const Target> targets);

// Converts the 23 bound portfolio arguments (null = omitted) in signature
// order into builder fields; no rule is checked yet.
[[nodiscard]] bool convert_portfolio_fields(const ModuleState& state, std::span<PyObject* const> arguments,
                                            PortfolioFields& out);

// Runs the builders over the fields; the first failing rule raises
// ValueError and nothing is returned.
std::optional<PortfolioProblem> build_problem(PortfolioFields fields);

// The nine solver keywords (null = omitted) into a settings record whose
// remaining fields take the engine defaults.
[[nodiscard]] bool convert_solver_settings(const ModuleState& state, std::span<PyObject* const> arguments,
                                           SolverSettings& out);

}  // namespace morva::python
