#include "morva/workspace.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "acceleration.hpp"
#include "admm_state.hpp"
#include "convergence.hpp"
#include "covariance_columns.hpp"
#include "detail/vector_ops.hpp"
#include "equilibration.hpp"
#include "kkt_internal.hpp"
#include "linalg.hpp"
#include "matrix_products.hpp"
#include "morva/certificate.hpp"
#include "morva/kkt.hpp"
#include "morva/polish.hpp"
#include "penalty.hpp"
#include "polish_internal.hpp"
#include "profile_rule.hpp"
#include "stored_columns.hpp"
#include "stored_products.hpp"
#include "termination.hpp"

namespace morva {

// The workspace's ScaledProblem written out, once.
struct CompletedScaling {
  std::once_flag once;
  std::optional<ScaledProblem> problem;
};

CompletedHolder::CompletedHolder() : value_(std::make_unique<CompletedScaling>()) {}
CompletedHolder::CompletedHolder(const CompletedHolder&) : CompletedHolder() {}
CompletedHolder::CompletedHolder(CompletedHolder&&) noexcept = default;
CompletedHolder& CompletedHolder::operator=(const CompletedHolder& other) {
  if (this != &other) value_ = std::make_unique<CompletedScaling>();
  return *this;
}
CompletedHolder& CompletedHolder::operator=(CompletedHolder&&) noexcept = default;
CompletedHolder::~CompletedHolder() = default;

namespace {

using detail::all_finite;

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
  if (problem.leverage) {
    for (std::size_t j = 0; j < s.n; ++j) s.scratch[j] = s.x[j] + s.y.bounds[j] / rho;
    s.leverage_theta = project_box_and_leverage(s.scratch, problem.lower_bounds, problem.upper_bounds,
                                                *problem.leverage, 0.0, s.z_box);
  }
  for (std::size_t j = 0; j < s.n_l1; ++j) {
    s.z_l1[j] = soft_threshold(s.x[j] - problem.l1->anchor[j] + s.y.l1[j] / rho, problem.l1->costs[j] / rho);
  }
}

// ---- One ADMM iteration, step by step ----
//
// The system is K = G + U·Uᵀ with U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ], so the
// constraint columns of U (from column k on) already hold the constraint rows:
//   A_eqᵀ(ρz_eq − y_eq) + A_inᵀ(ρz_in − y_in) = U_cons·v,  v = (ρz − y)/√ρ,
//   A·x̃ = U_consᵀ·x̃ / √ρ.
// With r = b + U_cons·v (b the terms without U), Woodbury gives
// x̃ = G⁻¹b − G⁻¹U·S⁻¹·(UᵀG⁻¹b − [0; v]): two streams over the rows of V
// (SmwSystem::project_rhs and back_substitute) around the h×h capacitance
// solve; b is formed, and the box and L1 updates run, block by block inside
// those streams, and the constraint blocks follow over A·x̃.

// The relaxed box and L1 updates of rows [first, last) from x̃,
// written beside the current blocks. Every row is independent; with vector
// extensions two rows go at once, the comparisons of clamp_to_box and
// soft_threshold becoming lane selects with the same outcomes.
struct RowUpdate {
  double alpha, keep, rho, inv_rho;
  const double* x_next;
  const double *z_box, *y_box, *lower, *upper;
  const double *z_l1, *y_l1, *anchor, *costs;  // null without an L1 term
  double *z_box_next, *y_box_next, *z_l1_next, *y_l1_next;
  // With a leverage limit the box projection needs every row's point first:
  // z_box_next takes v = relaxed + y/ρ, and project_leverage finishes.
  bool defer_box = false;

  void scalar(std::size_t r) const {
    const double xt = x_next[r];
    const double relaxed_box = keep * z_box[r] + alpha * xt;
    if (defer_box) {
      z_box_next[r] = relaxed_box + y_box[r] * inv_rho;
    } else {
      const double zb = clamp_to_box(relaxed_box + y_box[r] * inv_rho, lower[r], upper[r]);
      z_box_next[r] = zb;
      y_box_next[r] = y_box[r] + rho * (relaxed_box - zb);
    }
    if (z_l1 != nullptr) {
      const double relaxed_l1 = keep * z_l1[r] + alpha * (xt - anchor[r]);
      const double zl = soft_threshold(relaxed_l1 + y_l1[r] * inv_rho, costs[r] * inv_rho);
      z_l1_next[r] = zl;
      y_l1_next[r] = y_l1[r] + rho * (relaxed_l1 - zl);
    }
  }

