#include "morva/scaling.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "column_sharing.hpp"
#include "covariance_columns.hpp"
#include "detail/vector_ops.hpp"
#include "equilibration.hpp"
#include "morva/solver.hpp"

namespace morva {
namespace {

// A constraint row with at most cols / kSparseRowDivisor nonzeros is visited
// through them alone: the rows the stored columns keep compressed, whose
// nonzeros they can name.
constexpr std::size_t kSparseRowDivisor = kDenseColumnDivisor;

using detail::max_ignoring_nan;

// ---- Scale factors and the blocks they rescale ----

// Reciprocal square root of a magnitude, clamped; magnitudes that are zero
// or subnormal leave the scale alone rather than blowing it up.
double scale_factor(double magnitude) {
  if (magnitude <= kSmallestNormal) return 1.0;
  return std::clamp(1.0 / std::sqrt(magnitude), kMinScaleFactor, kMaxScaleFactor);
}

// scale_factor as selects, for loops that vectorise: std::clamp(v, lo, hi)
// is v < lo ? lo : (hi < v ? hi : v), NaN passing through, and √ of a
// magnitude the first select discards is never used.
inline double scale_factor_of(double magnitude) {
  double f = 1.0 / std::sqrt(magnitude);
  f = f < kMinScaleFactor ? kMinScaleFactor : (kMaxScaleFactor < f ? kMaxScaleFactor : f);
  return magnitude <= kSmallestNormal ? 1.0 : f;
}

// D ← D∘δ, q ← δ∘q, c ← δ∘c, d ← (δ∘δ)∘d and r ← δ∘r.
void scale_columns(std::span<const double> delta, std::span<double> column_scaling, std::span<double> linear,
                   std::span<double> costs, std::span<double> diagonal, std::span<double> row_norms) {
  for (std::size_t j = 0; j < delta.size(); ++j) {
    const double dj = delta[j];
    column_scaling[j] *= dj;
    linear[j] = dj * linear[j];
    diagonal[j] = dj * dj * diagonal[j];
    row_norms[j] = dj * row_norms[j];
  }
  for (std::size_t j = 0; j < costs.size(); ++j) costs[j] = delta[j] * costs[j];
}

// max(m, v) for a running maximum m that is not NaN: a NaN v leaves m, as
// max_ignoring_nan does; written as a select so that loops vectorise.
inline double raised(double m, double v) {
  return v > m ? v : m;
}

// m_j = max(m_j, |A_ij|) over every row of A, a NaN on either side ignored:
// a NaN m_j takes |A_ij| even when that is zero, so then a sparse row's
// zeros set it to zero.
void raise_to_column_maxima(const CompactRows& block, std::span<double> magnitudes) {
  const bool any_nan = std::ranges::any_of(magnitudes, [](double m) { return m != m; });
  const auto raise = [&](std::size_t j, double entry) {
    const double m = magnitudes[j];
    const double v = std::abs(entry);
    magnitudes[j] = m != m ? v : raised(m, v);
  };
  for (std::size_t i = 0; i < block.rows(); ++i) {
    // A repeated row meets no NaN left by its earlier row, which visited
    // its magnitudes already.
    if (block.repeats[i]) continue;
    const std::vector<double>& row = block.values[i];
    if (!block.sparse(i)) {
      for (std::size_t j = 0; j < row.size(); ++j) raise(j, row[j]);
      continue;
    }
    for (std::size_t e = 0; e < row.size(); ++e) raise(block.support[i][e], row[e]);
    if (any_nan) {
      for (double& m : magnitudes) m = m != m ? 0.0 : m;
    }
  }
}

// a_ij ← ε_i·δ_j·a_ij over the kept entries of a block (ε null: as they
// are), then each row's largest magnitude into row_max and each column's
// raised in column_max.
void rescale_and_measure(CompactRows& block, const double* epsilon, const double* delta,
                         std::span<double> row_max, std::span<double> column_max) {
  for (std::size_t i = 0; i < block.rows(); ++i) {
    if (block.repeats[i]) {
      row_max[i] = row_max[block.repeats[i]->earlier];
      continue;
    }
    std::vector<double>& row = block.values[i];
    double m = 0.0;
    if (block.sparse(i)) {
      const std::vector<std::uint32_t>& support = block.support[i];
      for (std::size_t e = 0; e < row.size(); ++e) {
        const std::size_t j = support[e];
        if (epsilon != nullptr) row[e] = epsilon[i] * delta[j] * row[e];
        const double v = std::abs(row[e]);
        m = raised(m, v);
        column_max[j] = raised(column_max[j], v);
      }
    } else {
      // The same steps with j = e, in loops that vectorise.
      double* a = row.data();
      if (epsilon != nullptr) {
        const double scale = epsilon[i];
        for (std::size_t j = 0; j < row.size(); ++j) a[j] = scale * delta[j] * a[j];
      }
      m = detail::raise_magnitudes(a, row.size(), column_max.data());
    }
    row_max[i] = m;
  }
}

// The two constraint blocks through the passes, with the maxima of their
// magnitudes that a pass reads: each row's (for its factor ε) and each
// column's over both blocks (raising the quadratic estimate for δ). They are
// taken while the previous pass rescales the rows, so that a pass reads each
// row once. The maximum of a set does not depend on the order it is taken in,
// and no entry is NaN (ε and δ are finite and positive), so they are what
// passes over the rows would find; only a NaN estimate, which takes the
// first entry it meets, is raised through the rows in order.
struct ConstraintBlocks {
  CompactRows eq, in;
  std::vector<double> eq_max, in_max;  // per row
  std::vector<double> column_max;      // per column, over both blocks

