#include "morva/workspace.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "detail/termination.hpp"
#include "detail/vector_ops.hpp"
#include "morva/certificate.hpp"
#include "morva/kkt.hpp"
#include "morva/polish.hpp"

namespace morva {
namespace {

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

using detail::all_finite;

// S(v, t): the proximal map of t·|·| (soft thresholding).
inline double soft_threshold(double v, double t) {
  if (v > t) return v - t;
  if (v < -t) return v + t;
  return 0.0;
}

// min(max(v, l), u); l ≤ u holds for a validated box, infinite sides pass v through.
inline double clamp_to_box(double v, double l, double u) {
  return std::min(std::max(v, l), u);
}

// Rows per group in the accumulations of an ADMM pass.
constexpr std::size_t kRowGroup = 4;

// The iterate of one solve in the iteration space, with every buffer the loop
// needs. Sized once before the first iteration; the loop only swaps vectors.
struct AdmmState {
  std::size_t n = 0;
  std::size_t m_eq = 0;
  std::size_t m_in = 0;
  std::size_t n_l1 = 0;

  std::vector<double> x;
  std::vector<double> z_eq, z_in, z_box, z_l1;
  DualVariables y;  // y_eq, y_in, y_box, y_l1

  // x̃ and the next box / L1 blocks are written beside the current ones and
  // swapped in only once x̃ is known to be finite, so a failed iteration leaves
  // the iterate untouched; after the swap they hold the previous z blocks,
  // which the consensus dual residual needs.
  std::vector<double> x_next, z_box_next, y_box_next, z_l1_next, y_l1_next;
  std::vector<double> z_in_before;  // z_in at the start of the z-update
  std::vector<double> image;        // [A_eq·x̃ ; A_in·x̃]
  std::vector<double> weights;      // [(ρz_eq − y_eq) ; (ρz_in − y_in)] / √ρ
  std::vector<double> reduced;      // t = UᵀG⁻¹r, then w = S⁻¹t (h entries)
  std::vector<double> scaled_rhs;   // G⁻¹r (n)
  std::vector<double> scratch;      // n, for the consensus dual residual

  AdmmState(std::size_t n_, std::size_t m_eq_, std::size_t m_in_, std::size_t n_l1_, std::size_t h)
      : n(n_),
        m_eq(m_eq_),
        m_in(m_in_),
        n_l1(n_l1_),
        z_eq(m_eq_),
        z_in(m_in_),
        z_box(n_),
        z_l1(n_l1_),
        x_next(n_),
        z_box_next(n_),
        y_box_next(n_),
        z_l1_next(n_l1_),
        y_l1_next(n_l1_),
        z_in_before(m_in_),
        image(m_eq_ + m_in_),
        weights(m_eq_ + m_in_),
        reduced(h),
        scaled_rhs(n_),
        scratch(n_) {}
};

// The relaxed box and L1 updates of rows [first, last) from x̃ (step 6.4),
// written beside the current blocks. Every row is independent; with vector
// extensions two rows go at once, the comparisons of clamp_to_box and
// soft_threshold becoming lane selects with the same outcomes.
struct RowUpdate {
  double alpha, keep, rho, inv_rho;
  const double* x_next;
  const double *z_box, *y_box, *lower, *upper;
  const double *z_l1, *y_l1, *anchor, *costs;  // null without an L1 term
  double *z_box_next, *y_box_next, *z_l1_next, *y_l1_next;

  void scalar(std::size_t r) const {
    const double xt = x_next[r];
    const double relaxed_box = keep * z_box[r] + alpha * xt;
    const double zb = clamp_to_box(relaxed_box + y_box[r] * inv_rho, lower[r], upper[r]);
    z_box_next[r] = zb;
    y_box_next[r] = y_box[r] + rho * (relaxed_box - zb);
    if (z_l1 != nullptr) {
      const double relaxed_l1 = keep * z_l1[r] + alpha * (xt - anchor[r]);
      const double zl = soft_threshold(relaxed_l1 + y_l1[r] * inv_rho, costs[r] * inv_rho);
      z_l1_next[r] = zl;
      y_l1_next[r] = y_l1[r] + rho * (relaxed_l1 - zl);
    }
  }