  void rows(std::size_t first, std::size_t last) const {
    if (defer_box) {
      for (std::size_t r = first; r < last; ++r) scalar(r);
      return;
    }
    std::size_t r = first;
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
    for (; r < last; ++r) scalar(r);
  }
};

// The values of one iteration derived from the penalty and the relaxation.
struct IterationScalars {
  double rho, sigma, alpha;
  double keep;     // 1 − α
  double inv_rho;  // 1/ρ
};

// v = [(ρz_eq − y_eq) ; (ρz_in − y_in)], the weights of V's constraint columns.
void form_constraint_weights(const IterationScalars& c, AdmmState& s) {
  double* weights = s.weights.data();
  for (std::size_t e = 0; e < s.m_eq; ++e) weights[e] = c.rho * s.z_eq[e] - s.y.equalities[e];
  for (std::size_t i = 0; i < s.m_in; ++i) weights[s.m_eq + i] = c.rho * s.z_in[i] - s.y.inequalities[i];
}

// The terms of r without U for rows [first, last) into g, from the iterate
// (x, z_box, y_box, z_l1, y_l1):
//   σx − q + (ρz_box − y_box) + [L1](ρ(z_l1 + a) − y_l1).
struct RightHandSide {
  const double *x, *z_box, *y_box, *z_l1, *y_l1;  // z_l1, y_l1 null without an L1 term