  ConstraintBlocks(const QpProblem& problem, std::span<const std::optional<RowRepeat>> repeats,
                   std::span<const std::vector<std::uint32_t>> supports)
      : eq(problem.equalities.matrix, repeats.empty() ? repeats : repeats.first(problem.m_eq()),
           supports.empty() ? supports : supports.first(problem.m_eq())),
        in(problem.inequalities.matrix, repeats.empty() ? repeats : repeats.subspan(problem.m_eq()),
           supports.empty() ? supports : supports.subspan(problem.m_eq())),
        eq_max(eq.rows()),
        in_max(in.rows()),
        column_max(problem.n(), 0.0) {
    rescale_and_measure(eq, nullptr, nullptr, eq_max, column_max);
    rescale_and_measure(in, nullptr, nullptr, in_max, column_max);
  }

  // δ_j = max(δ_j, max_i |A_ij|) over both blocks.
  void raise(std::span<double> delta) const {
    if (std::ranges::any_of(delta, [](double m) { return m != m; })) {
      raise_to_column_maxima(eq, delta);
      raise_to_column_maxima(in, delta);
      return;
    }
    for (std::size_t j = 0; j < delta.size(); ++j) delta[j] = raised(delta[j], column_max[j]);
  }

  // A ← diag(ε)·A·diag(δ) and E ← E∘ε for both blocks, ε from the rows'
  // maxima; then the maxima of the rescaled rows.
  void scale(ScaledProblem& scaled, std::span<const double> delta) {
    const std::vector<double> epsilon_eq = factors_of(eq_max);
    const std::vector<double> epsilon_in = factors_of(in_max);
    for (std::size_t i = 0; i < eq.rows(); ++i) scaled.equality_scaling[i] *= epsilon_eq[i];
    for (std::size_t i = 0; i < in.rows(); ++i) scaled.inequality_scaling[i] *= epsilon_in[i];
    std::ranges::fill(column_max, 0.0);
    rescale_and_measure(eq, epsilon_eq.data(), delta.data(), eq_max, column_max);
    rescale_and_measure(in, epsilon_in.data(), delta.data(), in_max, column_max);
  }

