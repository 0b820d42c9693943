// The portfolio's inputs, declared once. One row per input gives its name (the
// keyword and the PortfolioFields member), the kind of value it takes, the
// extent the builders hold it to, where a problem dump keeps it, and the
// member it fills. The JSON reader and writer and the Python keywords walk
// this table; nothing else lists the inputs.
//
// Adding an input: here its PortfolioFields member, its row and (when the
// dump keeps it) its key at the end of kDumpKeys, all checked against each
// other when this header compiles; then a builder and its step in
// build_portfolio, its part of the lowering, and the stub of the Python module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "morva/matrix.hpp"

namespace morva {

// What a new portfolio holds until a builder sets otherwise.
inline constexpr double kDefaultRiskAversion = 1.0;
inline constexpr double kDefaultBudget = 1.0;  // fully invested
inline constexpr double kDefaultTurnoverPenalty = 0.0;

// L1 turnover costs as a source gives them: one per asset, one for every
// asset, or a value that is neither (refused when the builders reach it).
struct UnreadableCosts {
  bool operator==(const UnreadableCosts&) const = default;
};
using L1Costs = std::variant<std::vector<double>, double, UnreadableCosts>;

// A portfolio as decoded from a dump or from keyword arguments, before any
// rule is checked. Absent optional fields skip their builder; the initial
// values are the defaults of an omitted keyword. Every member has exactly one
// row in kPortfolioInputs below.
struct PortfolioFields {
  FactorScan factors;
  FactorCovariance omega;
  std::vector<double> specific_variance;
  std::vector<double> expected_returns;
  double risk_aversion = kDefaultRiskAversion;
  std::optional<double> budget = kDefaultBudget;
  std::optional<std::vector<double>> lower_bounds;
  std::optional<std::vector<double>> upper_bounds;
  std::optional<Matrix> equality_matrix;
  std::optional<std::vector<double>> equality_rhs;
  std::optional<Matrix> inequality_matrix;
  std::optional<std::vector<double>> inequality_rhs;
  std::optional<std::vector<double>> previous_weights;
  double turnover_penalty = kDefaultTurnoverPenalty;
  std::optional<L1Costs> l1_turnover_costs;
  std::optional<std::vector<double>> benchmark_weights;
  std::optional<std::vector<std::uint64_t>> industry_ids;
  std::optional<std::vector<double>> industry_targets;
  std::optional<Matrix> style_matrix;
  std::optional<std::vector<double>> style_lower;
  std::optional<std::vector<double>> style_upper;
  std::optional<double> max_weight;
  std::optional<double> max_short;
};

// The kinds of value an input (or a solver setting) takes. Each names the
// type it fills; a row whose member has another type does not compile, and
// the converters of a binding overload on the kind, so a kind without a
// converter for its member does not compile either.
namespace kind {
struct Matrix {  // a two-dimensional array
  using Value = morva::Matrix;
};
struct Factors {  // F: a two-dimensional array, scanned as it is read in
  using Value = FactorScan;
};
struct Covariance {  // Ω: a dense k×k array, or (in a dump) its diagonal
  using Value = FactorCovariance;
};
struct Vector {  // a one-dimensional array of numbers
  using Value = std::vector<double>;
};
struct Scalar {  // one number, with a default
  using Value = double;
};
struct Count {  // a non-negative integer, with a default
  using Value = std::uint64_t;
};
struct Flag {  // true or false, with a default
  using Value = bool;
};
struct IndexVector {  // non-negative integers
  using Value = std::vector<std::uint64_t>;
};
struct ScalarOrVector {  // one number for every asset, or one per asset
  using Value = L1Costs;
};
template <class Kind>
struct Optional {  // ... or absent
  using Value = std::optional<typename Kind::Value>;
};

template <class Kind, class Member>
inline constexpr bool fills = std::is_same_v<Member, typename Kind::Value>;
// A scalar also fills an optional member: its keyword always gives a number,
// while a dump may say null (the budget).
template <>
inline constexpr bool fills<Scalar, std::optional<double>> = true;

template <class Kind>
inline constexpr bool is_optional = false;
template <class Kind>
inline constexpr bool is_optional<Optional<Kind>> = true;

// Whether an omitted keyword of this kind takes the member's initial value;
// otherwise it is None (an optional kind) or must be given (an array).
template <class Kind>
inline constexpr bool has_default =
    std::is_same_v<Kind, Scalar> || std::is_same_v<Kind, Count> || std::is_same_v<Kind, Flag>;
}  // namespace kind

// The extent the builders hold an input to: n assets, k factors, m rows of
// the constraint or style matrix it belongs to, g groups.
enum class Shape {
  Scalar,            // one number
  Assets,            // n
  AssetsOrOne,       // n, or one number for every asset
  AssetsByFactors,   // n × k; sets n and k
  FactorsByFactors,  // k × k
  RowsByAssets,      // m × n
  PerRow,            // m, one per row of the matrix before it in the table
  PerGroup,          // g, one per group id of the ids before it in the table
};

// What a null element of a dumped array reads as: the writer puts null for a
// box side that is not finite.
enum class NullElement { Refused, MinusInfinity, PlusInfinity };

// Where a dump keeps an input: at `key`, or at `part` inside the record at
// `key`. `at` points at the value as the built problem holds it (it is
// called with the PortfolioProblem, which this header need not know), and the
// type of that value decides how it is written and read.
template <class At>
struct Dumped {
  std::string_view key;
  std::string_view part;
  At at;
  NullElement nulls = NullElement::Refused;