  void rows(std::size_t first, std::size_t last) const {
    std::size_t r = first;
#if defined(__GNUC__)
    using detail::Lanes2;
    using detail::load2;
    using detail::store2;
    const Lanes2 alpha2 = {alpha, alpha};
    const Lanes2 keep2 = {keep, keep};
    const Lanes2 rho2 = {rho, rho};
    const Lanes2 inv_rho2 = {inv_rho, inv_rho};
    const Lanes2 zero = {0.0, 0.0};
    for (; r + 2 <= last; r += 2) {
      const Lanes2 xt = load2(x_next + r);
      const Lanes2 yb = load2(y_box + r);
      const Lanes2 lo = load2(lower + r);
      const Lanes2 hi = load2(upper + r);
      const Lanes2 relaxed_box = keep2 * load2(z_box + r) + alpha2 * xt;
      const Lanes2 v = relaxed_box + yb * inv_rho2;
      const Lanes2 above = v < lo ? lo : v;       // std::max(v, l)
      const Lanes2 zb = hi < above ? hi : above;  // std::min(·, u)
      store2(z_box_next + r, zb);
      store2(y_box_next + r, yb + rho2 * (relaxed_box - zb));
      if (z_l1 != nullptr) {
        const Lanes2 yl = load2(y_l1 + r);
        const Lanes2 relaxed_l1 = keep2 * load2(z_l1 + r) + alpha2 * (xt - load2(anchor + r));
        const Lanes2 w = relaxed_l1 + yl * inv_rho2;
        const Lanes2 t = load2(costs + r) * inv_rho2;
        const Lanes2 zl = w > t ? w - t : (w < -t ? w + t : zero);
        store2(z_l1_next + r, zl);
        store2(y_l1_next + r, yl + rho2 * (relaxed_l1 - zl));
      }
    }
#endif
    for (; r < last; ++r) scalar(r);
  }
};

// One relaxed ADMM iteration (steps 6.1–6.5) with the factorisation `system`
// of the iteration problem at penalty rho. Returns false, leaving the iterate
// as it was, when the linear-system solution x̃ is not finite.
//
// The system is K = G + U·Uᵀ with U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ], so the
// constraint columns of U already hold the constraint rows:
//   A_eqᵀ(ρz_eq − y_eq) + A_inᵀ(ρz_in − y_in) = U_cons·v,  v = (ρz − y)/√ρ,
//   A·x̃ = U_consᵀ·x̃ / √ρ.
// Woodbury, x̃ = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r, then needs two streams over the rows
// of U: pass 1 forms r_i, g_i = G⁻¹_i·r_i and t = Uᵀg; after the h×h solve
// w = S⁻¹t, pass 2 forms x̃_i = g_i − G⁻¹_i·(U_i·w) and accumulates A·x̃; the
// box and L1 updates then run over the rows.
//
// Columns [0, p) of U are read densely; the sparse tail after them (rows of
// constraints that touch few assets) only through its nonzero entries, which
// drops exact zeros from every sum. Rows go in groups of kRowGroup through the
// accumulations into t and A·x̃, each entry still taking the rows in order.
bool admm_iteration(const FactorizedSystem& system, const QpProblem& problem, double rho, double sigma,
                    double alpha, AdmmState& s) {
  const SmwSystem& smw = system.smw;
  const Matrix& low_rank = smw.low_rank();
  const SparseColumns& tail = smw.sparse_tail();
  const std::size_t n = s.n;
  const std::size_t h = low_rank.cols();
  const std::size_t k = system.factors;
  const std::size_t m = s.m_eq + s.m_in;
  const std::size_t p = smw.dense_width();
  const std::size_t dense_constraints = p > k ? p - k : 0;  // constraint columns in [k, p)
  const bool has_tail = p < h;
  const double* u_data = low_rank.data().data();
  const double* inverse_diagonal = smw.inverse_diagonal().data();
  const double inv_sqrt_rho = 1.0 / std::sqrt(rho);
  const double inv_rho = 1.0 / rho;
  const double keep = 1.0 - alpha;
  const bool has_l1 = s.n_l1 > 0;

  double* weights = s.weights.data();
  for (std::size_t e = 0; e < s.m_eq; ++e) weights[e] = (rho * s.z_eq[e] - s.y.equalities[e]) * inv_sqrt_rho;
  for (std::size_t i = 0; i < s.m_in; ++i) {
    weights[s.m_eq + i] = (rho * s.z_in[i] - s.y.inequalities[i]) * inv_sqrt_rho;
  }

  const double* x = s.x.data();
  const double* q = problem.linear.data();
  const double* z_box = s.z_box.data();
  const double* y_box = s.y.bounds.data();
  const double* z_l1 = has_l1 ? s.z_l1.data() : nullptr;
  const double* y_l1 = has_l1 ? s.y.l1.data() : nullptr;
  const double* anchor = has_l1 ? problem.l1->anchor.data() : nullptr;
  const double* costs = has_l1 ? problem.l1->costs.data() : nullptr;
  const std::size_t* tail_start = has_tail ? tail.row_start.data() : nullptr;
  const std::size_t* tail_column = has_tail ? tail.column.data() : nullptr;
  const double* tail_value = has_tail ? tail.value.data() : nullptr;
  double* g = s.scaled_rhs.data();
  double* t = s.reduced.data();
  std::fill(s.reduced.begin(), s.reduced.end(), 0.0);

  // Pass 1: r = σx − q + (ρz_box − y_box) + [L1](ρ(z_l1 + a) − y_l1) + U_cons·v;
  // g = G⁻¹∘r; t = Uᵀg. The terms without U first, row by row into g.
  for (std::size_t i = 0; i < n; ++i) g[i] = sigma * x[i] - q[i] + (rho * z_box[i] - y_box[i]);
  if (has_l1) {
    for (std::size_t i = 0; i < n; ++i) g[i] += rho * (z_l1[i] + anchor[i]) - y_l1[i];
  }
  const auto scaled_rhs = [&](std::size_t i) {
    const double* u = u_data + i * h;
    double pull = detail::dot4(u + k, weights, dense_constraints);
    if (has_tail) {
      for (std::size_t e = tail_start[i]; e < tail_start[i + 1]; ++e) {
        if (tail_column[e] >= k) pull += tail_value[e] * weights[tail_column[e] - k];
      }
    }
    return inverse_diagonal[i] * (g[i] + pull);
  };
  std::size_t i = 0;
  for (; i + kRowGroup <= n; i += kRowGroup) {
    const double* u0 = u_data + i * h;
    const double* u1 = u0 + h;
    const double* u2 = u1 + h;
    const double* u3 = u2 + h;
    const double g0 = g[i] = scaled_rhs(i);
    const double g1 = g[i + 1] = scaled_rhs(i + 1);
    const double g2 = g[i + 2] = scaled_rhs(i + 2);
    const double g3 = g[i + 3] = scaled_rhs(i + 3);
    for (std::size_t c = 0; c < p; ++c) t[c] = (((t[c] + u0[c] * g0) + u1[c] * g1) + u2[c] * g2) + u3[c] * g3;
  }
  for (; i < n; ++i) {
    const double* u = u_data + i * h;
    const double gi = g[i] = scaled_rhs(i);
    for (std::size_t c = 0; c < p; ++c) t[c] += u[c] * gi;
  }
  if (has_tail) {
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t e = tail_start[r]; e < tail_start[r + 1]; ++e)
        t[tail_column[e]] += tail_value[e] * g[r];
    }
  }

