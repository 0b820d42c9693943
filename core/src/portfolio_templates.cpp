// Constraint templates of the portfolio record: rows derived from groups and
// style exposures, and limits on the box, added through the basic builders.
#include "detail/vector_ops.hpp"
#include "morva/error_types.hpp"
#include "morva/format.hpp"
#include "morva/large_storage.hpp"
#include "morva/matrix.hpp"
#include "morva/portfolio.hpp"
#include "portfolio_internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace morva {

using detail::all_finite;
using detail::finite_non_negative;

namespace {

constexpr const char* kNeutralityNeedsBenchmark =
    "industry neutrality derives its targets from the tracking benchmark; call with_tracking_benchmark "
    "first or supply explicit targets with with_group_targets";

std::string empty_group_reason(const std::string& name, std::uint64_t group) {
  return name + " group " + std::to_string(group) + " has no member assets; its row would read 0 = target";
}

std::string id_out_of_range_reason(const std::string& name, std::uint64_t id, std::size_t groups) {
  return name + " contains id " + std::to_string(id) + " but only " + std::to_string(groups) +
         " target(s) were supplied";
}

// The first group in [0, G) without a member, or G when every group has one.
// Only ids below min(G, n) are marked: n assets can fill at most n groups, so
// when G > n the answer lies below n and nothing grows with G.
std::uint64_t first_empty_group(const std::vector<std::uint64_t>& ids, std::uint64_t groups) {
  const std::uint64_t marked_span = std::min<std::uint64_t>(groups, ids.size());
  std::vector<bool> has_member(marked_span, false);
  for (const std::uint64_t id : ids) {
    if (id < marked_span) has_member[id] = true;
  }
  for (std::uint64_t g = 0; g < marked_span; ++g) {
    if (!has_member[g]) return g;
  }
  // Every group below marked_span is filled; when G exceeds n the next one is
  // necessarily empty.
  return marked_span;
}

}  // namespace

PortfolioResult PortfolioProblem::with_group_targets(std::vector<std::uint64_t> groups,
                                                     std::vector<double> targets) && {
  const std::size_t n = dimension();
  if (groups.size() != n)
    return problem_failure(ProblemError::dimension_mismatch("groups", n, groups.size()));
  for (const std::uint64_t id : groups) {
    if (id >= targets.size()) return template_failure(id_out_of_range_reason("groups", id, targets.size()));
  }
  if (!all_finite(targets)) return problem_failure(ProblemError::non_finite("group targets"));
  return std::move(*this).append_group_equalities("groups", groups, std::move(targets));
}

PortfolioResult PortfolioProblem::with_industry_neutrality(std::vector<std::uint64_t> industry_ids) && {
  if (!benchmark_weights_) return template_failure(kNeutralityNeedsBenchmark);
  const std::size_t n = dimension();
  if (industry_ids.size() != n) {
    return problem_failure(ProblemError::dimension_mismatch("industries", n, industry_ids.size()));
  }
  if (industry_ids.empty()) return std::move(*this);  // no assets, no groups

  // G = largest id + 1, but ids are caller data: a stray 10^12 (or the largest
  // 64-bit value, where G would wrap to 0) must not size anything. When the
  // largest id is ≥ n, fewer than n assets carry ids below n, so some group
  // below n is empty and an n-sized bitmap finds the first one. Otherwise G ≤ n.
  const std::uint64_t largest = *std::max_element(industry_ids.begin(), industry_ids.end());
  if (largest >= n) {
    return template_failure(empty_group_reason("industries", first_empty_group(industry_ids, n)));
  }
  const std::size_t groups = static_cast<std::size_t>(largest) + 1;
  if (const std::uint64_t empty = first_empty_group(industry_ids, groups); empty < groups) {
    return template_failure(empty_group_reason("industries", empty));
  }

  // target_g = Σ_{i in g} bᵢ, accumulated in asset order.
  std::vector<double> targets(groups, 0.0);
  const std::vector<double>& benchmark = *benchmark_weights_;
  for (std::size_t i = 0; i < n; ++i) targets[industry_ids[i]] += benchmark[i];
  // Finite weights can still sum past the largest double; such a row could
  // never be lowered, nor written to and read back from a dump.
  if (!all_finite(targets)) return problem_failure(ProblemError::non_finite("industry targets"));
  return std::move(*this).append_group_equalities("industries", industry_ids, std::move(targets));
}

