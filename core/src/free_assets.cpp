// One active-set solve over the assets its pins leave free. With the pins
// x_p fixed at their targets, the active set's KKT system is that of
//   minimise ½·x_fᵀP_ff·x_f + (q_f + P_fp·x_p + force_f)ᵀx_f
//   subject to A_f·x_f = t − A_p·x_p   (the equality and active rows),
// P_fp·x_p = F_f·Ω·(F_pᵀx_p) (the diagonal couples no two assets): a factor
// problem of its own over the free rows of F. Its regularised solve and
// refinement run over those rows alone, not over every asset, and the pins'
// multipliers follow exactly from stationarity at the pins,
//   μ_p = −(P·x + q + Aᵀλ + force)_p.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "active_set.hpp"
#include "factor_rows.hpp"
#include "linalg.hpp"
#include "polish_internal.hpp"
#include "profile_rule.hpp"

namespace morva {
namespace {

// v's entries at `free`, in order.
template <class T>
std::vector<T> at_free(const std::vector<T>& v, std::span<const std::size_t> free) {
  std::vector<T> out(free.size());
  for (std::size_t j = 0; j < free.size(); ++j) out[j] = v[free[j]];
  return out;
}

// F_pᵀ·x_p and every row's A_p·x_p (x_p: the pins' targets, zero elsewhere):
// one stream over the problem's V where it holds the data's columns, else
// F's nonzeros and the rows' supports (every column of a row V keeps dense).
TransposeImage pins_image(const QpProblem& problem, const ReducedColumns& data, RowSupports supports,
                          std::span<const double> pinned_x) {
  const std::size_t n = problem.n();
  if (holds_data_columns(data, problem, n)) return transpose_image(problem, data, pinned_x);
  TransposeImage image{std::vector<double>(problem.quadratic.factor_count(), 0.0),
                       std::vector<double>(problem.m_eq() + problem.m_in(), 0.0)};
  const FactorRows rows(problem.quadratic);
  for (std::size_t i = 0; i < n; ++i) {
    if (pinned_x[i] == 0.0) continue;
    rows.for_each_nonzero(i, [&](std::size_t c, double v) { image.t[c] += v * pinned_x[i]; });
  }
  const std::vector<const double*> a_rows = constraint_rows(problem);
  for (std::size_t row = 0; row < image.image.size(); ++row) {
    const double* a = a_rows[row];
    double& sum = image.image[row];
    if (row < supports.size() && !supports[row].empty()) {
      for (std::uint32_t i : supports[row]) sum += a[i] * pinned_x[i];
    } else {
      for (std::size_t i = 0; i < n; ++i) sum += a[i] * pinned_x[i];
    }
  }
  return image;
}

// The free assets' problem: rows of F, d, q and the bounds at `free`, every
// constraint row's columns at `free` with its right-hand side less the pins'
// part (`pins`, pins_image of their targets), the L1 term at `free`.
QpProblem free_problem(const QpProblem& problem, const TransposeImage& pins,
                       std::span<const std::size_t> free) {
  const std::size_t k = problem.quadratic.factor_count();
  const std::size_t f = free.size();
  const FactorRows rows(problem.quadratic);

  // s = Ω·(F_pᵀ·x_p), the pins' pull on every factor.
  std::vector<double> s(k, 0.0);
  problem.quadratic.omega.times(pins.t, s);

  QpProblem sub;
  std::vector<double> factors(f * k), diagonal(f);
  sub.linear.resize(f);
  for (std::size_t j = 0; j < f; ++j) {
    const std::size_t i = free[j];
    rows.copy_row(i, std::span(factors).subspan(j * k, k));
    double pull = 0.0;
    rows.for_each_nonzero(i, [&](std::size_t c, double v) { pull += v * s[c]; });
    diagonal[j] = problem.quadratic.diagonal[i];
    sub.linear[j] = problem.linear[i] + pull;
  }
  sub.quadratic =
      FactorQuad{*Matrix::create(f, k, std::move(factors)), problem.quadratic.omega, std::move(diagonal)};

  // A block's rows at the free columns; its rhs less A_p·x_p.
  const auto restricted = [&](const LinearConstraints& block, std::size_t first_row) {
    const std::size_t m = block.rows();
    std::vector<double> values(m * f);
    std::vector<double> rhs = block.rhs;
    for (std::size_t r = 0; r < m; ++r) {
      const auto a = block.matrix.row(r);
      for (std::size_t j = 0; j < f; ++j) values[r * f + j] = a[free[j]];
      rhs[r] -= pins.image[first_row + r];
    }
    return LinearConstraints{*Matrix::create(m, f, std::move(values)), std::move(rhs)};
  };
  sub.equalities = restricted(problem.equalities, 0);
  sub.inequalities = restricted(problem.inequalities, problem.m_eq());

  sub.lower_bounds = at_free(problem.lower_bounds, free);
  sub.upper_bounds = at_free(problem.upper_bounds, free);
  if (problem.l1) sub.l1 = L1Term{at_free(problem.l1->costs, free), at_free(problem.l1->anchor, free)};
  return sub;
}

}  // namespace

std::optional<Polished> solve_free_active_set(const QpProblem& problem, const ReducedColumns& data,
                                              const Learnt& learnt, Selections& selections,
                                              const ActiveSet& active, const SolverSettings& settings,
                                              const ProfileRule& rule, std::vector<double>& row_images,
                                              CandidateStream& stream, const DualVariables* start) {
  const std::size_t n = problem.n();
  if (active.pins.size() * kFreeShare < n * (kFreeShare - 1) || problem.leverage) {
    return solve_active_set(problem, data, learnt, selections, active, settings, rule, row_images, stream,
                            start);
  }
  std::vector<double> pinned_x(n, 0.0);
  std::vector<bool> pinned(n, false);
  for (const auto& [asset, side] : active.pins) {
    pinned[asset] = true;
    pinned_x[asset] = pin_target(problem, asset, side);
  }
  std::vector<std::size_t> free;
  for (std::size_t i = 0; i < n; ++i)
    if (!pinned[i]) free.push_back(i);

  const QpProblem sub = free_problem(problem, pins_image(problem, data, learnt.supports, pinned_x), free);
  const ReducedColumns sub_data = data_columns(sub);
  const std::vector<std::vector<std::uint32_t>> sub_supports = row_supports(sub_data);
  const Learnt sub_learnt{sub_supports, learnt.lower};
  const bool has_sides = problem.l1 && active.anchor_sides.size() == n;
  const ActiveSet sub_active{
      active.active_rows, {}, has_sides ? at_free(active.anchor_sides, free) : std::vector<int>{}};
  std::optional<DualVariables> sub_start;
  if (start != nullptr) {
    sub_start = DualVariables{start->equalities, start->inequalities, at_free(start->bounds, free),
                              start->l1.empty() ? std::vector<double>{} : at_free(start->l1, free)};
  }
  Selections sub_selections;
  CandidateStream sub_stream;
  std::vector<double> sub_images;
  const std::optional<Polished> solved =
      solve_active_set(sub, sub_data, sub_learnt, sub_selections, sub_active, settings, rule, sub_images,
                       sub_stream, sub_start ? &*sub_start : nullptr);
  if (!solved) return std::nullopt;

  RegularizedSolution solution;
  solution.x = std::move(pinned_x);
  for (std::size_t j = 0; j < free.size(); ++j) solution.x[free[j]] = solved->x[j];
  solution.constraint_multipliers = solved->duals.equalities;
  for (std::size_t row : active.active_rows)
    solution.constraint_multipliers.push_back(solved->duals.inequalities[row]);
  if (!detail::all_finite(solution.x)) return std::nullopt;
  // P·x as the KKT check takes it, and Aᵀλ over every row: the candidate's
  // own (its rows' multipliers are λ, the others zero), kept for its KKT
  // check and its judge.
  const IterateProducts& products = candidate_products_of(problem, data, learnt.supports, solution.x, stream);
  std::vector<double> pull = row_combination(problem, data, solved->duals);
  solution.pin_multipliers.resize(active.pins.size());
  for (std::size_t p = 0; p < active.pins.size(); ++p) {
    const std::size_t i = active.pins[p].first;
    const double force = has_sides ? static_cast<double>(active.anchor_sides[i]) * problem.l1->costs[i] : 0.0;
    solution.pin_multipliers[p] = -(products.px[i] + problem.linear[i] + pull[i] + force);
  }
  stream.products.multiplier_rows = std::move(pull);
  return candidate_of(problem, active, rule, std::move(solution), has_sides, stream, row_images);
}

}  // namespace morva
