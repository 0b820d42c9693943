#include "morva/kkt.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "detail/vector_ops.hpp"
#include "kkt_internal.hpp"
#include "matrix_products.hpp"

namespace morva {
namespace {

using detail::for_each_in_lanes;
using detail::inf_norm;
using detail::LaneMaxima;
using detail::positive_part;
using detail::raise_to;

// Rows actually present in both the matrix and its right-hand side (equal in a validated QP).
std::size_t block_rows(const LinearConstraints& block) {
  return std::min(block.matrix.rows(), block.rhs.size());
}

// Primal feasibility: equality gaps, inequality excesses, box excesses. The
// inequality slacks (A_in·x)_j − b_in,j are left in `slack`.
double primal_residual(const QpProblem& problem, std::span<const double> x, const IterateProducts& products,
                       std::vector<double>& slack) {
  const auto& l = problem.lower_bounds;
  const auto& u = problem.upper_bounds;
  double primal = 0.0;
  for (std::size_t i = 0; i < block_rows(problem.equalities); ++i) {
    raise_to(primal, std::abs(products.eq_image[i] - problem.equalities.rhs[i]));
  }
  slack.resize(block_rows(problem.inequalities));
  for (std::size_t j = 0; j < slack.size(); ++j) {
    slack[j] = products.in_image[j] - problem.inequalities.rhs[j];
    raise_to(primal, positive_part(slack[j]));
  }
  LaneMaxima box;
  for_each_in_lanes(problem.n(), [&](std::size_t i, std::size_t r) MORVA_ALWAYS_INLINE {
    if (std::isfinite(l[i])) box.raise(r, positive_part(l[i] - x[i]));
    if (std::isfinite(u[i])) box.raise(r, positive_part(x[i] - u[i]));
  });
  raise_to(primal, box.value());
  if (problem.leverage) raise_to(primal, positive_part(problem.leverage->gross(x) - problem.leverage->limit));
  return primal;
}

// out += A_eqᵀ·y_eq + A_inᵀ·y_in + y_box + y_l1, from the products when they
// carry the rows; a dual block shorter than out counts over its own length.
void add_multiplier_image(const QpProblem& problem, const DualVariables& duals,
                          const IterateProducts& products, std::span<double> out) {
  if (!products.multiplier_rows.empty()) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += products.multiplier_rows[i];
  } else {
    const RowSupports supports = products.row_supports;
    const std::size_t m_eq = problem.equalities.matrix.rows();
    add_transpose_product(problem.equalities.matrix, duals.equalities, out,
                          supports.empty() ? supports : supports.first(m_eq));
    add_transpose_product(problem.inequalities.matrix, duals.inequalities, out,
                          supports.empty() ? supports : supports.subspan(m_eq));
  }
  for (std::size_t i = 0; i < std::min(out.size(), duals.bounds.size()); ++i) out[i] += duals.bounds[i];
  for (std::size_t i = 0; i < std::min(out.size(), duals.l1.size()); ++i) out[i] += duals.l1[i];
}

// Stationarity: g = P·x + q + A_eqᵀ·y + A_inᵀ·z + y_bounds + y_l1 (lengths
// checked, so every block of the multiplier image has n entries).
std::vector<double> stationarity_gradient(const QpProblem& problem, const DualVariables& duals,
                                          const IterateProducts& products) {
  std::vector<double> g = products.px;
  const std::size_t n_q = std::min(g.size(), problem.linear.size());
  for (std::size_t i = 0; i < n_q; ++i) g[i] += problem.linear[i];
  add_multiplier_image(problem, duals, products, g);
  return g;
}

struct SignAndComplementarity {
  double sign = 0.0;
  double complementarity = 0.0;
};

// Sign violation s and complementarity k of the inequality, box and L1 multipliers.
SignAndComplementarity sign_and_complementarity(const QpProblem& problem, std::span<const double> x,
                                                const DualVariables& duals, std::span<const double> slack) {
  const auto& l = problem.lower_bounds;
  const auto& u = problem.upper_bounds;
  const std::span<const double> z = duals.inequalities;
  std::span<const double> y_box = duals.bounds;
  double sign = 0.0;
  double comp = 0.0;
  // Under a leverage limit the box duals hold Θ·wᵢ·sᵢ beside the bounds'
  // parts: the bounds' rules read νᵢ, and Θ meets the limit's own. An asset
  // near zero takes sᵢ = sign(xᵢ), or the sᵢ ∈ [−1, 1] that leaves the
  // least bound part at the cost Θ·wᵢ·|xᵢ|·|sign(xᵢ) − sᵢ| of treating it as
  // zero, whichever violates less.
  std::vector<double> bound_parts;
  if (problem.leverage && y_box.size() == problem.n()) {
    const GrossLeverage& leverage = *problem.leverage;
    const double theta = leverage_multiplier(problem, x, y_box);
    const auto violation = [&](std::size_t i, double nu) {
      return (std::isfinite(u[i]) ? std::abs(u[i] - x[i]) : 1.0) * positive_part(nu) +
             (std::isfinite(l[i]) ? std::abs(x[i] - l[i]) : 1.0) * positive_part(-nu);
    };
    bound_parts.assign(y_box.begin(), y_box.end());
    for (std::size_t i = 0; i < problem.n(); ++i) {
      const double pull = theta * leverage.weight(i);
      const double sign_x = x[i] > 0.0 ? 1.0 : (x[i] < 0.0 ? -1.0 : 0.0);
      const double free_s = pull > 0.0 ? std::clamp(y_box[i] / pull, -1.0, 1.0) : 0.0;
      const double as_zero = pull * std::abs(x[i]) * std::abs(sign_x - free_s);
      const double s_i = sign_x != 0.0 && violation(i, y_box[i] - pull * sign_x) <=
                                              as_zero + violation(i, y_box[i] - pull * free_s)
                             ? sign_x
                             : free_s;
      if (s_i != sign_x) raise_to(comp, pull * std::abs(x[i]) * std::abs(sign_x - s_i));
      bound_parts[i] -= pull * s_i;
    }
    raise_to(comp, std::abs(theta * (leverage.limit - leverage.gross(x))));
    y_box = bound_parts;
  }
  for (std::size_t j = 0; j < slack.size(); ++j) {
    raise_to(sign, -z[j]);
    raise_to(comp, std::abs(slack[j] * z[j]));
  }
  LaneMaxima signs, comps;
  for_each_in_lanes(problem.n(), [&](std::size_t i, std::size_t r) MORVA_ALWAYS_INLINE {
    // Box multiplier: the positive part prices the upper side, the negative part the lower.
    const double upper_part = positive_part(y_box[i]);
    const double lower_part = positive_part(-y_box[i]);
    if (!std::isfinite(u[i])) signs.raise(r, upper_part);
    if (!std::isfinite(l[i])) signs.raise(r, lower_part);
    if (std::isfinite(u[i])) comps.raise(r, std::abs(u[i] - x[i]) * upper_part);
    if (std::isfinite(l[i])) comps.raise(r, std::abs(x[i] - l[i]) * lower_part);
  });
  if (problem.l1) {
    // y_l1,i must be a subgradient of cᵢ|xᵢ − aᵢ|: cᵢ above the anchor, −cᵢ below, within ±cᵢ at it.
    const auto& c = problem.l1->costs;
    const auto& a = problem.l1->anchor;
    const std::size_t n_l1_data = std::min({problem.n(), c.size(), a.size()});
    for_each_in_lanes(n_l1_data, [&](std::size_t i, std::size_t r) MORVA_ALWAYS_INLINE {
      const double d = x[i] - a[i];
      const double y = duals.l1[i];
      comps.raise(r, std::abs(positive_part(d) * (c[i] - y)));
      comps.raise(r, std::abs(positive_part(-d) * (y + c[i])));
      signs.raise(r, std::abs(y) - c[i]);
    });
  }
  raise_to(sign, signs.value());
  raise_to(comp, comps.value());
  return {sign, comp};
}

}  // namespace