  void rows(const QpProblem& problem, const IterationScalars& c, double* g, std::size_t first,
            std::size_t last) const {
    const double* q = problem.linear.data();
    for (std::size_t i = first; i < last; ++i) g[i] = c.sigma * x[i] - q[i] + (c.rho * z_box[i] - y_box[i]);
    if (z_l1 != nullptr) {
      const double* anchor = problem.l1->anchor.data();
      for (std::size_t i = first; i < last; ++i) g[i] += c.rho * (z_l1[i] + anchor[i]) - y_l1[i];
    }
  }
};

// r of the iterate in force, or (`next`) of the one this iteration writes beside it.
RightHandSide right_hand_side(const AdmmState& s, bool next) {
  const bool l1 = s.n_l1 > 0;
  return {(next ? s.x_next : s.x).data(), (next ? s.z_box_next : s.z_box).data(),
          (next ? s.y_box_next : s.y.bounds).data(), l1 ? (next ? s.z_l1_next : s.z_l1).data() : nullptr,
          l1 ? (next ? s.y_l1_next : s.y.l1).data() : nullptr};
}

RowUpdate box_and_l1_update(const QpProblem& problem, const IterationScalars& c, AdmmState& s) {
  const bool has_l1 = s.n_l1 > 0;
  return {c.alpha,
          c.keep,
          c.rho,
          c.inv_rho,
          s.x_next.data(),
          s.z_box.data(),
          s.y.bounds.data(),
          problem.lower_bounds.data(),
          problem.upper_bounds.data(),
          has_l1 ? s.z_l1.data() : nullptr,
          has_l1 ? s.y.l1.data() : nullptr,
          has_l1 ? problem.l1->anchor.data() : nullptr,
          has_l1 ? problem.l1->costs.data() : nullptr,
          s.z_box_next.data(),
          s.y_box_next.data(),
          has_l1 ? s.z_l1_next.data() : nullptr,
          has_l1 ? s.y_l1_next.data() : nullptr,
          problem.leverage.has_value()};
}

// The box block under a leverage limit, once every row's v = relaxed + y/ρ
// sits in z_box_next: z = Π(v) onto the box within the limit, y = ρ(v − z).
void project_leverage(const QpProblem& problem, const IterationScalars& c, AdmmState& s) {
  s.leverage_theta = project_box_and_leverage(s.z_box_next, problem.lower_bounds, problem.upper_bounds,
                                              *problem.leverage, s.leverage_theta, s.scratch);
  for (std::size_t i = 0; i < s.n; ++i) {
    s.y_box_next[i] = c.rho * (s.z_box_next[i] - s.scratch[i]);
    s.z_box_next[i] = s.scratch[i];
  }
}

// x̃ = K⁻¹r into x_next, A·x̃ into image, and the box and L1 updates from x̃
// (beside the current blocks); false when x̃ is not finite. The second stream
// also forms, while each block of rows is in cache, the next iteration's r
// without U over the G⁻¹r it no longer needs; the first forms r only when no
// iteration did (the first one, or after a change of penalty).
bool solve_reduced_system(const FactorizedSystem& system, const QpProblem& problem, const IterationScalars& c,
                          AdmmState& s) {
  const SmwSystem& smw = system.smw;
  double* g = s.scaled_rhs.data();
  const RightHandSide current = right_hand_side(s, false);
  const auto form_rows = [&](std::size_t first, std::size_t last) {
    if (!s.rhs_formed) current.rows(problem, c, g, first, last);
  };
  const RowUpdate update = box_and_l1_update(problem, c, s);
  const RightHandSide next = right_hand_side(s, true);
  const auto update_rows = [&](std::size_t first, std::size_t last) {
    update.rows(first, last);
    if (!update.defer_box) next.rows(problem, c, g, first, last);
  };
  smw.project_rhs(s.scaled_rhs, s.weights, s.reduced, s.dense, form_rows);
  const bool finite = smw.back_substitute(s.scaled_rhs, s.reduced, s.x_next, s.image, s.dense, update_rows);
  if (finite && update.defer_box) {
    project_leverage(problem, c, s);
    next.rows(problem, c, g, 0, s.n);
  }
  s.rhs_formed = finite;
  return finite;
}

// The constraint blocks from A·x̃: z_eq stays b_eq, so only its dual moves;
// z_in is the relaxed point projected onto {z ≤ b_in}.
void update_constraint_blocks(const QpProblem& problem, const IterationScalars& c, AdmmState& s) {
  const double* image = s.image.data();
  for (std::size_t e = 0; e < s.m_eq; ++e) {
    s.y.equalities[e] += c.rho * (c.keep * s.z_eq[e] + c.alpha * image[e] - s.z_eq[e]);
  }
  std::copy(s.z_in.begin(), s.z_in.end(), s.z_in_before.begin());
  const double* b_in = problem.inequalities.rhs.data();
  for (std::size_t i = 0; i < s.m_in; ++i) {
    const double relaxed = c.keep * s.z_in[i] + c.alpha * image[s.m_eq + i];
    const double z = std::min(relaxed + s.y.inequalities[i] * c.inv_rho, b_in[i]);
    s.z_in[i] = z;
    s.y.inequalities[i] += c.rho * (relaxed - z);
  }
}

// Swaps x̃ and the new box and L1 blocks in; the *_next buffers then hold the
// previous ones.
void commit_iterate(AdmmState& s) {
  std::swap(s.z_box, s.z_box_next);
  std::swap(s.y.bounds, s.y_box_next);
  if (s.n_l1 > 0) {
    std::swap(s.z_l1, s.z_l1_next);
    std::swap(s.y.l1, s.y_l1_next);
  }
  std::swap(s.x, s.x_next);
}

// One relaxed ADMM iteration with the factorisation `system` of the iteration
// problem at penalty rho. Returns false, leaving the iterate as it was, when
// the linear-system solution x̃ is not finite.
bool admm_iteration(const FactorizedSystem& system, const QpProblem& problem, double rho, double sigma,
                    double alpha, AdmmState& s) {
  const IterationScalars c{rho, sigma, alpha, 1.0 - alpha, 1.0 / rho};
  form_constraint_weights(c, s);
  if (!solve_reduced_system(system, problem, c, s)) return false;
  update_constraint_blocks(problem, c, s);
  commit_iterate(s);
  return true;
}

// ---- Solve: warm start, termination, penalty and finish ----

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

SolveTime elapsed_since(Clock::time_point start) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  const auto nanos = static_cast<std::uint64_t>(std::max<std::chrono::nanoseconds::rep>(elapsed, 0));
  return {nanos / kNanosPerSecond, static_cast<std::uint32_t>(nanos % kNanosPerSecond)};
}

// What the penalty rule sees of the iterate after an iteration. After the
// swap inside the iteration, the *_next buffers hold the z blocks before it.
ConsensusStep consensus_step(std::uint64_t k, AdmmState& s) {
  const std::span<const double> image(s.image);
  return {k,
          image.first(s.m_eq),
          image.subspan(s.m_eq),
          s.x,
          s.z_eq,
          s.z_in,
          s.z_box,
          s.z_l1,
          s.z_in_before,
          s.z_box_next,
          s.z_l1_next,
          s.y.equalities,
          s.y.inequalities,
          s.y.bounds,
          s.y.l1,
          s.scratch};
}