PortfolioResult PortfolioProblem::append_group_equalities(const std::string& name,
                                                          const std::vector<std::uint64_t>& ids,
                                                          std::vector<double> targets) && {
  const std::size_t n = dimension();
  const std::size_t groups = targets.size();
  // The two public callers establish these; a direct call must not index
  // outside the rows either.
  if (ids.size() != n) return problem_failure(ProblemError::dimension_mismatch(name, n, ids.size()));
  for (const std::uint64_t id : ids) {
    if (id >= groups) return template_failure(id_out_of_range_reason(name, id, groups));
  }
  // An empty group would add the row 0·x = target. Looking for it first also
  // means the G×n rows are built only when G ≤ n.
  if (const std::uint64_t empty = first_empty_group(ids, groups); empty < groups) {
    return template_failure(empty_group_reason(name, empty));
  }

  // The G×n membership rows, written once into the storage they are kept in.
  RowsBuilder rows = RowsBuilder::behind(budget_and_equalities_, groups * n);
  const std::size_t first = rows.data.size();
  rows.count = groups;
  rows.data.resize(first + groups * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) rows.data[first + ids[i] * n + i] = 1.0;
  rows.rhs = std::move(targets);
  // Each row's members, in asset order: the passes over the rows read them alone.
  rows.supports.resize(groups);
  std::vector<std::size_t> members(groups, 0);
  for (const std::uint64_t id : ids) ++members[id];
  for (std::size_t g = 0; g < groups; ++g) rows.supports[g].reserve(members[g]);
  for (std::size_t i = 0; i < n; ++i) rows.supports[ids[i]].push_back(static_cast<std::uint32_t>(i));
  if (auto grown = append_equalities(std::move(rows)); !grown) return std::unexpected(grown.error());
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_style_bounds(Matrix style_matrix, std::vector<double> style_lower,
                                                    std::vector<double> style_upper) && {
  const std::size_t n = dimension();
  const std::size_t styles = style_matrix.rows();
  if (style_matrix.cols() != n) {
    return problem_failure(ProblemError::dimension_mismatch("style exposures", n, style_matrix.cols()));
  }
  if (!all_finite(style_matrix.data())) return problem_failure(ProblemError::non_finite("style exposures"));
  if (style_lower.size() != styles) {
    return problem_failure(ProblemError::dimension_mismatch("style lower", styles, style_lower.size()));
  }
  if (any_nan(style_lower)) return problem_failure(ProblemError::non_finite("style lower"));
  if (style_upper.size() != styles) {
    return problem_failure(ProblemError::dimension_mismatch("style upper", styles, style_upper.size()));
  }
  if (any_nan(style_upper)) return problem_failure(ProblemError::non_finite("style upper"));

  RowsBuilder equality_rows, inequality_rows;
  inequality_rows.data = large_storage(2 * styles * n);
  for (std::size_t r = 0; r < styles; ++r) {
    const double lower = style_lower[r];
    const double upper = style_upper[r];
    const std::span<const double> exposures = style_matrix.row(r);
    if (lower > upper) {
      return template_failure("style " + std::to_string(r) + " bounds cross: lower " + format_decimal(lower) +
                              " exceeds upper " + format_decimal(upper));
    }
    // Tested before the pinned case: a band pinned at ±inf would otherwise
    // become the row S_r·x = ±inf, accepted here and refused only when lowered.
    if (!std::isfinite(lower) && !std::isfinite(upper)) {
      return template_failure("style " + std::to_string(r) +
                              " has neither a finite lower nor a finite upper bound; drop the row instead of "
                              "leaving it unconstrained");
    }
    if (lower == upper) {
      equality_rows.add(exposures, 1.0, upper);
      continue;
    }
    if (std::isfinite(upper)) inequality_rows.add(exposures, 1.0, upper);    // S_r·x ≤ h
    if (std::isfinite(lower)) inequality_rows.add(exposures, -1.0, -lower);  // (−S_r)·x ≤ −ℓ
  }

  if (equality_rows.count > 0) {
    if (auto grown = append_equalities(std::move(equality_rows)); !grown)
      return std::unexpected(grown.error());
  }
  if (inequality_rows.count > 0) {
    auto grown = std::move(inequality_rows).appended_to(inequalities_.matrix, 0, inequalities_);
    if (!grown) return std::unexpected(std::move(grown.error()));
    inequalities_ = std::move(grown->block);
  }
  return std::move(*this);
}

PortfolioResult PortfolioProblem::with_concentration_limit(double max_weight) && {
  if (!(std::isfinite(max_weight) && max_weight > 0.0)) {
    return parameter_failure("max_weight must be finite and positive");
  }
  // lᵢ' = max(lᵢ, −w), uᵢ' = min(uᵢ, w): long and short positions alike.
  std::vector<double> lower = lower_bounds_;
  std::vector<double> upper = upper_bounds_;
  for (double& l : lower) l = std::fmax(l, -max_weight);
  for (double& u : upper) u = std::fmin(u, max_weight);
  return std::move(*this).with_bounds(std::move(lower), std::move(upper));
}

PortfolioResult PortfolioProblem::with_short_limit(double max_short) && {
  if (!finite_non_negative(max_short)) return parameter_failure("max_short must be finite and non-negative");
  std::vector<double> lower = lower_bounds_;
  std::vector<double> upper = upper_bounds_;
  for (double& l : lower) l = std::fmax(l, -max_short);
  return std::move(*this).with_bounds(std::move(lower), std::move(upper));
}

}  // namespace morva
