// The module's keyword table: every parameter of every callable with its
// name, the kind of value it takes and its default. The binder, the converters
// and the text signatures of the docstrings all read these tables; the
// defaults come from the engine's own records (SolverSettings, the portfolio
// defaults), so the Python surface cannot drift from them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "morva/portfolio.hpp"
#include "morva/solver.hpp"

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

// What an argument must be; the converters dispatch on it.
enum class ValueKind {
  Matrix,          // two-dimensional float64 ndarray
  Vector,          // one-dimensional float64 ndarray
  Number,          // anything float() accepts
  Count,           // anything operator.index() accepts, not negative
  Flag,            // bool or numpy.bool_
  OptionalMatrix,  // ... or None
  OptionalVector,
  OptionalNumber,
  Costs,      // a number, a one-dimensional float64 ndarray or None
  IndexList,  // None or a sequence of non-negative integers
  Text,       // str, read by its callable
  Sequence,   // a sequence, read by its callable
};

// A parameter's default: none (the argument is required), None, or a value.
struct Default {
  enum class Type { Required, None, Flag, Count, Number };

  Type type = Type::Required;
  bool flag = false;
  std::uint64_t count = 0;
  double number = 0.0;

  static constexpr Default required() { return {}; }
  static constexpr Default none() { return {Type::None}; }
  static constexpr Default of(bool value) { return {Type::Flag, value}; }
  static constexpr Default of(std::uint64_t value) { return {Type::Count, false, value}; }
  static constexpr Default of(double value) { return {Type::Number, false, 0, value}; }
};

struct Parameter {
  Kw name;
  ValueKind kind;
  Default fallback;
};

// The portfolio description, in signature order; the first four are required.
inline constexpr std::array<Parameter, 23> kProblemParameters{{
    {Kw::factors, ValueKind::Matrix, Default::required()},
    {Kw::omega, ValueKind::Matrix, Default::required()},
    {Kw::specific_variance, ValueKind::Vector, Default::required()},
    {Kw::expected_returns, ValueKind::Vector, Default::required()},
    {Kw::risk_aversion, ValueKind::Number, Default::of(kDefaultRiskAversion)},
    {Kw::budget, ValueKind::Number, Default::of(kDefaultBudget)},
    {Kw::lower_bounds, ValueKind::OptionalVector, Default::none()},
    {Kw::upper_bounds, ValueKind::OptionalVector, Default::none()},
    {Kw::equality_matrix, ValueKind::OptionalMatrix, Default::none()},
    {Kw::equality_rhs, ValueKind::OptionalVector, Default::none()},
    {Kw::inequality_matrix, ValueKind::OptionalMatrix, Default::none()},
    {Kw::inequality_rhs, ValueKind::OptionalVector, Default::none()},
    {Kw::previous_weights, ValueKind::OptionalVector, Default::none()},
    {Kw::turnover_penalty, ValueKind::Number, Default::of(kDefaultTurnoverPenalty)},
    {Kw::l1_turnover_costs, ValueKind::Costs, Default::none()},
    {Kw::benchmark_weights, ValueKind::OptionalVector, Default::none()},
    {Kw::industry_ids, ValueKind::IndexList, Default::none()},
    {Kw::industry_targets, ValueKind::OptionalVector, Default::none()},
    {Kw::style_matrix, ValueKind::OptionalMatrix, Default::none()},
    {Kw::style_lower, ValueKind::OptionalVector, Default::none()},
    {Kw::style_upper, ValueKind::OptionalVector, Default::none()},
    {Kw::max_weight, ValueKind::OptionalNumber, Default::none()},
    {Kw::max_short, ValueKind::OptionalNumber, Default::none()},
}};
inline constexpr std::size_t kRequiredProblemParameters = 4;