  if (h > 0) smw.solve_capacitance_in_place(s.reduced);
  const double* w = t;

  double* image = s.image.data();
  std::fill(s.image.begin(), s.image.end(), 0.0);
  double* x_next = s.x_next.data();
  bool finite = true;

  // Pass 2: x̃ = g − G⁻¹∘(U·w); A·x̃ accumulated from the constraint columns.
  const auto solved = [&](std::size_t r) {
    const double* u = u_data + r * h;
    double uw = detail::dot4(u, w, p);
    if (has_tail) {
      for (std::size_t e = tail_start[r]; e < tail_start[r + 1]; ++e) uw += tail_value[e] * w[tail_column[e]];
    }
    const double xt = g[r] - inverse_diagonal[r] * uw;
    finite &= std::isfinite(xt);
    x_next[r] = xt;
    return xt;
  };
  for (i = 0; i + kRowGroup <= n; i += kRowGroup) {
    const double* u0 = u_data + i * h + k;
    const double* u1 = u0 + h;
    const double* u2 = u1 + h;
    const double* u3 = u2 + h;
    const double xt0 = solved(i);
    const double xt1 = solved(i + 1);
    const double xt2 = solved(i + 2);
    const double xt3 = solved(i + 3);
    for (std::size_t c = 0; c < dense_constraints; ++c) {
      image[c] = (((image[c] + u0[c] * xt0) + u1[c] * xt1) + u2[c] * xt2) + u3[c] * xt3;
    }
  }
  for (; i < n; ++i) {
    const double* u = u_data + i * h + k;
    const double xt = solved(i);
    for (std::size_t c = 0; c < dense_constraints; ++c) image[c] += u[c] * xt;
  }
  if (has_tail) {
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t e = tail_start[r]; e < tail_start[r + 1]; ++e) {
        if (tail_column[e] >= k) image[tail_column[e] - k] += tail_value[e] * x_next[r];
      }
    }
  }
  if (!finite) return false;

  // The relaxed box and L1 updates of every row.
  const RowUpdate update{alpha,
                         keep,
                         rho,
                         inv_rho,
                         x_next,
                         z_box,
                         y_box,
                         problem.lower_bounds.data(),
                         problem.upper_bounds.data(),
                         z_l1,
                         y_l1,
                         anchor,
                         costs,
                         s.z_box_next.data(),
                         s.y_box_next.data(),
                         has_l1 ? s.z_l1_next.data() : nullptr,
                         has_l1 ? s.y_l1_next.data() : nullptr};
  update.rows(0, n);
  for (std::size_t c = 0; c < m; ++c) image[c] *= inv_sqrt_rho;

  // Equality block: z_eq stays b_eq.
  for (std::size_t e = 0; e < s.m_eq; ++e) {
    s.y.equalities[e] += rho * (keep * s.z_eq[e] + alpha * image[e] - s.z_eq[e]);
  }
  // Inequality block: projection onto {z ≤ b_in}.
  std::copy(s.z_in.begin(), s.z_in.end(), s.z_in_before.begin());
  const double* b_in = problem.inequalities.rhs.data();
  for (std::size_t i = 0; i < s.m_in; ++i) {
    const double relaxed = keep * s.z_in[i] + alpha * image[s.m_eq + i];
    const double z = std::min(relaxed + s.y.inequalities[i] * inv_rho, b_in[i]);
    s.z_in[i] = z;
    s.y.inequalities[i] += rho * (relaxed - z);
  }
  std::swap(s.z_box, s.z_box_next);
  std::swap(s.y.bounds, s.y_box_next);
  if (has_l1) {
    std::swap(s.z_l1, s.z_l1_next);
    std::swap(s.y.l1, s.y_l1_next);
  }
  std::swap(s.x, s.x_next);
  return true;
}

