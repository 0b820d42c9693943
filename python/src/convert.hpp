// Python arguments to core values: arrays (float64 only, any strides, always
// copied), numbers, counts, flags, index lists, the portfolio description
// keywords and the solver keywords.
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
#include <vector>

#include "module_state.hpp"
#include "morva/matrix.hpp"
#include "morva/portfolio.hpp"
#include "morva/solver.hpp"
#include "pyref.hpp"

namespace morva::python {

[[nodiscard]] bool to_double(PyObject* object, Kw name, double& out);
[[nodiscard]] bool to_optional_double(PyObject* object, Kw name, std::optional<double>& out);
[[nodiscard]] bool to_count(PyObject* object, Kw name, std::uint64_t& out);
[[nodiscard]] bool to_flag(PyObject* object, Kw name, bool& out);

// A one-dimensional float64 ndarray (or subclass), read in logical order.
[[nodiscard]] bool to_vector(const ModuleState& state, PyObject* object, Kw name, std::vector<double>& out);
[[nodiscard]] bool to_optional_vector(const ModuleState& state, PyObject* object, Kw name,
                                      std::optional<std::vector<double>>& out);
// A two-dimensional float64 ndarray: element (i, j) becomes entry i·cols + j.
[[nodiscard]] bool to_matrix(const ModuleState& state, PyObject* object, Kw name, Matrix& out);
[[nodiscard]] bool to_optional_matrix(const ModuleState& state, PyObject* object, Kw name,
                                      std::optional<Matrix>& out);
// None, or any non-str sequence of non-negative integers.
[[nodiscard]] bool to_index_list(PyObject* object, Kw name, std::optional<std::vector<std::uint64_t>>& out);

// Lenient vector conversion of step values: a 1-D float64 array, or any
// non-str sequence of numbers. Never leaves an exception pending; nullopt on
// failure.
std::optional<std::vector<double>> f64_vector(const ModuleState& state, PyObject* object);

// New reference: a fresh, writable, owning 1-D float64 array holding a copy.
PyObject* new_float_array(std::span<const double> values);

// The portfolio keywords, in signature order.
inline constexpr std::array<Kw, 23> kProblemKeywords = {Kw::factors,           Kw::omega,
                                                        Kw::specific_variance, Kw::expected_returns,
                                                        Kw::risk_aversion,     Kw::budget,
                                                        Kw::lower_bounds,      Kw::upper_bounds,
                                                        Kw::equality_matrix,   Kw::equality_rhs,
                                                        Kw::inequality_matrix, Kw::inequality_rhs,
                                                        Kw::previous_weights,  Kw::turnover_penalty,
                                                        Kw::l1_turnover_costs, Kw::benchmark_weights,
                                                        Kw::industry_ids,      Kw::industry_targets,
                                                        Kw::style_matrix,      Kw::style_lower,
                                                        Kw::style_upper,       Kw::max_weight,
                                                        Kw::max_short};
inline constexpr std::size_t kRequiredProblemKeywords = 4;

// The solver keywords shared by every solve entry point, in signature order.
inline constexpr std::array<Kw, 9> kSolverKeywords = {
    Kw::max_iterations,  Kw::absolute_tolerance, Kw::relative_tolerance,      Kw::rho,   Kw::adaptive_rho,
    Kw::over_relaxation, Kw::scaling_iterations, Kw::infeasibility_tolerance, Kw::polish};

// Converts the 23 bound portfolio arguments (null = omitted) in signature
// order into builder fields; no rule is checked yet.
[[nodiscard]] bool convert_portfolio_fields(const ModuleState& state, std::span<PyObject* const> arguments,
                                            PortfolioFields& out);

// Runs the builders over the fields; the first failing rule raises
// ValueError and nothing is returned.
std::optional<PortfolioProblem> build_problem(PortfolioFields fields);

// The nine solver keywords (null = omitted) into a settings record whose
// remaining fields take the engine defaults.
[[nodiscard]] bool convert_solver_settings(std::span<PyObject* const> arguments, SolverSettings& out);

}  // namespace morva::python
