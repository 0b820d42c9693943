#include "morva/scaling.hpp"

#include <algorithm>
#include <cmath>

#include "detail/vector_ops.hpp"
#include "morva/solver.hpp"

namespace morva {
namespace {

using detail::max_ignoring_nan;

// Reciprocal square root of a magnitude, clamped; magnitudes that are zero
// or subnormal leave the scale alone rather than blowing it up.
double scale_factor(double magnitude) {
  if (magnitude <= kSmallestNormal) return 1.0;
  return std::clamp(1.0 / std::sqrt(magnitude), kMinScaleFactor, kMaxScaleFactor);
}

// f(max_j |A_ij|) for every row of A.
std::vector<double> row_factors(const Matrix& a) {
  std::vector<double> factors(a.rows());
  for (std::size_t i = 0; i < a.rows(); ++i) {
    double m = 0.0;
    for (double e : a.row(i)) m = max_ignoring_nan(m, std::abs(e));
    factors[i] = scale_factor(m);
  }
  return factors;
}

// m_j = max(m_j, |A_ij|) over every row of A.
void raise_to_column_maxima(const Matrix& a, std::span<double> magnitudes) {
  for (std::size_t i = 0; i < a.rows(); ++i) {
    const auto row = a.row(i);
    for (std::size_t j = 0; j < row.size(); ++j)
      magnitudes[j] = max_ignoring_nan(magnitudes[j], std::abs(row[j]));
  }
}

// A ← diag(ε)·A·diag(δ), E ← E∘ε.
void scale_block(Matrix& a, std::span<double> row_scaling, std::span<const double> epsilon,
                 std::span<const double> delta) {
  for (std::size_t i = 0; i < a.rows(); ++i) {
    row_scaling[i] *= epsilon[i];
    const auto row = a.row(i);
    for (std::size_t j = 0; j < row.size(); ++j) row[j] = epsilon[i] * delta[j] * row[j];
  }
}

std::vector<double> elementwise_product(std::span<const double> scale, std::span<const double> v) {
  std::vector<double> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = scale[i] * v[i];
  return out;
}

std::vector<double> elementwise_quotient(std::span<const double> v, std::span<const double> scale) {
  std::vector<double> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] / scale[i];
  return out;
}

}  // namespace

std::vector<double> estimated_quadratic_column_norms(const Matrix& columns,
                                                     std::span<const double> diagonal) {
  const std::size_t n = columns.rows();
  std::vector<double> row_norms(n);
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double s = 0.0;
    for (double e : columns.row(i)) s += e * e;
    row_norms[i] = std::sqrt(s);
    largest = max_ignoring_nan(largest, row_norms[i]);
  }
  // |P_ij| ≤ d_i·[i=j] + |⟨c_i, c_j⟩| ≤ d_i·[i=j] + r_i·r_j (Cauchy–Schwarz):
  // the diagonal entry is r_i² + d_i and every other entry is at most r_i·max_j r_j.
  std::vector<double> estimates(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double r = row_norms[i];
    estimates[i] = max_ignoring_nan(r * r + diagonal[i], r * largest);
  }
  return estimates;
}