// Initial z-blocks from the (scaled) starting point.
void initial_z(const QpProblem& problem, double rho, AdmmState& s) {
  s.z_eq = problem.equalities.rhs;
  const Matrix& a_in = problem.inequalities.matrix;
  for (std::size_t i = 0; i < s.m_in; ++i) {
    const auto row = a_in.row(i);
    double image = 0.0;
    for (std::size_t j = 0; j < s.n; ++j) image += row[j] * s.x[j];
    s.z_in[i] = std::min(image + s.y.inequalities[i] / rho, problem.inequalities.rhs[i]);
  }
  for (std::size_t j = 0; j < s.n; ++j) {
    s.z_box[j] = clamp_to_box(s.x[j] + s.y.bounds[j] / rho, problem.lower_bounds[j], problem.upper_bounds[j]);
  }
  for (std::size_t j = 0; j < s.n_l1; ++j) {
    s.z_l1[j] = soft_threshold(s.x[j] - problem.l1->anchor[j] + s.y.l1[j] / rho, problem.l1->costs[j] / rho);
  }
}

SolveTime elapsed_since(Clock::time_point start) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  const auto nanos = static_cast<std::uint64_t>(std::max<std::chrono::nanoseconds::rep>(elapsed, 0));
  return {nanos / kNanosPerSecond, static_cast<std::uint32_t>(nanos % kNanosPerSecond)};
}