 private:
  static std::vector<double> factors_of(std::span<const double> maxima) {
    std::vector<double> factors(maxima.size());
    for (std::size_t i = 0; i < maxima.size(); ++i) factors[i] = scale_factor(maxima[i]);
    return factors;
  }
};

// out = s∘v, sized to v (in place when it already is).
void write_product(std::vector<double>& out, std::span<const double> scale, std::span<const double> v) {
  out.resize(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = scale[i] * v[i];
}

// out = v/s, sized to v (in place when it already is).
void write_quotient(std::vector<double>& out, std::span<const double> v, std::span<const double> scale) {
  out.resize(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] / scale[i];
}

// The largest entry, NaN ignored, from 0: the fold of max_ignoring_nan from
// 0, which never holds a NaN, written as a select.
double largest_of(std::span<const double> v) {
  double m = 0.0;
  for (double e : v) m = raised(m, e);
  return m;
}

// max_ignoring_nan(a, b) as a select: b when a < b or a is NaN, else a.
inline double max_of_either(double a, double b) {
  return (a < b) | (a != a) ? b : a;
}

// max(r_i² + d_i, r_i·max_j r_j) for the row norms r of C, into `estimates`;
// returns whether one is NaN.
bool write_estimates(std::span<const double> row_norms, std::span<const double> diagonal,
                     std::span<double> estimates) {
  const double largest = largest_of(row_norms);
  // |P_ij| ≤ d_i·[i=j] + |⟨c_i, c_j⟩| ≤ d_i·[i=j] + r_i·r_j (Cauchy–Schwarz):
  // the diagonal entry is r_i² + d_i and every other entry is at most r_i·max_j r_j.
  for (std::size_t i = 0; i < row_norms.size(); ++i) {
    const double r = row_norms[i];
    estimates[i] = max_of_either(r * r + diagonal[i], r * largest);
  }
  return std::ranges::any_of(estimates, [](double e) { return e != e; });
}

}  // namespace

// ---- Column norms of the quadratic form ----

std::vector<double> estimated_quadratic_column_norms(const Matrix& columns,
                                                     std::span<const double> diagonal) {
  const std::size_t n = columns.rows();
  const std::size_t k = columns.cols();
  // r_i² = Σ_l C_il², each row summed left to right (four rows at a time).
  std::vector<double> row_norms(n);
  const double* data = columns.data().data();
  const auto row = [data, k](std::size_t i) { return data + i * k; };
  detail::dot_row_pairs(row, row, n, k, row_norms.data());
  for (double& r : row_norms) r = std::sqrt(r);
  std::vector<double> estimates(n);
  write_estimates(row_norms, diagonal, estimates);
  return estimates;
}

// ---- Compact constraint rows ----

CompactRows::CompactRows(const Matrix& a, std::span<const std::optional<RowRepeat>> repeated,
                         std::span<const std::vector<std::uint32_t>> supports)
    : support(a.rows()), values(a.rows()), repeats(a.rows()) {
  const std::size_t n = a.cols();
  for (std::size_t i = 0; i < a.rows(); ++i) {
    if (!repeated.empty() && repeated[i]) {
      repeats[i] = repeated[i];
      continue;
    }
    const auto row = a.row(i);
    if (!supports.empty() && !supports[i].empty()) {
      // The stored columns kept this row's nonzeros: no read of the row.
      support[i] = supports[i];
      values[i].resize(support[i].size());
      for (std::size_t e = 0; e < support[i].size(); ++e) values[i][e] = row[support[i][e]];
      continue;
    }
    const auto nonzeros =
        static_cast<std::size_t>(std::ranges::count_if(row, [](double v) { return v != 0.0; }));
    if (nonzeros == 0 || nonzeros * kSparseRowDivisor > n) {
      values[i].assign(row.begin(), row.end());
      continue;
    }
    support[i].reserve(nonzeros);
    values[i].reserve(nonzeros);
    for (std::size_t j = 0; j < n; ++j) {
      if (row[j] == 0.0) continue;
      support[i].push_back(static_cast<std::uint32_t>(j));
      values[i].push_back(row[j]);
    }
  }
}

Matrix CompactRows::written_over(const Matrix& unscaled) const {
  const std::size_t n = unscaled.cols();
  std::vector<double> data(unscaled.data().begin(), unscaled.data().end());
  for (std::size_t i = 0; i < rows(); ++i) {
    double* row = data.data() + i * n;
    if (repeats[i]) {
      // s times the earlier row's scaled entries; a zero keeps its own sign,
      // as scaling by a positive factor would.
      const auto [earlier, sign] = *repeats[i];
      if (sparse(earlier)) {
        for (std::size_t e = 0; e < values[earlier].size(); ++e)
          row[support[earlier][e]] = sign * values[earlier][e];
      } else {
        for (std::size_t j = 0; j < n; ++j) row[j] = row[j] == 0.0 ? row[j] : sign * values[earlier][j];
      }
    } else if (sparse(i)) {
      for (std::size_t e = 0; e < values[i].size(); ++e) row[support[i][e]] = values[i][e];
    } else {
      std::ranges::copy(values[i], row);
    }
  }
  // The shape is unscaled's own.
  return *Matrix::create(unscaled.rows(), n, std::move(data));
}

// ---- Equilibration ----

namespace {

// The passes work on the row norms r of C alone: scaling row i of C by δ_i
// (and all of C by √γ) scales r_i the same way, so C itself is scaled once,
// by `completed`, through the rows of `factors` (F with Ω kept, or C with
// Ω = I); the scaled problem leaves them, and A_eq, unscaled.
std::pair<ScaledProblem, ScaledCompletion> equilibrate_partially(
    const QpProblem& problem, std::vector<double> row_norms, Matrix factors, FactorCovariance omega,
    std::uint64_t iterations, std::span<const std::optional<RowRepeat>> repeats = {},
    std::span<const std::vector<std::uint32_t>> supports = {}) {
  const std::size_t n = problem.n();

  ScaledProblem scaled;
  scaled.column_scaling.assign(n, 1.0);
  scaled.equality_scaling.assign(problem.m_eq(), 1.0);
  scaled.inequality_scaling.assign(problem.m_in(), 1.0);

  std::vector<double> diagonal = problem.quadratic.diagonal;
  std::vector<double> linear = problem.linear;
  std::vector<double> costs = problem.l1 ? problem.l1->costs : std::vector<double>{};
  ConstraintBlocks blocks(problem, repeats, supports);
  double root_cost = 1.0;  // √c, the scale of C's entries beyond D

  std::vector<double> delta(n);
  std::vector<double> norms(n);
  for (std::uint64_t pass = 0; pass < iterations; ++pass) {
    // Column factors from the quadratic estimate and both constraint blocks;
    // row factors from the same, not yet rescaled, constraint blocks.
    if (write_estimates(row_norms, diagonal, delta)) {
      blocks.raise(delta);
      for (double& m : delta) m = scale_factor(m);
    } else {
      // No estimate is NaN: each is raised to its column's maximum alone.
      const std::span<const double> column_max = blocks.column_max;
      for (std::size_t j = 0; j < n; ++j) delta[j] = scale_factor_of(raised(delta[j], column_max[j]));
    }
    scale_columns(delta, scaled.column_scaling, linear, costs, diagonal, row_norms);
    blocks.scale(scaled, delta);

    // Cost scaling: bring the mean quadratic column norm, or the linear / L1
    // data when larger, to unit size. C scales by √γ so that C·Cᵀ scales by γ.
    write_estimates(row_norms, diagonal, norms);
    double sum = 0.0;
    for (double e : norms) sum += e;
    const double mean = sum / static_cast<double>(std::max<std::size_t>(n, 1));
    const double g =
        max_ignoring_nan(max_ignoring_nan(mean, detail::inf_norm(linear)), detail::inf_norm(costs));
    const double gamma = g <= kSmallestNormal ? 1.0 : std::clamp(1.0 / g, kMinScaleFactor, kMaxScaleFactor);
    const double root_gamma = std::sqrt(gamma);
    root_cost *= root_gamma;
    for (std::size_t j = 0; j < n; ++j) {
      row_norms[j] = root_gamma * row_norms[j];
      diagonal[j] = gamma * diagonal[j];
      linear[j] = gamma * linear[j];
    }
    for (double& e : costs) e = gamma * e;
    scaled.cost_scaling *= gamma;
  }

  const auto& d = scaled.column_scaling;
  QpProblem& out = scaled.problem;
  out.quadratic = FactorQuad{std::move(factors), std::move(omega), std::move(diagonal)};
  out.linear = std::move(linear);
  out.equalities.matrix = problem.equalities.matrix;
  out.inequalities.matrix = blocks.in.written_over(problem.inequalities.matrix);
  scaled.set_equality_rhs(problem.equalities.rhs);
  scaled.set_inequality_rhs(problem.inequalities.rhs);
  write_quotient(out.lower_bounds, problem.lower_bounds, d);
  write_quotient(out.upper_bounds, problem.upper_bounds, d);
  if (problem.l1) {
    out.l1 = L1Term{std::move(costs), {}};
    scaled.set_l1_anchor(problem.l1->anchor);
  }
  return {std::move(scaled), ScaledCompletion{root_cost, std::move(blocks.eq)}};
}

}  // namespace

std::expected<std::pair<ScaledProblem, ScaledCompletion>, SolverError> equilibrate_for_iteration(
    const QpProblem& problem, std::uint64_t iterations, const Matrix* lower,
    std::span<const std::optional<RowRepeat>> repeats, std::span<const std::vector<std::uint32_t>> supports) {
  auto norms = covariance_row_norms(problem.quadratic, lower);
  if (!norms) return std::unexpected(norms.error());
  return equilibrate_partially(problem, std::move(*norms), problem.quadratic.factors, problem.quadratic.omega,
                               iterations, repeats, supports);
}

ScaledProblem completed(const ScaledProblem& partial, const ScaledCompletion& completion) {
  ScaledProblem full = partial;
  // F_s = √c·D·F, row i scaled by the one factor √c·D_i.
  const Matrix& factors = partial.problem.quadratic.factors;
  const std::size_t k = factors.cols();
  std::vector<double> data(factors.data().size());
  for (std::size_t i = 0; i < factors.rows(); ++i) {
    const double row_scale = completion.root_cost * partial.column_scaling[i];
    const auto row = factors.row(i);
    for (std::size_t l = 0; l < k; ++l) data[i * k + l] = row_scale * row[l];
  }
  full.problem.quadratic.factors = *Matrix::create(factors.rows(), k, std::move(data));
  full.problem.equalities.matrix = completion.equalities.written_over(partial.problem.equalities.matrix);
  return full;
}

ScaledProblem ScaledProblem::equilibrate(const QpProblem& problem, const Matrix& covariance_columns,
                                         std::uint64_t iterations) {
  const std::size_t n = covariance_columns.rows();
  std::vector<double> norms(n);
  for (std::size_t i = 0; i < n; ++i)
    norms[i] = std::sqrt(detail::row_dot(covariance_columns.row(i), covariance_columns.row(i)));
  const std::size_t k = covariance_columns.cols();
  const auto [partial, completion] =
      equilibrate_partially(problem, std::move(norms), covariance_columns,
                            FactorCovariance::diagonal(std::vector<double>(k, 1.0)), iterations);
  return completed(partial, completion);
}

std::expected<ScaledProblem, SolverError> ScaledProblem::equilibrate(const QpProblem& problem,
                                                                     std::uint64_t iterations) {
  auto parts = equilibrate_for_iteration(problem, iterations);
  if (!parts) return std::unexpected(parts.error());
  return completed(parts->first, parts->second);
}

// ---- Unscaled data written into the scaled problem ----

void ScaledProblem::set_equality_rhs(std::span<const double> rhs) {
  write_product(problem.equalities.rhs, equality_scaling, rhs);
}

void ScaledProblem::set_inequality_rhs(std::span<const double> rhs) {
  write_product(problem.inequalities.rhs, inequality_scaling, rhs);
}

void ScaledProblem::set_linear(std::span<const double> linear) {
  auto& scaled_linear = problem.linear;
  scaled_linear.resize(linear.size());
  for (std::size_t j = 0; j < linear.size(); ++j)
    scaled_linear[j] = cost_scaling * column_scaling[j] * linear[j];
}

void ScaledProblem::set_l1_anchor(std::span<const double> anchor) {
  if (problem.l1) write_quotient(problem.l1->anchor, anchor, column_scaling);
}

void ScaledProblem::set_bounds(std::span<const double> lower, std::span<const double> upper) {
  write_quotient(problem.lower_bounds, lower, column_scaling);
  write_quotient(problem.upper_bounds, upper, column_scaling);
}

void ScaledProblem::set_l1_costs(std::span<const double> costs) {
  if (!problem.l1) return;
  auto& scaled_costs = problem.l1->costs;
  scaled_costs.resize(costs.size());
  for (std::size_t j = 0; j < costs.size(); ++j)
    scaled_costs[j] = cost_scaling * column_scaling[j] * costs[j];
}

// ---- Iterates between scaled and unscaled units ----

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