// The leverage multiplier Θ ≥ 0 the box duals carry under a leverage limit:
// y_box,i = νᵢ + Θ·wᵢ·sᵢ with νᵢ the bound's part and sᵢ ∈ ∂|xᵢ|. An asset
// away from its kinks (0, lᵢ, uᵢ) has νᵢ = 0, so tᵢ = y_box,i·sign(xᵢ)/wᵢ
// is Θ there; near a kink tᵢ is anything. Θ is the median of the tᵢ weighted
// by wᵢ times the distance to the nearest kink, the Θ that minimises the
// complementarity those distances weigh.
double leverage_multiplier(const QpProblem& problem, std::span<const double> x,
                           std::span<const double> y_box) {
  const GrossLeverage& leverage = *problem.leverage;
  std::vector<std::pair<double, double>> votes;  // (tᵢ, weight)
  double total = 0.0;
  for (std::size_t i = 0; i < problem.n(); ++i) {
    const double distance =
        std::min({std::abs(x[i]), x[i] - problem.lower_bounds[i], problem.upper_bounds[i] - x[i]});
    if (!(distance > 0.0)) continue;
    const double w = leverage.weight(i);
    votes.emplace_back(y_box[i] * (x[i] > 0.0 ? 1.0 : -1.0) / w, w * distance);
    total += w * distance;
  }
  if (votes.empty()) return 0.0;
  std::sort(votes.begin(), votes.end());
  double running = 0.0;
  for (const auto& [t, weight] : votes) {
    running += weight;
    if (running >= 0.5 * total) return positive_part(t);
  }
  return positive_part(votes.back().first);
}