// A replacement vector for an update: length first, then finiteness.
std::expected<void, ProblemError> check_update(std::span<const double> values, std::size_t expected,
                                               const char* name) {
  if (values.size() != expected)
    return std::unexpected(ProblemError::dimension_mismatch(name, expected, values.size()));
  if (!all_finite(values)) return std::unexpected(ProblemError::non_finite(name));
  return {};
}

}  // namespace

std::vector<double> difference(std::span<const double> a, std::span<const double> b) {
  const std::size_t len = std::min(a.size(), b.size());
  std::vector<double> out(len);
  for (std::size_t i = 0; i < len; ++i) out[i] = a[i] - b[i];
  return out;
}

std::expected<std::vector<double>, SolverError> warm_vector(const std::optional<std::vector<double>>& block,
                                                            std::string_view name,
                                                            std::size_t expected_length) {
  if (!block) return std::vector<double>(expected_length, 0.0);
  if (block->size() != expected_length) {
    return std::unexpected(SolverError::warm_start_length(std::string(name), block->size(), expected_length));
  }
  if (!all_finite(*block)) return std::unexpected(SolverError::warm_start_non_finite(std::string(name)));
  return *block;
}

std::expected<Workspace, SolverError> Workspace::create(SolverSettings settings, QpProblem problem) {
  if (auto valid = problem.validate(); !valid)
    return std::unexpected(SolverError::from_problem(valid.error()));
  if (auto valid = validate_settings(settings); !valid) return std::unexpected(valid.error());

  Workspace workspace;
  if (settings.scaling_iterations > 0) {
    auto columns = covariance_columns(problem.quadratic);
    if (!columns) return std::unexpected(columns.error());
    workspace.scaled_ = ScaledProblem::equilibrate(problem, *columns, settings.scaling_iterations);
  }
  const QpProblem& iteration_problem = workspace.scaled_ ? workspace.scaled_->problem : problem;
  auto system = FactorizedSystem::create(iteration_problem, settings.rho, settings.sigma);
  if (!system) return std::unexpected(system.error());

  workspace.systems_.emplace_back(settings.rho, std::move(*system));
  workspace.problem_ = std::move(problem);
  workspace.settings_ = settings;
  workspace.factorizations_ = 1;
  return workspace;
}