// The polish of an iterate within `factor` times the tolerances wins only
// when its candidate lies as far inside them (before the landing, whose move
// of x by up to ε_p shows in the dual residual as P·Δx): an early candidate
// short of that, kept, could end farther from the optimum than the run it
// cut short.
struct EarlyPolish {
  double factor = 0.0;
  bool inside = false;

  // `products` are those of the solution's x.
  bool inside_tolerances(const SolverSettings& settings, const Solution& solution, const QpProblem& problem,
                         const IterateProducts& products) const {
    return meets_stopping_rule(problem, solution.x, solution.dual,
                               with_tolerances_times(settings, 1.0 / factor), products)
        .value_or(false);
  }
};

// The Solution of a finished run in unscaled units: the KKT residuals (all
// infinite after a numerical failure), polishing of a solved iterate, the
// diagnosis of any other outcome, and the counters.
std::expected<Solution, SolverError> finish_solve(const QpProblem& problem, const ReducedColumns& data,
                                                  RowSupports supports, const ScaledProblem* scaled,
                                                  const AdmmState& state, const SolverSettings& settings,
                                                  Verdict verdict, std::uint64_t iterations,
                                                  const Penalty& penalty, Clock::time_point start,
                                                  IterateProducts& products, EarlyPolish* early = nullptr) {
  Solution solution;
  solution.status = verdict.status;
  auto [x, duals] = unscaled_iterates(scaled, state.x, state.y);
  solution.x = std::move(x);
  solution.dual = std::move(duals);

  // `products` receives P·x, A_eq·x and A_in·x of the result (the iterate,
  // the polished or the landed point), formed once for its residuals, its
  // diagnosis, its landing, its objective and the caller's tests.
  products = {};
  if (verdict.status == SolveStatus::NumericalFailure) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    solution.residuals = {kInf, kInf, kInf};
  } else {
    // Exactly what check_kkt reports for the result.
    products = iterate_products(problem, solution.x, supports);
    auto residuals = check_kkt(problem, solution.x, solution.dual, products);
    if (!residuals) return std::unexpected(SolverError::length_mismatch(residuals.error()));
    solution.residuals = *residuals;
    if (verdict.status == SolveStatus::Solved && settings.polish) {
      std::optional<IterateProducts> polished_products;
      if (auto polished = polish_with_products(problem, data, solution.x, solution.dual, solution.residuals,
                                               settings, products, supports, &polished_products)) {
        solution.x = std::move(polished->x);
        solution.dual = std::move(polished->duals);
        solution.residuals = polished->residuals;
        solution.polished = true;
        // From here the products are the polished x's.
        products = polished_products ? std::move(*polished_products)
                                     : iterate_products(problem, solution.x, supports);
        if (early != nullptr) early->inside = early->inside_tolerances(settings, solution, problem, products);
      }
    }
    if (verdict.status == SolveStatus::Solved) {
      auto landing = profile_rule(settings).land(problem, supports, settings, products, solution);
      if (!landing) return std::unexpected(landing.error());
    }
  }
  if (verdict.status != SolveStatus::Solved) {
    if (verdict.status == SolveStatus::NumericalFailure)
      products = iterate_products(problem, solution.x, supports);
    const DiagnosisData diagnosis{
        stopping_tolerances(settings.absolute_tolerance, settings.relative_tolerance, problem, solution.x,
                            solution.dual, products),
        coefficient_spread_decades(problem, data.stored_values())};
    solution.diagnostics = diagnose_failure(problem, diagnosis, solution.residuals, penalty.rho(),
                                            verdict.status, verdict.certificate, penalty.updates(), settings);
  }
  solution.certificate = std::move(verdict.certificate);
  solution.iterations = iterations;
  solution.final_rho = penalty.rho();
  solution.rho_updates = penalty.updates();
  solution.objective = problem.objective(solution.x, products.px);
  solution.solve_time = elapsed_since(start);
  return solution;
}

// ---- Data updates ----