std::expected<KktResiduals, LengthMismatch> check_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals) {
  return check_kkt(problem, x, duals, iterate_products(problem, x));
}

std::expected<KktResiduals, LengthMismatch> check_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals,
                                                      const IterateProducts& products) {
  const std::size_t n = problem.n();
  if (auto mismatch = first_length_mismatch({
          {"x", n, x.size()},
          {"dual.equalities", problem.m_eq(), duals.equalities.size()},
          {"dual.inequalities", problem.m_in(), duals.inequalities.size()},
          {"dual.bounds", n, duals.bounds.size()},
          {"dual.l1", problem.l1 ? n : 0, duals.l1.size()},
      })) {
    return std::unexpected(std::move(*mismatch));
  }

  std::vector<double> slack;
  const double primal = primal_residual(problem, x, products, slack);
  const double g_norm = inf_norm(stationarity_gradient(problem, duals, products));
  const SignAndComplementarity sc = sign_and_complementarity(problem, x, duals, slack);
  return KktResiduals{primal, std::isnan(g_norm) ? sc.sign : std::max(g_norm, sc.sign), sc.complementarity};
}

IterateProducts iterate_products(const QpProblem& problem, std::span<const double> x, RowSupports supports) {
  IterateProducts products;
  const std::size_t m_eq = problem.equalities.matrix.rows();
  if (supports.size() != m_eq + problem.inequalities.matrix.rows()) supports = {};
  products.row_supports = supports;
  products.px = problem.quadratic.apply(x);
  products.eq_image.resize(m_eq);
  row_products(problem.equalities.matrix, x, products.eq_image,
               supports.empty() ? supports : supports.first(m_eq));
  products.in_image.resize(problem.inequalities.matrix.rows());
  row_products(problem.inequalities.matrix, x, products.in_image,
               supports.empty() ? supports : supports.subspan(m_eq));
  return products;
}

ProductNorms product_norms(const QpProblem& problem, const DualVariables& duals,
                           const IterateProducts& products) {
  std::vector<double> multiplier_image(problem.n(), 0.0);
  add_multiplier_image(problem, duals, products, multiplier_image);
  return {inf_norm(products.px), inf_norm(products.eq_image), inf_norm(products.in_image),
          inf_norm(multiplier_image)};
}

std::expected<KktMeasure, LengthMismatch> measure_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals,
                                                      const IterateProducts& products) {
  auto residuals = check_kkt(problem, x, duals, products);
  if (!residuals) return std::unexpected(std::move(residuals.error()));
  return KktMeasure{*residuals, product_norms(problem, duals, products)};
}

}  // namespace morva