std::expected<Solution, SolverError> Workspace::solve_from(Clock::time_point start,
                                                           const std::optional<WarmStart>& warm_start) {
  const SolverSettings settings = settings_;
  const std::size_t n = problem_.n();
  const std::size_t m_eq = problem_.m_eq();
  const std::size_t m_in = problem_.m_in();
  const std::size_t n_l1 = problem_.l1 ? n : 0;

  // Starting point in unscaled units.
  std::vector<double> start_x(n, 0.0);
  if (warm_start) {
    if (warm_start->x.size() != n)
      return std::unexpected(SolverError::warm_start_length("x", warm_start->x.size(), n));
    if (!all_finite(warm_start->x)) return std::unexpected(SolverError::warm_start_non_finite("x"));
    start_x = warm_start->x;
  }
  static const std::optional<std::vector<double>> kAbsent;
  DualVariables start_duals;
  {
    auto block = warm_vector(warm_start ? warm_start->equality_dual : kAbsent, "equality_dual", m_eq);
    if (!block) return std::unexpected(block.error());
    start_duals.equalities = std::move(*block);
    block = warm_vector(warm_start ? warm_start->inequality_dual : kAbsent, "inequality_dual", m_in);
    if (!block) return std::unexpected(block.error());
    start_duals.inequalities = std::move(*block);
    block = warm_vector(warm_start ? warm_start->bound_dual : kAbsent, "bound_dual", n);
    if (!block) return std::unexpected(block.error());
    start_duals.bounds = std::move(*block);
    block = warm_vector(warm_start ? warm_start->l1_dual : kAbsent, "l1_dual", n_l1);
    if (!block) return std::unexpected(block.error());
    start_duals.l1 = std::move(*block);
  }

  const QpProblem& iteration_problem = scaled_ ? scaled_->problem : problem_;
  const ScaledProblem* scaled = scaled_ ? &*scaled_ : nullptr;

  // Penalty and its factorisation.
  double rho = settings.rho;
  if (auto ready = ensure_system(systems_, factorizations_, iteration_problem, rho, settings.sigma); !ready) {
    return std::unexpected(ready.error());
  }

  AdmmState state(n, m_eq, m_in, n_l1, systems_.front().second.smw.rank());
  state.x = start_x;
  state.y = start_duals;
  if (scaled) scaled->scale_iterates_in_place(state.x, state.y);
  initial_z(iteration_problem, rho, state);

  // The last unscaled iterate, for the infeasibility tests (differences of
  // successive checked iterates).
  const bool detect_infeasibility = settings.infeasibility_tolerance > 0.0;
  std::vector<double> kept_x;
  DualVariables kept_duals;
  if (detect_infeasibility) {
    kept_x = std::move(start_x);
    kept_duals = std::move(start_duals);
  }

  SolveStatus status = SolveStatus::MaxIterations;
  std::optional<Certificate> certificate;
  std::uint64_t rho_updates = 0;
  std::uint64_t k = 0;
  const FactorizedSystem* system = &systems_.front().second;

  for (k = 1;; ++k) {
    if (!admm_iteration(*system, iteration_problem, rho, settings.sigma, settings.over_relaxation, state)) {
      status = SolveStatus::NumericalFailure;
      break;
    }

    if (k % settings.check_termination_every == 0 || k == settings.max_iterations) {
      auto [x, duals] = unscaled_iterates(scaled, state.x, state.y);
      const detail::IterateProducts products = detail::iterate_products(problem_, x);
      auto residuals = detail::check_kkt(problem_, x, duals, products);
      if (!residuals) return std::unexpected(SolverError::length_mismatch(residuals.error()));
      const StoppingTolerances tolerances = detail::stopping_tolerances(
          settings.absolute_tolerance, settings.relative_tolerance, problem_, x, duals, products);
      if (is_converged(*residuals, tolerances)) {
        status = SolveStatus::Solved;
        break;
      }
      if (detect_infeasibility) {
        const PrimalCertificate candidate{difference(duals.equalities, kept_duals.equalities),
                                          difference(duals.inequalities, kept_duals.inequalities),
                                          difference(duals.bounds, kept_duals.bounds)};
        if (auto farkas =
                detect_primal_infeasibility(problem_, candidate, settings.infeasibility_tolerance)) {
          status = SolveStatus::PrimalInfeasible;
          certificate = Certificate{std::move(*farkas)};
          break;
        }
        const std::vector<double> step = difference(x, kept_x);
        if (auto ray = detect_dual_infeasibility(problem_, step, settings.infeasibility_tolerance)) {
          status = SolveStatus::DualInfeasible;
          certificate = Certificate{DualCertificate{std::move(*ray)}};
          break;
        }
        kept_x = std::move(x);
        kept_duals = std::move(duals);
      }
    }

    if (settings.adaptive_rho && k % settings.adaptive_rho_interval == 0 && k < settings.max_iterations) {
      const std::span<const double> image(state.image);
      const double primal =
          consensus_primal_residual(iteration_problem, image.first(m_eq), state.z_eq, image.subspan(m_eq),
                                    state.z_in, state.x, state.z_box, state.z_l1);
      // After the swap inside the iteration, the *_next buffers hold the z blocks before the update.
      const double dual =
          consensus_dual_residual(rho, iteration_problem, state.z_in_before, state.z_in, state.z_box_next,
                                  state.z_box, state.z_l1_next, state.z_l1, state.scratch);
      const double proposal = propose_rho(settings, rho, primal, dual);
      if (proposal != rho) {
        if (auto ready =
                ensure_system(systems_, factorizations_, iteration_problem, proposal, settings.sigma);
            !ready) {
          return std::unexpected(ready.error());
        }
        system = &systems_.front().second;
        rho = proposal;
        ++rho_updates;
      }
    }

    if (k >= settings.max_iterations) {
      status = SolveStatus::MaxIterations;
      break;
    }
  }

  Solution solution;
  solution.status = status;
  auto [x, duals] = unscaled_iterates(scaled, state.x, state.y);
  solution.x = std::move(x);
  solution.dual = std::move(duals);

  if (status == SolveStatus::NumericalFailure) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    solution.residuals = {kInf, kInf, kInf};
  } else {
    auto residuals = check_kkt(problem_, solution.x, solution.dual);
    if (!residuals) return std::unexpected(SolverError::length_mismatch(residuals.error()));
    solution.residuals = *residuals;
    if (status == SolveStatus::Solved && settings.polish) {
      if (auto polished = polish(problem_, solution.x, solution.dual, solution.residuals, settings)) {
        solution.x = std::move(polished->x);
        solution.dual = std::move(polished->duals);
        solution.residuals = polished->residuals;
        solution.polished = true;
      }
    }
  }
  if (status != SolveStatus::Solved) {
    solution.diagnostics = diagnose_failure(problem_, solution.x, solution.dual, solution.residuals, rho,
                                            status, certificate, rho_updates, settings);
  }
  solution.certificate = std::move(certificate);
  solution.iterations = k;
  solution.final_rho = rho;
  solution.rho_updates = rho_updates;
  solution.objective = problem_.objective(solution.x);
  solution.solve_time = elapsed_since(start);
  return solution;
}