// The solver keywords shared by every solve entry point, in signature order.
inline constexpr SolverSettings kEngineDefaults{};
inline constexpr std::array<Parameter, 9> kSolverParameters{{
    {Kw::max_iterations, ValueKind::Count, Default::of(kEngineDefaults.max_iterations)},
    {Kw::absolute_tolerance, ValueKind::Number, Default::of(kEngineDefaults.absolute_tolerance)},
    {Kw::relative_tolerance, ValueKind::Number, Default::of(kEngineDefaults.relative_tolerance)},
    {Kw::rho, ValueKind::Number, Default::of(kEngineDefaults.rho)},
    {Kw::adaptive_rho, ValueKind::Flag, Default::of(kEngineDefaults.adaptive_rho)},
    {Kw::over_relaxation, ValueKind::Number, Default::of(kEngineDefaults.over_relaxation)},
    {Kw::scaling_iterations, ValueKind::Count, Default::of(kEngineDefaults.scaling_iterations)},
    {Kw::infeasibility_tolerance, ValueKind::Number, Default::of(kEngineDefaults.infeasibility_tolerance)},
    {Kw::polish, ValueKind::Flag, Default::of(kEngineDefaults.polish)},
}};

inline constexpr Parameter kWarmStart{Kw::warm_start, ValueKind::OptionalVector, Default::none()};
inline constexpr Parameter kRaiseOnFailure{Kw::raise_on_failure, ValueKind::Flag, Default::of(true)};

// One date's changes of a rolling sequence, then raise_on_failure.
inline constexpr std::array<Parameter, 7> kStepParameters{{
    {Kw::expected_returns, ValueKind::OptionalVector, Default::none()},
    {Kw::previous_weights, ValueKind::OptionalVector, Default::none()},
    {Kw::benchmark_weights, ValueKind::OptionalVector, Default::none()},
    {Kw::budget, ValueKind::OptionalNumber, Default::none()},
    {Kw::equality_rhs, ValueKind::OptionalVector, Default::none()},
    {Kw::inequality_rhs, ValueKind::OptionalVector, Default::none()},
    kRaiseOnFailure,
}};

inline constexpr std::array<Parameter, 1> kFromJsonParameters{
    {{Kw::text, ValueKind::Text, Default::required()}}};

inline constexpr std::array<Parameter, 3> kBatchInputParameters{{
    {Kw::problems, ValueKind::Sequence, Default::required()},
    {Kw::steps, ValueKind::Sequence, Default::required()},
    {Kw::chain_previous_weights, ValueKind::Flag, Default::of(false)},
}};

// The concatenation of parameter lists and single parameters, in order.
template <std::size_t... Sizes>
constexpr auto joined(const std::array<Parameter, Sizes>&... lists) {
  std::array<Parameter, (Sizes + ... + 0)> all{};
  std::size_t next = 0;
  ((std::copy(lists.begin(), lists.end(), all.begin() + static_cast<std::ptrdiff_t>(next)), next += Sizes),
   ...);
  return all;
}

inline constexpr std::array<Parameter, 1> kWarmStartOnly{kWarmStart};
inline constexpr std::array<Parameter, 1> kRaiseOnFailureOnly{kRaiseOnFailure};

// PortfolioProblem.solve: warm_start, the solver keywords, raise_on_failure.
inline constexpr auto kSolveParameters = joined(kWarmStartOnly, kSolverParameters, kRaiseOnFailureOnly);
// solve_mean_variance_factor: the description, then solve's parameters.
inline constexpr auto kOneShotParameters = joined(kProblemParameters, kSolveParameters);
// solve_batch: the accounts, the solver keywords, raise_on_failure.
inline constexpr auto kBatchParameters =
    joined(kBatchInputParameters, kSolverParameters, kRaiseOnFailureOnly);

// A callable's parameter list. The first `positional` parameters may be given
// by position; the rest are keyword-only. Parameters without a default come
// first.
struct Signature {
  const char* display_name;  // as it appears in TypeError texts, e.g. "PortfolioProblem.solve"
  std::span<const Parameter> parameters;
  std::size_t positional;
  bool receiver;  // a method of an instance: the text signature starts with $self

  constexpr std::size_t required() const {
    std::size_t count = 0;
    while (count < parameters.size() && parameters[count].fallback.type == Default::Type::Required) ++count;
    return count;
  }
};

}  // namespace morva::python
