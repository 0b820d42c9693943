// The module's keyword table: every parameter of every callable with its
// name and its default, and for those the module converts, the kind of value
// it takes as a type, so that a converter and the member it fills must agree
// when the module compiles. The portfolio keywords are the rows of the core's
// input table (morva/portfolio_inputs.hpp); every default comes from the
// engine's own records (PortfolioFields, SolverSettings, RebalanceStep), so the
// Python surface cannot drift from them. The binder, the converters and the
// text signatures of the docstrings all read these tables.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "morva/portfolio_inputs.hpp"
#include "morva/sequence.hpp"
#include "morva/settings.hpp"

namespace morva::python {

// The keywords of the module besides the portfolio inputs.
inline constexpr std::array<std::string_view, 15> kOtherKeywordNames{
    "warm_start",
    "max_iterations",
    "absolute_tolerance",
    "relative_tolerance",
    "rho",
    "adaptive_rho",
    "over_relaxation",
    "scaling_iterations",
    "infeasibility_tolerance",
    "polish",
    "raise_on_failure",
    "text",
    "problems",
    "steps",
    "chain_previous_weights",
};

// Every keyword name the module accepts, interned once per module: the
// portfolio inputs in table order, then the others. Names are string literals,
// so each is NUL-terminated.
constexpr std::array<const char*, kPortfolioInputCount + kOtherKeywordNames.size()> keyword_names() {
  std::array<const char*, kPortfolioInputCount + kOtherKeywordNames.size()> names{};
  for_each_input([&](const auto& row, auto index) { names[index] = row.name; });
  for (std::size_t i = 0; i < kOtherKeywordNames.size(); ++i) {
    names[kPortfolioInputCount + i] = kOtherKeywordNames[i].data();
  }
  return names;
}
inline constexpr auto kKeywordNames = keyword_names();
inline constexpr std::size_t kKeywordCount = kKeywordNames.size();

consteval bool keyword_names_are_distinct() {
  for (std::size_t i = 0; i < kKeywordCount; ++i) {
    for (std::size_t j = i + 1; j < kKeywordCount; ++j) {
      if (std::string_view(kKeywordNames[i]) == kKeywordNames[j]) return false;
    }
  }
  return true;
}
static_assert(keyword_names_are_distinct());

// A keyword: its place in kKeywordNames and among the interned names.
struct Kw {
  std::size_t index;
  bool operator==(const Kw&) const = default;
};

// The keyword called `name`; any other name stops the compilation.
consteval Kw kw(std::string_view name) {
  for (std::size_t i = 0; i < kKeywordCount; ++i) {
    if (kKeywordNames[i] == name) return {i};
  }
  throw "not a keyword of the module";
}

constexpr const char* keyword_name(Kw keyword) {
  return kKeywordNames[keyword.index];
}

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

// What the binder and the text signatures know of a parameter.
struct Parameter {
  Kw name;
  Default fallback;
};

// The default of a keyword of `Kind` whose member starts as `initial`: None
// for an optional kind, the initial value for a kind with a default,
// otherwise none (the argument is required).
template <class Kind, class Member>
constexpr Default default_of(const Member& initial) {
  if constexpr (kind::is_optional<Kind>) {
    return Default::none();
  } else if constexpr (!kind::has_default<Kind>) {
    return Default::required();
  } else if constexpr (std::is_same_v<Member, std::optional<double>>) {
    return Default::of(*initial);
  } else {
    return Default::of(initial);
  }
}

// A keyword the module converts, and the kind of value it takes.
template <class Kind>
struct Keyword {
  using ValueKind = Kind;
  Parameter parameter;
};

// A keyword that fills a member of a record.
template <class Kind, class Record, class Member>
struct FieldKeyword {
  using ValueKind = Kind;
  Parameter parameter;
  Member Record::*member;
};

// The keyword for `member`; its default is the member's initial value in a
// default record.
template <class Kind, class Record, class Member>
consteval FieldKeyword<Kind, Record, Member> field(std::string_view name, Member Record::*member) {
  static_assert(kind::fills<Kind, Member>, "the member's type is not the one its kind fills");
  return {{kw(name), default_of<Kind>(Record{}.*member)}, member};
}

// The parameters of a tuple of field keywords, in order.
template <class... Keywords>
constexpr auto parameters_of(const std::tuple<Keywords...>& keywords) {
  return std::apply(
      [](const auto&... keyword) { return std::array<Parameter, sizeof...(Keywords)>{keyword.parameter...}; },
      keywords);
}

// The portfolio description, in signature order: the rows of the input table,
// named by their place among the keywords.
constexpr std::array<Parameter, kPortfolioInputCount> problem_parameters() {
  std::array<Parameter, kPortfolioInputCount> parameters{};
  for_each_input([&]<class Row>(const Row& row, auto index) {
    parameters[index] = {Kw{index}, default_of<typename Row::ValueKind>(PortfolioFields{}.*row.member)};
  });
  return parameters;
}
inline constexpr auto kProblemParameters = problem_parameters();

// The leading parameters without a default, which may be given by position.
constexpr std::size_t required_count(std::span<const Parameter> parameters) {
  std::size_t count = 0;
  while (count < parameters.size() && parameters[count].fallback.type == Default::Type::Required) ++count;
  return count;
}
inline constexpr std::size_t kRequiredProblemParameters = required_count(kProblemParameters);

// The solver keywords shared by every solve entry point, in signature order.
inline constexpr std::tuple kSolverKeywords{
    field<kind::Count>("max_iterations", &SolverSettings::max_iterations),
    field<kind::Scalar>("absolute_tolerance", &SolverSettings::absolute_tolerance),
    field<kind::Scalar>("relative_tolerance", &SolverSettings::relative_tolerance),
    field<kind::Scalar>("rho", &SolverSettings::rho),
    field<kind::Flag>("adaptive_rho", &SolverSettings::adaptive_rho),
    field<kind::Scalar>("over_relaxation", &SolverSettings::over_relaxation),
    field<kind::Count>("scaling_iterations", &SolverSettings::scaling_iterations),
    field<kind::Scalar>("infeasibility_tolerance", &SolverSettings::infeasibility_tolerance),
    field<kind::Flag>("polish", &SolverSettings::polish),
};
inline constexpr auto kSolverParameters = parameters_of(kSolverKeywords);

inline constexpr Keyword<kind::Optional<kind::Vector>> kWarmStart{{kw("warm_start"), Default::none()}};
inline constexpr Keyword<kind::Flag> kRaiseOnFailure{{kw("raise_on_failure"), Default::of(true)}};
inline constexpr Keyword<kind::Flag> kChainPreviousWeights{
    {kw("chain_previous_weights"), Default::of(false)}};

// One date's changes of a rolling sequence.
inline constexpr std::tuple kStepKeywords{
    field<kind::Optional<kind::Vector>>("expected_returns", &RebalanceStep::expected_returns),
    field<kind::Optional<kind::Vector>>("previous_weights", &RebalanceStep::previous_weights),
    field<kind::Optional<kind::Vector>>("benchmark_weights", &RebalanceStep::benchmark_weights),
    field<kind::Optional<kind::Scalar>>("budget", &RebalanceStep::budget),
    field<kind::Optional<kind::Vector>>("equality_rhs", &RebalanceStep::equality_rhs),
    field<kind::Optional<kind::Vector>>("inequality_rhs", &RebalanceStep::inequality_rhs),
};

inline constexpr std::array<Parameter, 1> kFromJsonParameters{{{kw("text"), Default::required()}}};

inline constexpr std::array<Parameter, 3> kBatchInputParameters{{
    {kw("problems"), Default::required()},
    {kw("steps"), Default::required()},
    kChainPreviousWeights.parameter,
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

inline constexpr std::array<Parameter, 1> kWarmStartOnly{kWarmStart.parameter};
inline constexpr std::array<Parameter, 1> kRaiseOnFailureOnly{kRaiseOnFailure.parameter};

// PortfolioSequence.solve_next: the step's changes, then raise_on_failure.
inline constexpr auto kStepParameters = joined(parameters_of(kStepKeywords), kRaiseOnFailureOnly);
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

  constexpr std::size_t required() const { return required_count(parameters); }
};

}  // namespace morva::python