std::expected<void, ProblemError> Workspace::update_inequality_rhs(std::span<const double> rhs) {
  if (auto valid = check_update(rhs, problem_.m_in(), "inequalities.rhs"); !valid) return valid;
  problem_.inequalities.rhs.assign(rhs.begin(), rhs.end());
  if (scaled_) {
    auto& scaled_rhs = scaled_->problem.inequalities.rhs;
    for (std::size_t i = 0; i < rhs.size(); ++i) scaled_rhs[i] = scaled_->inequality_scaling[i] * rhs[i];
  }
  return {};
}

std::expected<void, ProblemError> Workspace::update_equality_rhs(std::span<const double> rhs) {
  if (auto valid = check_update(rhs, problem_.m_eq(), "equalities.rhs"); !valid) return valid;
  problem_.equalities.rhs.assign(rhs.begin(), rhs.end());
  if (scaled_) {
    auto& scaled_rhs = scaled_->problem.equalities.rhs;
    for (std::size_t i = 0; i < rhs.size(); ++i) scaled_rhs[i] = scaled_->equality_scaling[i] * rhs[i];
  }
  return {};
}

std::expected<void, ProblemError> Workspace::update_linear(std::span<const double> linear) {
  if (auto valid = check_update(linear, problem_.n(), "linear"); !valid) return valid;
  problem_.linear.assign(linear.begin(), linear.end());
  if (scaled_) {
    // q_s = c·D∘q
    auto& scaled_linear = scaled_->problem.linear;
    const double cost = scaled_->cost_scaling;
    for (std::size_t j = 0; j < linear.size(); ++j)
      scaled_linear[j] = cost * scaled_->column_scaling[j] * linear[j];
  }
  return {};
}

std::expected<void, ProblemError> Workspace::update_l1_anchor(std::span<const double> anchor) {
  // Without an L1 term there is no anchor: only the empty vector matches it.
  const std::size_t expected = problem_.l1 ? problem_.l1->anchor.size() : 0;
  if (auto valid = check_update(anchor, expected, "l1.anchor"); !valid) return valid;
  if (!problem_.l1) return {};
  problem_.l1->anchor.assign(anchor.begin(), anchor.end());
  if (scaled_ && scaled_->problem.l1) {
    // a_s = a/D
    auto& scaled_anchor = scaled_->problem.l1->anchor;
    for (std::size_t j = 0; j < anchor.size(); ++j) scaled_anchor[j] = anchor[j] / scaled_->column_scaling[j];
  }
  return {};
}

}  // namespace morva