  template <class Problem>
  constexpr const auto& read(const Problem& problem) const {
    return *at(problem);
  }
};

// An input the dump does not keep: its builder lowers it into parts that are
// kept (constraint rows, the box).
struct NotDumped {};

template <class At>
constexpr Dumped<At> dumped(std::string_view key, At at, NullElement nulls = NullElement::Refused) {
  return {key, {}, at, nulls};
}

template <class At>
constexpr Dumped<At> dumped_in(std::string_view record, std::string_view part, At at) {
  return {record, part, at};
}

template <class Kind, class Member, class Dump>
struct Input {
  using ValueKind = Kind;
  const char* name;  // the keyword and the member
  Member PortfolioFields::*member;
  Shape shape;
  Dump dump;
};

template <class Kind, class Member, class Dump = NotDumped>
constexpr Input<Kind, Member, Dump> input(const char* name, Member PortfolioFields::*member, Shape shape,
                                          Dump dump = {}) {
  static_assert(kind::fills<Kind, Member>, "the member's type is not the one its kind fills");
  return {name, member, shape, dump};
}

// The top-level keys of a problem dump in the order it writes them; a key
// that holds a record of several inputs names the record's type. A key whose
// value may be null may be left out of a text (it reads as null); the others
// are required.
struct DumpKey {
  std::string_view key;
  std::string_view record_type = {};
};
inline constexpr std::array kDumpKeys{
    DumpKey{"covariance", "struct FactorQuad"},
    DumpKey{"expected_returns"},
    DumpKey{"risk_aversion"},
    DumpKey{"budget"},
    DumpKey{"equalities", "struct LinearConstraints"},
    DumpKey{"inequalities", "struct LinearConstraints"},
    DumpKey{"lower_bounds"},
    DumpKey{"upper_bounds"},
    DumpKey{"previous_weights"},
    DumpKey{"turnover_penalty"},
    DumpKey{"l1_turnover_costs"},
    DumpKey{"benchmark_weights"},
};

// The inputs in keyword order: the first four are required, the rest keyword-only.
inline constexpr std::tuple kPortfolioInputs{
    input<kind::Factors>(
        "factors", &PortfolioFields::factors, Shape::AssetsByFactors,
        dumped_in("covariance", "factors", [](auto& p) { return &p.covariance().factors(); })),
    input<kind::Covariance>("omega", &PortfolioFields::omega, Shape::FactorsByFactors,
                            dumped_in("covariance", "omega", [](auto& p) { return &p.covariance().omega; })),
    input<kind::Vector>(
        "specific_variance", &PortfolioFields::specific_variance, Shape::Assets,
        dumped_in("covariance", "diagonal", [](auto& p) { return &p.covariance().diagonal; })),
    input<kind::Vector>("expected_returns", &PortfolioFields::expected_returns, Shape::Assets,
                        dumped("expected_returns", [](auto& p) { return &p.expected_returns(); })),
    input<kind::Scalar>("risk_aversion", &PortfolioFields::risk_aversion, Shape::Scalar,
                        dumped("risk_aversion", [](auto& p) { return &p.risk_aversion(); })),
    input<kind::Scalar>("budget", &PortfolioFields::budget, Shape::Scalar,
                        dumped("budget", [](auto& p) { return &p.budget(); })),
    input<kind::Optional<kind::Vector>>(
        "lower_bounds", &PortfolioFields::lower_bounds, Shape::Assets,
        dumped(
            "lower_bounds", [](auto& p) { return &p.lower_bounds(); }, NullElement::MinusInfinity)),
    input<kind::Optional<kind::Vector>>(
        "upper_bounds", &PortfolioFields::upper_bounds, Shape::Assets,
        dumped(
            "upper_bounds", [](auto& p) { return &p.upper_bounds(); }, NullElement::PlusInfinity)),
    input<kind::Optional<kind::Matrix>>(
        "equality_matrix", &PortfolioFields::equality_matrix, Shape::RowsByAssets,
        dumped_in("equalities", "matrix", [](auto& p) { return &p.equalities().matrix; })),
    input<kind::Optional<kind::Vector>>(
        "equality_rhs", &PortfolioFields::equality_rhs, Shape::PerRow,
        dumped_in("equalities", "rhs", [](auto& p) { return &p.equalities().rhs; })),
    input<kind::Optional<kind::Matrix>>(
        "inequality_matrix", &PortfolioFields::inequality_matrix, Shape::RowsByAssets,
        dumped_in("inequalities", "matrix", [](auto& p) { return &p.inequalities().matrix; })),
    input<kind::Optional<kind::Vector>>(
        "inequality_rhs", &PortfolioFields::inequality_rhs, Shape::PerRow,
        dumped_in("inequalities", "rhs", [](auto& p) { return &p.inequalities().rhs; })),
    input<kind::Optional<kind::Vector>>(
        "previous_weights", &PortfolioFields::previous_weights, Shape::Assets,
        dumped("previous_weights", [](auto& p) { return &p.previous_weights(); })),
    input<kind::Scalar>("turnover_penalty", &PortfolioFields::turnover_penalty, Shape::Scalar,
                        dumped("turnover_penalty", [](auto& p) { return &p.turnover_penalty(); })),
    input<kind::Optional<kind::ScalarOrVector>>(
        "l1_turnover_costs", &PortfolioFields::l1_turnover_costs, Shape::AssetsOrOne,
        dumped("l1_turnover_costs", [](auto& p) { return &p.l1_turnover_costs(); })),
    input<kind::Optional<kind::Vector>>(
        "benchmark_weights", &PortfolioFields::benchmark_weights, Shape::Assets,
        dumped("benchmark_weights", [](auto& p) { return &p.benchmark_weights(); })),
    input<kind::Optional<kind::IndexVector>>("industry_ids", &PortfolioFields::industry_ids, Shape::Assets),
    input<kind::Optional<kind::Vector>>("industry_targets", &PortfolioFields::industry_targets,
                                        Shape::PerGroup),
    input<kind::Optional<kind::Matrix>>("style_matrix", &PortfolioFields::style_matrix, Shape::RowsByAssets),
    input<kind::Optional<kind::Vector>>("style_lower", &PortfolioFields::style_lower, Shape::PerRow),
    input<kind::Optional<kind::Vector>>("style_upper", &PortfolioFields::style_upper, Shape::PerRow),
    input<kind::Optional<kind::Scalar>>("max_weight", &PortfolioFields::max_weight, Shape::Scalar),
    input<kind::Optional<kind::Scalar>>("max_short", &PortfolioFields::max_short, Shape::Scalar),
};
inline constexpr std::size_t kPortfolioInputCount = std::tuple_size_v<decltype(kPortfolioInputs)>;

namespace inputs_detail {

// Converts to any member type, as an rvalue so that members that are moved
// only (F with its scan) count too; counts the members of an aggregate.
struct AnyMember {
  template <class T>
  operator T&&() const&& noexcept;
};

template <class T, std::size_t... I>
constexpr bool takes(std::index_sequence<I...>) {
  return requires {
    T{(void(I), AnyMember{})...};
  };
}

template <class T, std::size_t N = 0>
constexpr std::size_t member_count() {
  if constexpr (takes<T>(std::make_index_sequence<N + 1>{})) {
    return member_count<T, N + 1>();
  } else {
    return N;
  }
}

template <class F, std::size_t... I>
constexpr void for_each_row(F& f, std::index_sequence<I...>) {
  (f(std::get<I>(kPortfolioInputs), std::integral_constant<std::size_t, I>{}), ...);
}

}  // namespace inputs_detail

// Calls f(row, index) for every row in table order; `index` is a
// std::integral_constant, usable where a constant is needed.
template <class F>
constexpr void for_each_input(F&& f) {
  inputs_detail::for_each_row(f, std::make_index_sequence<kPortfolioInputCount>{});
}

// Calls f(row) for the row at a run-time index (nothing when out of range).
template <class F>
constexpr void visit_input(std::size_t index, F&& f) {
  for_each_input([&](const auto& row, auto at) {
    if (at == index) f(row);
  });
}

// As many rows as members, each for a different member and under a different
// name: every member has its row.
consteval bool rows_cover_the_fields() {
  bool distinct = true;
  for_each_input([&](const auto& a, auto i) {
    for_each_input([&](const auto& b, auto j) {
      if constexpr (i < j) {
        if (std::string_view(a.name) == b.name) distinct = false;
        if constexpr (std::is_same_v<decltype(a.member), decltype(b.member)>) {
          if (a.member == b.member) distinct = false;
        }
      }
    });
  });
  return distinct && kPortfolioInputCount == inputs_detail::member_count<PortfolioFields>();
}
static_assert(rows_cover_the_fields(), "every PortfolioFields member needs exactly one row");

}  // namespace morva
