// Python arguments to core values, driven by the keyword table: each
// argument is converted by its keyword's kind (arrays are float64 only, any
// strides, always copied) into the record member it fills.
//
// Every converter returns false with a Python exception set on failure. A
// null `object` means the argument was omitted; for optional kinds `None`
// means absent too.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "keywords.hpp"
#include "module_state.hpp"
#include "morva/matrix.hpp"
#include "morva/portfolio.hpp"
#include "morva/portfolio_inputs.hpp"
#include "morva/settings.hpp"

namespace morva::python {

// Lenient vector conversion of step values: a 1-D float64 array, or any
// non-str sequence of numbers. Never leaves an exception pending; nullopt on
// failure.
std::optional<std::vector<double>> f64_vector(const ModuleState& state, PyObject* object);

// New reference: a fresh, writable, owning 1-D float64 array holding a copy.
PyObject* new_float_array(std::span<const double> values);

// One converter per kind and member type, the kind given as a tag; a kind
// asked to fill a member it has no converter for does not compile. An
// omitted argument (null) of a kind with a default writes the default.
[[nodiscard]] bool convert(kind::Matrix, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, Matrix& out);
// A dense Ω.
[[nodiscard]] bool convert(kind::Factors, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, FactorScan& out);
[[nodiscard]] bool convert(kind::Covariance, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, FactorCovariance& out);
[[nodiscard]] bool convert(kind::Vector, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, std::vector<double>& out);
[[nodiscard]] bool convert(kind::Scalar, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, double& out);
[[nodiscard]] bool convert(kind::Scalar, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, std::optional<double>& out);
[[nodiscard]] bool convert(kind::Count, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, std::uint64_t& out);
[[nodiscard]] bool convert(kind::Flag, const ModuleState& state, PyObject* object, const Parameter& parameter,
                           bool& out);
// A sequence of non-negative integers (not a str).
[[nodiscard]] bool convert(kind::IndexVector, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, std::vector<std::uint64_t>& out);
// Any object: a number or a 1-D float64 array, anything else unreadable
// (the builders refuse it when they reach it).
[[nodiscard]] bool convert(kind::ScalarOrVector, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, L1Costs& out);

// None or an omitted argument: absent; anything else converts as the inner kind.
template <class Kind, class T>
[[nodiscard]] bool convert(kind::Optional<Kind>, const ModuleState& state, PyObject* object,
                           const Parameter& parameter, std::optional<T>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  T value{};
  if (!convert(Kind{}, state, object, parameter, value)) return false;
  out = std::move(value);
  return true;
}

template <class Kind, class T>
[[nodiscard]] bool convert(const ModuleState& state, PyObject* object, const Keyword<Kind>& keyword, T& out) {
  return convert(Kind{}, state, object, keyword.parameter, out);
}

// Converts the bound arguments (null = omitted) of a tuple of field keywords
// into their members, in order; the first failure raises and stops.
template <class... Keywords, class Record>
[[nodiscard]] bool convert_fields(const ModuleState& state, std::span<PyObject* const> arguments,
                                  const std::tuple<Keywords...>& keywords, Record& out) {
  return std::apply(
      [&](const auto&... keyword) {
        std::size_t i = 0;
        return (convert(typename Keywords::ValueKind{}, state, arguments[i++], keyword.parameter,
                        out.*keyword.member) &&
                ...);
      },
      keywords);
}

// Converts the bound portfolio arguments (null = omitted) in signature order
// into builder fields; no rule is checked yet.
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