// A replacement vector for an update: length first, then finiteness.
std::expected<void, ProblemError> check_update(std::span<const double> values, std::size_t expected,
                                               const char* name) {
  if (values.size() != expected)
    return std::unexpected(ProblemError::dimension_mismatch(name, expected, values.size()));
  if (!all_finite(values)) return std::unexpected(ProblemError::non_finite(name));
  return {};
}

}  // namespace

// ---- Workspace: construction and solve ----

std::expected<Workspace, SolverError> Workspace::create(SolverSettings settings, QpProblem problem) {
  auto valid = ValidatedQp::of(std::move(problem));
  if (!valid) return std::unexpected(SolverError::from_problem(std::move(valid.error())));
  return create(settings, std::move(*valid));
}

std::expected<Workspace, SolverError> Workspace::create(SolverSettings settings, ValidatedQp validated) {
  if (auto valid = validate_settings(settings); !valid) return std::unexpected(valid.error());
  QpProblem problem = std::move(validated).release();

  // L·Lᵀ = Ω of a dense Ω, factored once for the equilibration and the
  // iteration's columns.
  std::optional<Matrix> lower;
  if (problem.quadratic.omega.is_dense()) {
    auto factored = semidefinite_cholesky(problem.quadratic.omega.dense_matrix());
    if (!factored) return std::unexpected(factored.error());
    lower = std::move(*factored);
  }
  const Matrix* known_lower = lower ? &*lower : nullptr;

  Workspace workspace;
  workspace.data_ = std::make_shared<const ReducedColumns>(data_columns(problem));
  workspace.supports_ =
      std::make_shared<const std::vector<std::vector<std::uint32_t>>>(row_supports(*workspace.data_));
  if (settings.scaling_iterations > 0) {
    // Rows the stored columns share are equilibrated once.
    auto parts =
        equilibrate_for_iteration(problem, settings.scaling_iterations, known_lower,
                                  workspace.data_->repeated_rows(problem.m_eq()), *workspace.supports_);
    if (!parts) return std::unexpected(parts.error());
    workspace.scaled_ = std::move(parts->first);
    workspace.completion_ = std::make_shared<const ScaledCompletion>(std::move(parts->second));
  }
  // The iteration's V reads the stored columns of the data: equilibration
  // scales F's rows by √c·D and the constraint rows by E and D. Stored
  // plainly, it is built from the scaled data itself.
  const ScaledProblem* scaled = workspace.scaled_ ? &*workspace.scaled_ : nullptr;
  const QpProblem& iteration_problem = scaled ? scaled->problem : problem;
  const QpProblem& rescaled_problem =
      scaled && workspace.data_->stores_plainly() ? workspace.scaled()->problem : iteration_problem;
  std::vector<double> constraint_scaling;
  if (scaled) {
    constraint_scaling = scaled->equality_scaling;
    constraint_scaling.insert(constraint_scaling.end(), scaled->inequality_scaling.begin(),
                              scaled->inequality_scaling.end());
  }
  auto columns = workspace.data_->rescaled(
      rescaled_problem, scaled ? std::span<const double>(scaled->column_scaling) : std::span<const double>(),
      scaled ? std::sqrt(scaled->cost_scaling) : 1.0, constraint_scaling, known_lower);
  if (!columns) return std::unexpected(columns.error());
  workspace.systems_.use_columns(std::make_shared<const ReducedColumns>(std::move(*columns)));
  // The first factorisation, at the penalty every solve starts from.
  if (auto started = Penalty(settings, profile_rule(settings).penalty_rule(settings))
                         .start(workspace.systems_, iteration_problem);
      !started) {
    return std::unexpected(started.error());
  }
  workspace.problem_ = std::move(problem);
  workspace.settings_ = settings;
  return workspace;
}