ScaledProblem ScaledProblem::equilibrate(const QpProblem& problem, const Matrix& covariance_columns,
                                         std::uint64_t iterations) {
  const std::size_t n = problem.n();
  const std::size_t k = covariance_columns.cols();

  ScaledProblem scaled;
  scaled.column_scaling.assign(n, 1.0);
  scaled.equality_scaling.assign(problem.m_eq(), 1.0);
  scaled.inequality_scaling.assign(problem.m_in(), 1.0);

  Matrix columns = covariance_columns;
  std::vector<double> diagonal = problem.quadratic.diagonal;
  std::vector<double> linear = problem.linear;
  std::vector<double> costs = problem.l1 ? problem.l1->costs : std::vector<double>{};
  Matrix a_eq = problem.equalities.matrix;
  Matrix a_in = problem.inequalities.matrix;

  std::vector<double> delta(n);
  for (std::uint64_t pass = 0; pass < iterations; ++pass) {
    // Column factors from the quadratic estimate and both constraint blocks;
    // row factors from the same, not yet rescaled, constraint blocks.
    delta = estimated_quadratic_column_norms(columns, diagonal);
    raise_to_column_maxima(a_eq, delta);
    raise_to_column_maxima(a_in, delta);
    for (double& m : delta) m = scale_factor(m);
    const std::vector<double> epsilon_eq = row_factors(a_eq);
    const std::vector<double> epsilon_in = row_factors(a_in);

    for (std::size_t j = 0; j < n; ++j) {
      const double dj = delta[j];
      scaled.column_scaling[j] *= dj;
      linear[j] = dj * linear[j];
      if (!costs.empty()) costs[j] = dj * costs[j];
      diagonal[j] = dj * dj * diagonal[j];
      for (double& e : columns.row(j)) e = dj * e;
    }
    scale_block(a_eq, scaled.equality_scaling, epsilon_eq, delta);
    scale_block(a_in, scaled.inequality_scaling, epsilon_in, delta);

    // Cost scaling: bring the mean quadratic column norm, or the linear / L1
    // data when larger, to unit size. C scales by √γ so that C·Cᵀ scales by γ.
    const std::vector<double> norms = estimated_quadratic_column_norms(columns, diagonal);
    double sum = 0.0;
    for (double e : norms) sum += e;
    const double mean = sum / static_cast<double>(std::max<std::size_t>(n, 1));
    const double g =
        max_ignoring_nan(max_ignoring_nan(mean, detail::inf_norm(linear)), detail::inf_norm(costs));
    const double gamma = g <= kSmallestNormal ? 1.0 : std::clamp(1.0 / g, kMinScaleFactor, kMaxScaleFactor);
    const double root_gamma = std::sqrt(gamma);
    for (double& e : columns.data()) e = root_gamma * e;
    for (double& e : diagonal) e = gamma * e;
    for (double& e : linear) e = gamma * e;
    for (double& e : costs) e = gamma * e;
    scaled.cost_scaling *= gamma;
  }

  const auto& d = scaled.column_scaling;
  QpProblem& out = scaled.problem;
  out.quadratic = FactorQuad{std::move(columns), FactorCovariance::diagonal(std::vector<double>(k, 1.0)),
                             std::move(diagonal)};
  out.linear = std::move(linear);
  out.equalities = {std::move(a_eq), elementwise_product(scaled.equality_scaling, problem.equalities.rhs)};
  out.inequalities = {std::move(a_in),
                      elementwise_product(scaled.inequality_scaling, problem.inequalities.rhs)};
  out.lower_bounds = elementwise_quotient(problem.lower_bounds, d);
  out.upper_bounds = elementwise_quotient(problem.upper_bounds, d);
  if (problem.l1) out.l1 = L1Term{std::move(costs), elementwise_quotient(problem.l1->anchor, d)};
  return scaled;
}

void ScaledProblem::scale_iterates_in_place(std::span<double> x, DualVariables& duals) const {
  const double c = cost_scaling;
  const auto& d = column_scaling;
  for (std::size_t j = 0; j < std::min(x.size(), d.size()); ++j) x[j] /= d[j];
  for (std::size_t i = 0; i < std::min(duals.equalities.size(), equality_scaling.size()); ++i) {
    duals.equalities[i] = c * duals.equalities[i] / equality_scaling[i];
  }
  for (std::size_t i = 0; i < std::min(duals.inequalities.size(), inequality_scaling.size()); ++i) {
    duals.inequalities[i] = c * duals.inequalities[i] / inequality_scaling[i];
  }
  for (std::size_t j = 0; j < std::min(duals.bounds.size(), d.size()); ++j)
    duals.bounds[j] = c * d[j] * duals.bounds[j];
  for (std::size_t j = 0; j < std::min(duals.l1.size(), d.size()); ++j) duals.l1[j] = c * d[j] * duals.l1[j];
}

std::pair<std::vector<double>, DualVariables> unscaled_iterates(const ScaledProblem* scaled,
                                                                std::span<const double> x_scaled,
                                                                const DualVariables& duals_scaled) {
  std::vector<double> x(x_scaled.begin(), x_scaled.end());
  DualVariables duals = duals_scaled;
  if (scaled == nullptr) return {std::move(x), std::move(duals)};

  const double c = scaled->cost_scaling;
  const auto& d = scaled->column_scaling;
  for (std::size_t j = 0; j < std::min(x.size(), d.size()); ++j) x[j] = d[j] * x[j];
  for (std::size_t i = 0; i < std::min(duals.equalities.size(), scaled->equality_scaling.size()); ++i) {
    duals.equalities[i] = scaled->equality_scaling[i] * duals.equalities[i] / c;
  }
  for (std::size_t i = 0; i < std::min(duals.inequalities.size(), scaled->inequality_scaling.size()); ++i) {
    duals.inequalities[i] = scaled->inequality_scaling[i] * duals.inequalities[i] / c;
  }
  for (std::size_t j = 0; j < std::min(duals.bounds.size(), d.size()); ++j) duals.bounds[j] /= c * d[j];
  for (std::size_t j = 0; j < std::min(duals.l1.size(), d.size()); ++j) duals.l1[j] /= c * d[j];
  return {std::move(x), std::move(duals)};
}

}  // namespace morva
