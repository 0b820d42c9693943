#include "morva/scaling.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "covariance_columns.hpp"
#include "detail/equilibration_kernels.hpp"
#include "detail/vector_ops.hpp"
#include "equilibration.hpp"
#include "morva/error_types.hpp"

namespace morva {
namespace {

using detail::kSmallestNormal;
using detail::max_ignoring_nan;

// ---- Lanes ----
//
// The steps of a pass over the n-vectors run two columns at a time in
// two-lane vectors (GCC's vector extension), the last column alone; the
// same expressions serve both, and a lane's arithmetic is its own IEEE
// arithmetic, so every value is the one-at-a-time loop's.
using Pair = detail::Lanes2;
using PairMask = decltype(Pair{} != Pair{});  // a lane of all ones where true
inline double root(double v) {
  return std::sqrt(v);
}
inline Pair root(Pair v) {
  return Pair{std::sqrt(v[0]), std::sqrt(v[1])};
}
inline double magnitude(double v) {
  return std::abs(v);
}
inline Pair magnitude(Pair v) {
  return detail::magnitude2(v);
}
inline bool any_lane(PairMask m) {
  return (m[0] | m[1]) != 0;
}
inline bool any_lane(bool b) {
  return b;
}
constexpr std::size_t kPairLanes = sizeof(Pair) / sizeof(double);

template <class V>
V splat(double v) {
  return V{} + v;
}
template <class V>
V load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
void store(double* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

// The largest lane of a running maximum from +0 (order-free: no lane is NaN).
inline double top_lane(Pair m) {
  return m[1] > m[0] ? m[1] : m[0];
}

// ---- Scale factors and the blocks they rescale ----

// Reciprocal square root of a magnitude, clamped to [kMinScaleFactor,
// kMaxScaleFactor]; magnitudes that are zero or subnormal leave the scale
// alone (1) rather than blowing it up. Written as selects, for loops that
// vectorise: std::clamp(v, lo, hi) is v < lo ? lo : (hi < v ? hi : v), NaN
// passing through, and √ of a magnitude the last select discards is never
// used. With lo < hi, v < lo exactly when min(hi, v) < lo, so the clamp is
// two selects of one comparison each (a minimum and a maximum instruction).
template <class V>
V scale_factor(V magnitude) {
  const V lo = splat<V>(kMinScaleFactor);
  const V hi = splat<V>(kMaxScaleFactor);
  const V f = splat<V>(1.0) / root(magnitude);
  const V below_hi = hi < f ? hi : f;
  const V clamped = below_hi < lo ? lo : below_hi;
  return magnitude <= splat<V>(kSmallestNormal) ? splat<V>(1.0) : clamped;
}

// max(m, v) for a running maximum m that is not NaN: a NaN v leaves m, as
// max_ignoring_nan does; written as a select so that loops vectorise.
template <class V>
V raised(V m, V v) {
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
    const std::span<const double> row = block.entries(i);
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
// raised in column_max. Dense rows being rescaled go two at a time, in one
// pass over δ and the column maxima.
void rescale_and_measure(CompactRows& block, const double* epsilon, const double* delta,
                         std::span<double> row_max, std::span<double> column_max) {
  std::optional<std::size_t> waiting;  // a dense row to be rescaled, not yet paired
  for (std::size_t i = 0; i < block.rows(); ++i) {
    if (block.repeats[i]) continue;
    const std::span<double> row = block.entries(i);
    if (block.sparse(i)) {
      const std::vector<std::uint32_t>& support = block.support[i];
      double m = 0.0;
      for (std::size_t e = 0; e < row.size(); ++e) {
        const std::size_t j = support[e];
        if (epsilon != nullptr) row[e] = epsilon[i] * delta[j] * row[e];
        const double v = std::abs(row[e]);
        m = raised(m, v);
        column_max[j] = raised(column_max[j], v);
      }
      row_max[i] = m;
    } else if (epsilon == nullptr) {
      row_max[i] = detail::raise_magnitudes(row.data(), row.size(), column_max.data());
    } else if (!waiting) {
      waiting = i;
    } else {
      double tops[2];
      detail::rescale_raise_two(block.entries(*waiting).data(), row.data(), row.size(), epsilon[*waiting],
                                epsilon[i], delta, column_max.data(), tops);
      row_max[*waiting] = tops[0];
      row_max[i] = tops[1];
      waiting.reset();
    }
  }
  if (waiting) {
    const std::span<double> row = block.entries(*waiting);
    row_max[*waiting] =
        detail::rescale_raise_magnitudes(row.data(), row.size(), epsilon[*waiting], delta, column_max.data());
  }
  // A repeated row's maximum is its earlier row's (the same magnitudes).
  for (std::size_t i = 0; i < block.rows(); ++i) {
    if (block.repeats[i]) row_max[i] = row_max[block.repeats[i]->earlier];
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
        column_max(problem.n(), 0.0),
        epsilon_eq(eq.rows()),
        epsilon_in(in.rows()) {
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
    write_factors_of(eq_max, epsilon_eq);
    write_factors_of(in_max, epsilon_in);
    for (std::size_t i = 0; i < eq.rows(); ++i) scaled.equality_scaling[i] *= epsilon_eq[i];
    for (std::size_t i = 0; i < in.rows(); ++i) scaled.inequality_scaling[i] *= epsilon_in[i];
    std::ranges::fill(column_max, 0.0);
    rescale_and_measure(eq, epsilon_eq.data(), delta.data(), eq_max, column_max);
    rescale_and_measure(in, epsilon_in.data(), delta.data(), in_max, column_max);
  }

 private:
  std::vector<double> epsilon_eq, epsilon_in;  // the pass's row factors, sized once

  static void write_factors_of(std::span<const double> maxima, std::span<double> factors) {
    for (std::size_t i = 0; i < maxima.size(); ++i) factors[i] = scale_factor(maxima[i]);
  }
};

// out = c·s∘v, each entry (c·s_i)·v_i, sized to v (in place when it already
// is); c = 1 gives s∘v exactly.
void write_product(std::vector<double>& out, double c, std::span<const double> scale,
                   std::span<const double> v) {
  out.resize(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = c * scale[i] * v[i];
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
template <class V>
V max_of_either(V a, V b) {
  return ((a < b) | (a != a)) ? b : a;
}

// |P_ij| ≤ d_i·[i=j] + |⟨c_i, c_j⟩| ≤ d_i·[i=j] + r_i·r_j (Cauchy–Schwarz):
// the diagonal entry is r_i² + d_i and every other entry is at most
// r_i·max_j r_j, for the row norms r of C and `largest` = max_j r_j.
template <class V>
V quadratic_estimate(V r, V d, V largest) {
  return max_of_either(r * r + d, r * largest);
}

// The quadratic estimates of every column into `estimates`.
void write_estimates(std::span<const double> row_norms, std::span<const double> diagonal,
                     std::span<double> estimates) {
  const double largest = largest_of(row_norms);
  for (std::size_t i = 0; i < row_norms.size(); ++i)
    estimates[i] = quadratic_estimate(row_norms[i], diagonal[i], largest);
}

// ---- One pass's steps over the n-vectors ----
//
// Each step is one loop that also takes the extremes the next step reads,
// rather than a loop of its own for each: a maximum does not depend on the
// order its set is visited in, and a NaN, whose first occurrence some of
// them return, sends the step back to the plain loops. A step is written
// once for a column value type V (Pair or double) and run by over_columns.

// step<Pair>(j) for j = 0, 2, 4, … while two columns are left, then
// step<double>(j) for the last one.
template <class Step>
void over_columns(std::size_t n, const Step& step) {
  std::size_t j = 0;
  for (; j + kPairLanes <= n; j += kPairLanes) step.template operator()<Pair>(j);
  for (; j < n; ++j) step.template operator()<double>(j);
}

// A running maximum from +0 and a NaN flag, per value type.
template <class V>
struct Extremes {
  V top = splat<V>(0.0);
  decltype(V{} != V{}) nan{};

  void take(V v) {
    top = raised(top, v);
    nan |= v != v;
  }
};

// Both kinds' extremes, with the one of type V picked.
struct BothExtremes {
  Extremes<Pair> pair;
  Extremes<double> one;
  template <class V>
  Extremes<V>& of() {
    if constexpr (std::is_same_v<V, double>) {
      return one;
    } else {
      return pair;
    }
  }
  double top() const { return raised(top_lane(pair.top), one.top); }
  bool nan() const { return any_lane(pair.nan) || any_lane(one.nan); }
};

// δ_j = scale_factor(max(e_j, m_j)) for the quadratic estimates e (row norms
// whose largest is `largest`) and the constraint columns' maxima m; false,
// δ then unfinished, when an estimate is NaN (it is raised through the rows
// in order instead).
bool write_factors(std::span<const double> row_norms, std::span<const double> diagonal, double largest,
                   std::span<const double> column_max, std::span<double> delta) {
  BothExtremes estimates;
  over_columns(delta.size(), [&]<class V>(std::size_t j) {
    const V e = quadratic_estimate(load<V>(&row_norms[j]), load<V>(&diagonal[j]), splat<V>(largest));
    estimates.template of<V>().nan |= e != e;
    store(&delta[j], scale_factor(raised(e, load<V>(&column_max[j]))));
  });
  return !estimates.nan();
}

// ‖v‖∞ as detail::inf_norm takes it, from the extremes of |v_j|: their
// largest ignoring NaN, or the first NaN when there is one.
double inf_norm_from(const BothExtremes& magnitudes, std::span<const double> v) {
  return magnitudes.nan() ? detail::inf_norm(v) : magnitudes.top();
}

// The extremes of the rescaled column data the cost scaling reads.
struct ColumnExtremes {
  double largest_norm;  // max_j r_j
  double linear_norm;   // ‖q‖∞
  double cost_norm;     // ‖c‖∞ (0 without an L1 term)
};

// D ← D∘δ, q ← δ∘q, c ← δ∘c, d ← (δ∘δ)∘d and r ← δ∘r.
ColumnExtremes scale_columns(std::span<const double> delta, std::span<double> column_scaling,
                             std::span<double> linear, std::span<double> costs, std::span<double> diagonal,
                             std::span<double> row_norms) {
  BothExtremes norms, linear_magnitudes, cost_magnitudes;
  over_columns(delta.size(), [&]<class V>(std::size_t j) {
    const V dj = load<V>(&delta[j]);
    store(&column_scaling[j], load<V>(&column_scaling[j]) * dj);
    const V q = dj * load<V>(&linear[j]);
    store(&linear[j], q);
    linear_magnitudes.template of<V>().take(magnitude(q));
    store(&diagonal[j], dj * dj * load<V>(&diagonal[j]));
    const V r = dj * load<V>(&row_norms[j]);
    store(&row_norms[j], r);
    norms.template of<V>().top = raised(norms.template of<V>().top, r);
  });
  over_columns(costs.size(), [&]<class V>(std::size_t j) {
    const V c = load<V>(&delta[j]) * load<V>(&costs[j]);
    store(&costs[j], c);
    cost_magnitudes.template of<V>().take(magnitude(c));
  });
  return {norms.top(), inf_norm_from(linear_magnitudes, linear), inf_norm_from(cost_magnitudes, costs)};
}

// The mean of the quadratic estimates, summed in increasing j.
double mean_estimate(std::span<const double> row_norms, std::span<const double> diagonal, double largest) {
  double sum = 0.0;
  for (std::size_t j = 0; j < row_norms.size(); ++j)
    sum += quadratic_estimate(row_norms[j], diagonal[j], largest);
  return sum / static_cast<double>(std::max<std::size_t>(row_norms.size(), 1));
}

// r ← √γ·r, d ← γ·d, q ← γ·q, c ← γ·c; returns max_j r_j.
double scale_costs(double gamma, double root_gamma, std::span<double> row_norms, std::span<double> diagonal,
                   std::span<double> linear, std::span<double> costs) {
  BothExtremes norms;
  over_columns(row_norms.size(), [&]<class V>(std::size_t j) {
    const V r = splat<V>(root_gamma) * load<V>(&row_norms[j]);
    store(&row_norms[j], r);
    norms.template of<V>().top = raised(norms.template of<V>().top, r);
    store(&diagonal[j], splat<V>(gamma) * load<V>(&diagonal[j]));
    store(&linear[j], splat<V>(gamma) * load<V>(&linear[j]));
  });
  for (double& e : costs) e = gamma * e;
  return norms.top();
}

}  // namespace

// ---- Equilibration ----

// The passes work on the row norms r of C = F·L alone: scaling row i of C by
// δ_i (and all of C by √γ) scales r_i the same way, so C itself is scaled
// once, by `completed`, through the rows of F (Ω kept); the scaled problem
// leaves F, and A_eq, unscaled.
std::expected<std::pair<ScaledProblem, ScaledCompletion>, SolverError> equilibrate_for_iteration(
    const QpProblem& problem, std::uint64_t iterations, const Matrix* lower,
    std::span<const std::optional<RowRepeat>> repeats, std::span<const std::vector<std::uint32_t>> supports) {
  auto norms = covariance_row_norms(problem.quadratic, lower);
  if (!norms) return std::unexpected(norms.error());
  std::vector<double> row_norms = std::move(*norms);
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
  double largest = largest_of(row_norms);  // max_j r_j
  for (std::uint64_t pass = 0; pass < iterations; ++pass) {
    // Column factors from the quadratic estimate and both constraint blocks;
    // row factors from the same, not yet rescaled, constraint blocks.
    if (!write_factors(row_norms, diagonal, largest, blocks.column_max, delta)) {
      write_estimates(row_norms, diagonal, delta);
      blocks.raise(delta);
      for (double& m : delta) m = scale_factor(m);
    }
    const ColumnExtremes extremes =
        scale_columns(delta, scaled.column_scaling, linear, costs, diagonal, row_norms);
    blocks.scale(scaled, delta);

    // Cost scaling: bring the mean quadratic column norm, or the linear / L1
    // data when larger, to unit size. C scales by √γ so that C·Cᵀ scales by γ.
    const double mean = mean_estimate(row_norms, diagonal, extremes.largest_norm);
    const double g = max_ignoring_nan(max_ignoring_nan(mean, extremes.linear_norm), extremes.cost_norm);
    const double gamma = g <= kSmallestNormal ? 1.0 : std::clamp(1.0 / g, kMinScaleFactor, kMaxScaleFactor);
    const double root_gamma = std::sqrt(gamma);
    root_cost *= root_gamma;
    largest = scale_costs(gamma, root_gamma, row_norms, diagonal, linear, costs);
    scaled.cost_scaling *= gamma;
  }

  const auto& d = scaled.column_scaling;
  QpProblem& out = scaled.problem;
  out.quadratic = problem.quadratic.with_diagonal(std::move(diagonal));
  out.linear = std::move(linear);
  out.equalities.matrix = problem.equalities.matrix;
  out.inequalities.matrix = std::move(blocks.in).written_over(problem.inequalities.matrix);
  scaled.set_equality_rhs(problem.equalities.rhs);
  scaled.set_inequality_rhs(problem.inequalities.rhs);
  write_quotient(out.lower_bounds, problem.lower_bounds, d);
  write_quotient(out.upper_bounds, problem.upper_bounds, d);
  if (problem.l1) {
    out.l1 = L1Term{std::move(costs), {}};
    scaled.set_l1_anchor(problem.l1->anchor);
  }
  if (problem.leverage) {
    // Σ wᵢ|xᵢ| = Σ wᵢ·Dᵢ·|x̂ᵢ| with x = D·x̂.
    out.leverage = GrossLeverage{problem.leverage->limit, std::vector<double>(d.size())};
    for (std::size_t i = 0; i < d.size(); ++i) out.leverage->weights[i] = problem.leverage->weight(i) * d[i];
  }
  return std::pair{std::move(scaled), ScaledCompletion{root_cost, std::move(blocks.eq)}};
}

ScaledProblem completed(const ScaledProblem& partial, const ScaledCompletion& completion) {
  ScaledProblem full = partial;
  // F_s = √c·D·F, row i scaled by the one factor √c·D_i.
  const Matrix& factors = partial.problem.quadratic.factors();
  const std::size_t k = factors.cols();
  std::vector<double> data(factors.data().size());
  for (std::size_t i = 0; i < factors.rows(); ++i) {
    const double row_scale = completion.root_cost * partial.column_scaling[i];
    const auto row = factors.row(i);
    for (std::size_t l = 0; l < k; ++l) data[i * k + l] = row_scale * row[l];
  }
  full.problem.quadratic.written_factors() = *Matrix::create(factors.rows(), k, std::move(data));
  full.problem.equalities.matrix = completion.equalities.written_over(partial.problem.equalities.matrix);
  return full;
}

std::expected<ScaledProblem, SolverError> ScaledProblem::equilibrate(const QpProblem& problem,
                                                                     std::uint64_t iterations) {
  auto parts = equilibrate_for_iteration(problem, iterations);
  if (!parts) return std::unexpected(parts.error());
  return completed(parts->first, parts->second);
}

// ---- Unscaled data written into the scaled problem ----

void ScaledProblem::set_equality_rhs(std::span<const double> rhs) {
  write_product(problem.equalities.rhs, 1.0, equality_scaling, rhs);
}

void ScaledProblem::set_inequality_rhs(std::span<const double> rhs) {
  write_product(problem.inequalities.rhs, 1.0, inequality_scaling, rhs);
}

void ScaledProblem::set_linear(std::span<const double> linear) {
  write_product(problem.linear, cost_scaling, column_scaling, linear);
}

void ScaledProblem::set_l1_anchor(std::span<const double> anchor) {
  if (problem.l1) write_quotient(problem.l1->anchor, anchor, column_scaling);
}

void ScaledProblem::set_bounds(std::span<const double> lower, std::span<const double> upper) {
  write_quotient(problem.lower_bounds, lower, column_scaling);
  write_quotient(problem.upper_bounds, upper, column_scaling);
}

void ScaledProblem::set_l1_costs(std::span<const double> costs) {
  if (problem.l1) write_product(problem.l1->costs, cost_scaling, column_scaling, costs);
}

// ---- Iterates between scaled and unscaled units ----

namespace {

// v_i ← f(v_i, s_i) over the common length of v and s.
template <class F>
void map_scaled(std::span<double> v, std::span<const double> s, F f) {
  for (std::size_t i = 0; i < std::min(v.size(), s.size()); ++i) v[i] = f(v[i], s[i]);
}

}  // namespace

void ScaledProblem::scale_iterates_in_place(std::span<double> x, DualVariables& duals) const {
  const double c = cost_scaling;
  const auto row_dual = [c](double y, double e) { return c * y / e; };
  const auto column_dual = [c](double y, double d) { return c * d * y; };
  map_scaled(x, column_scaling, [](double v, double d) { return v / d; });
  map_scaled(duals.equalities, equality_scaling, row_dual);
  map_scaled(duals.inequalities, inequality_scaling, row_dual);
  map_scaled(duals.bounds, column_scaling, column_dual);
  map_scaled(duals.l1, column_scaling, column_dual);
}

std::pair<std::vector<double>, DualVariables> unscaled_iterates(const ScaledProblem* scaled,
                                                                std::span<const double> x_scaled,
                                                                const DualVariables& duals_scaled) {
  std::vector<double> x(x_scaled.begin(), x_scaled.end());
  DualVariables duals = duals_scaled;
  if (scaled == nullptr) return {std::move(x), std::move(duals)};

  const double c = scaled->cost_scaling;
  const auto row_dual = [c](double y, double e) { return e * y / c; };
  const auto column_dual = [c](double y, double d) { return y / (c * d); };
  map_scaled(x, scaled->column_scaling, [](double v, double d) { return d * v; });
  map_scaled(duals.equalities, scaled->equality_scaling, row_dual);
  map_scaled(duals.inequalities, scaled->inequality_scaling, row_dual);
  map_scaled(duals.bounds, scaled->column_scaling, column_dual);
  map_scaled(duals.l1, scaled->column_scaling, column_dual);
  return {std::move(x), std::move(duals)};
}

}  // namespace morva