std::expected<Solution, SolverError> Workspace::solve_from(Clock::time_point start,
                                                           const std::optional<WarmStart>& warm_start) {
  const SolverSettings settings = settings_;
  auto starting = starting_point(problem_, warm_start);
  if (!starting) return std::unexpected(starting.error());

  const QpProblem& iteration_problem = scaled_ ? scaled_->problem : problem_;
  const ScaledProblem* scaled = scaled_ ? &*scaled_ : nullptr;
  Penalty penalty(settings, profile_rule(settings).penalty_rule(settings));
  if (auto started = penalty.start(systems_, iteration_problem); !started) {
    return std::unexpected(started.error());
  }

  const SmwSystem& first = penalty.system().smw;
  AdmmState state(problem_.n(), problem_.m_eq(), problem_.m_in(), problem_.l1 ? problem_.n() : 0,
                  first.rank(), first.rank() > 0 ? first.columns().pass_scratch() : 0);
  state.x = starting->x;
  state.y = starting->duals;
  if (scaled) scaled->scale_iterates_in_place(state.x, state.y);
  initial_z(iteration_problem, penalty.rho(), state);
  const ProfileRule::EarlyLooks early_looks =
      settings.polish ? profile_rule(settings).early_looks() : ProfileRule::EarlyLooks{};
  TerminationCheck termination(settings.infeasibility_tolerance > 0.0, std::move(*starting), early_looks);

  std::optional<Acceleration> acceleration;
  if (profile_rule(settings).accelerates()) acceleration.emplace(state);

  // What follows the check in iteration k: the acceleration's step and the
  // penalty's look.
  auto close_iteration = [&](std::uint64_t k) -> std::expected<void, SolverError> {
    if (acceleration) acceleration->after(k, iteration_problem, state, penalty.rho());
    if (penalty.due(k)) {
      auto moved = penalty.adapt(systems_, iteration_problem, consensus_step(k, state));
      if (!moved) return std::unexpected(moved.error());
      if (*moved) {
        state.rhs_formed = false;  // formed at the old penalty
        if (acceleration) acceleration->restart();
      }
    }
    return {};
  };

  // The iterations [first, run.max_iterations], checked against run's tolerances.
  auto iterate = [&](std::uint64_t first, const SolverSettings& run,
                     std::uint64_t& k) -> std::expected<Verdict, SolverError> {
    for (k = first;; ++k) {
      if (acceleration) acceleration->before(k, state, penalty.rho());
      if (!admm_iteration(penalty.system(), iteration_problem, penalty.rho(), run.sigma, run.over_relaxation,
                          state)) {
        return Verdict{SolveStatus::NumericalFailure, std::nullopt};
      }
      if (k % run.check_termination_every == 0 || k == run.max_iterations) {
        auto checked = termination.check(problem_, *data_, *supports_, scaled, state, run);
        if (!checked) return std::unexpected(checked.error());
        if (*checked) return std::move(**checked);
      }
      if (auto closed = close_iteration(k); !closed) return std::unexpected(closed.error());
      if (k >= run.max_iterations) return Verdict{SolveStatus::MaxIterations, std::nullopt};
    }
  };

  // The products of the latest answer's x (finish_solve's).
  IterateProducts products;
  // A solved answer short of exact on a nearly flat face is finished there.
  auto finish_flat = [&](Solution& solution) {
    if (finishes_flat_faces_ && settings.polish && solution.status == SolveStatus::Solved &&
        profile_rule(settings).finishes_flat_faces() && short_of_exact(solution, products)) {
      finish_on_flat_face(solution, start);
      solution.solve_time = elapsed_since(start);
    }
  };

  std::uint64_t k = 0;
  auto verdict = iterate(1, settings, k);
  if (!verdict) return std::unexpected(verdict.error());
  // Close enough for the active set to have settled: a polish that wins ends
  // the solve (finished on a flat face where it falls short of exact); one
  // that does not leaves the iterate to run on, to the next look.
  while (verdict->early) {
    EarlyPolish early{early_looks.kept};
    auto polished = finish_solve(problem_, *data_, *supports_, scaled, state, settings, Verdict{*verdict}, k,
                                 penalty, start, products, &early);
    if (!polished) return polished;
    if (polished->polished && early.inside) {
      finish_flat(*polished);
      return polished;
    }
    // The look interrupted iteration k after its check: close it, then run on.
    if (auto closed = close_iteration(k); !closed) return std::unexpected(closed.error());
    verdict = k >= settings.max_iterations ? Verdict{SolveStatus::MaxIterations, std::nullopt}
                                           : iterate(k + 1, settings, k);
    if (!verdict) return std::unexpected(verdict.error());
  }
  auto solution = finish_solve(problem_, *data_, *supports_, scaled, state, settings, std::move(*verdict), k,
                               penalty, start, products);
  if (!solution) return solution;
  // A second run (the profile's), polished once more; the first answer stays
  // when that run does not finish.
  if (const std::optional<SolverSettings> tighter =
          profile_rule(settings).second_run(settings, *solution, k)) {
    auto again = iterate(k + 1, *tighter, k);
    if (!again) return std::unexpected(again.error());
    if (again->status != SolveStatus::Solved) {
      solution->iterations = k;
      solution->solve_time = elapsed_since(start);
    } else {
      solution = finish_solve(problem_, *data_, *supports_, scaled, state, settings, std::move(*again), k,
                              penalty, start, products);
      if (!solution) return solution;
    }
  }
  finish_flat(*solution);
  return solution;
}

const ScaledProblem* Workspace::scaled() const {
  if (!scaled_) return nullptr;
  std::call_once(completed_->once, [this] { completed_->problem = completed(*scaled_, *completion_); });
  return &*completed_->problem;
}

// ---- Workspace: data updates that keep every factorisation ----

template <class Update>
void Workspace::rescale(Update update) {
  update(*scaled_);
  // The written-out copy is this workspace's alone (CompletedHolder), and
  // references to it see the update.
  if (completed_->problem) update(*completed_->problem);
}

std::expected<void, ProblemError> Workspace::update_inequality_rhs(std::span<const double> rhs) {
  if (auto valid = check_update(rhs, problem_.m_in(), "inequalities.rhs"); !valid) return valid;
  problem_.inequalities.rhs.assign(rhs.begin(), rhs.end());
  if (scaled_) rescale([&](ScaledProblem& s) { s.set_inequality_rhs(rhs); });
  return {};
}

std::expected<void, ProblemError> Workspace::update_equality_rhs(std::span<const double> rhs) {
  if (auto valid = check_update(rhs, problem_.m_eq(), "equalities.rhs"); !valid) return valid;
  problem_.equalities.rhs.assign(rhs.begin(), rhs.end());
  if (scaled_) rescale([&](ScaledProblem& s) { s.set_equality_rhs(rhs); });
  return {};
}

std::expected<void, ProblemError> Workspace::update_linear(std::span<const double> linear) {
  if (auto valid = check_update(linear, problem_.n(), "linear"); !valid) return valid;
  problem_.linear.assign(linear.begin(), linear.end());
  if (scaled_) rescale([&](ScaledProblem& s) { s.set_linear(linear); });
  return {};
}

std::expected<void, ProblemError> Workspace::update_l1_anchor(std::span<const double> anchor) {
  // Without an L1 term there is no anchor: only the empty vector matches it.
  const std::size_t expected = problem_.l1 ? problem_.l1->anchor.size() : 0;
  if (auto valid = check_update(anchor, expected, "l1.anchor"); !valid) return valid;
  if (!problem_.l1) return {};
  problem_.l1->anchor.assign(anchor.begin(), anchor.end());
  if (scaled_) rescale([&](ScaledProblem& s) { s.set_l1_anchor(anchor); });
  return {};
}

std::expected<void, ProblemError> Workspace::update_bounds(std::span<const double> lower,
                                                           std::span<const double> upper) {
  const std::size_t n = problem_.n();
  if (lower.size() != n)
    return std::unexpected(ProblemError::dimension_mismatch("lower_bounds", n, lower.size()));
  if (upper.size() != n)
    return std::unexpected(ProblemError::dimension_mismatch("upper_bounds", n, upper.size()));
  if (auto valid = validate_box_values(lower, upper); !valid) return valid;
  problem_.lower_bounds.assign(lower.begin(), lower.end());
  problem_.upper_bounds.assign(upper.begin(), upper.end());
  if (scaled_) rescale([&](ScaledProblem& s) { s.set_bounds(lower, upper); });
  return {};
}

std::expected<void, ProblemError> Workspace::update_l1_costs(std::span<const double> costs) {
  const std::size_t expected = problem_.l1 ? problem_.l1->costs.size() : 0;
  if (costs.size() != expected)
    return std::unexpected(ProblemError::dimension_mismatch("l1.costs", expected, costs.size()));
  if (auto valid = validate_l1_costs(costs); !valid) return valid;
  if (!problem_.l1) return {};
  problem_.l1->costs.assign(costs.begin(), costs.end());
  if (scaled_) rescale([&](ScaledProblem& s) { s.set_l1_costs(costs); });
  return {};
}

std::expected<void, SolverError> Workspace::check_warm_start(const WarmStart& warm_start) const {
  auto start = starting_point(problem_, warm_start);
  if (!start) return std::unexpected(std::move(start.error()));
  return {};
}

}  // namespace morva
