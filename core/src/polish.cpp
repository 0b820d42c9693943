#include "morva/polish.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "active_set.hpp"
#include "convergence.hpp"
#include "covariance_columns.hpp"
#include "detail/vector_ops.hpp"
#include "factor_products.hpp"
#include "kkt_internal.hpp"
#include "matrix_products.hpp"
#include "morva/linalg.hpp"
#include "polish_internal.hpp"
#include "stored_columns.hpp"
#include "stored_products.hpp"

namespace morva {
namespace {

// A_in·x, each row one left-to-right sum: `given` when it holds them (the
// products a caller formed for x), else formed into `storage`, four rows'
// sums advancing together.
std::span<const double> inequality_images(const QpProblem& problem, std::span<const double> x,
                                          std::span<const double> given, std::vector<double>& storage) {
  if (given.size() == problem.m_in()) return given;
  storage.resize(problem.m_in());
  row_products(problem.inequalities.matrix, x, storage);
  return storage;
}

using detail::all_finite;
using detail::inf_norm;
using detail::max_ignoring_nan;
using detail::positive_part;

// ---- Closeness tests and the residual to beat ----

// Refinement of the adaptive profile: at most this many passes in all, each
// past the configured ones only while it cuts the residual by this factor.
constexpr std::uint64_t kMaxRefinementSteps = 12;
constexpr double kRefinementGain = 2.0;

// Differences the adaptive guard treats as rounding: residuals below this
// fraction of the iterate's stopping tolerances, gaps below this fraction of
// max(1, |f(x)|).
constexpr double kRoundingFraction = 1e-6;
constexpr double kRoundingGap = 1e-13;
// A candidate whose gap exceeds the best one's by this factor ends polishing.
constexpr double kHopelessGapFactor = 100.0;

// Relative margin of the strict "exceeds" comparison.
constexpr double kExceedMargin = 1e-12;
// "Near" accepts ten times the solver's stopping tolerance, since the ADMM
// iterate is only that accurate.
constexpr double kNearToleranceFactor = 10.0;

// s(v, t) = max(|t|, |v|, 1).
double closeness_scale(double v, double t) {
  return max_ignoring_nan(max_ignoring_nan(std::abs(t), std::abs(v)), 1.0);
}

bool near(double v, double t, const SolverSettings& settings) {
  return std::abs(v - t) <= kNearToleranceFactor * (settings.absolute_tolerance +
                                                    settings.relative_tolerance * closeness_scale(v, t));
}

bool exceeds(double v, double t) {
  return v - t > kExceedMargin * closeness_scale(v, t);
}

// Worst KKT residual; NaN only when all three are NaN.
double worst_residual(const KktResiduals& r) {
  return max_ignoring_nan(max_ignoring_nan(r.primal, r.dual), r.complementarity);
}

// ---- Constraint rows and targets of an active set ----

// The constraint rows of an active-set system: the equality rows, then the
// active inequality rows in `active_rows` order. Row r as a pointer to its n
// coefficients.
struct StackedRows {
  const Matrix& equalities;
  std::size_t m_eq;
  const Matrix& inequalities;
  std::span<const std::size_t> active_rows;

  std::size_t count() const { return m_eq + active_rows.size(); }
  const double* operator()(std::size_t r) const {
    return r < m_eq ? equalities.row(r).data() : inequalities.row(active_rows[r - m_eq]).data();
  }
};

StackedRows stacked_rows(const QpProblem& problem, const ActiveSet& active) {
  return {problem.equalities.matrix, problem.m_eq(), problem.inequalities.matrix, active.active_rows};
}

double pin_target(const QpProblem& problem, std::size_t asset, Side side) {
  switch (side) {
    case Side::Lower: return problem.lower_bounds[asset];
    case Side::Upper: return problem.upper_bounds[asset];
    case Side::Anchor: return problem.l1->anchor[asset];
  }
  return 0.0;
}

// ---- One active-set solve ----

// What every pass of one polish reads of the problem, learnt once: the
// rows' nonzeros its V knows, and L of a dense Ω (L·Lᵀ = Ω), each pass's
// factor transform.
struct Learnt {
  std::span<const std::vector<std::uint32_t>> supports;
  std::optional<Matrix> lower;

  const Matrix* lower_factor() const { return lower ? &*lower : nullptr; }
};

Learnt learnt_of(const QpProblem& problem, std::span<const std::vector<std::uint32_t>> supports) {
  Learnt learnt{supports, std::nullopt};
  const FactorCovariance& omega = problem.quadratic.omega;
  if (omega.is_dense()) {
    // Failing here, each pass fails the same way when it factors Ω.
    if (auto lower = semidefinite_cholesky(omega.dense_matrix())) learnt.lower = std::move(*lower);
  }
  return learnt;
}

// The data of one active-set solve: the stacked rows as columns of the
// problem's V (for products in the data's units), the factorised regularised
// operator K, the right-hand side with the L1 forces, and the targets of the
// constraint rows and of the pins.
struct ActiveSystem {
  ReducedColumns rows;
  SmwSystem system;
  std::vector<double> rhs;
  std::vector<double> targets;          // equality rows, then active rows
  std::vector<double> pin_targets;      // one per pin, in pin order
  std::span<const double> target_pull;  // Aᵀ·targets
};

// K = diag(G) + U·Uᵀ, U = [C, A_eqᵀ/√δ, A_actᵀ/√δ], factored with 1/√δ
// multiplied into the stored entries of the stacked rows, not applied to
// their sums in the capacitance S = I + UᵀG⁻¹U. Every pinned asset has
// G⁻¹_i ≈ δ. Summed unscaled, its term a_i²·G⁻¹_i ≈ a_i²·δ is no power of
// two; hundreds of pins with equal a_i² (budget and membership rows) add
// nearly equal terms that round the running sum the same way, an error that
// grows with the pins. Summed scaled, the term is (a_i²/δ)·G⁻¹_i ≈ a_i² and
// adds almost exactly. The solve cancels the (1/δ)·Aᵀt of its right-hand
// side against S, which magnifies S's error by about 1/δ in A·x.
// `data` is the problem's V (of_data), whose stored columns and row
// positions (`supports`) the system's columns are built from.
std::expected<std::shared_ptr<const ReducedColumns>, SolverError> stiff_columns(
    const QpProblem& problem, const ReducedColumns& data, std::span<const std::size_t> kept,
    std::span<const double* const> rows, const Learnt& learnt, double delta) {
  auto columns = data.scaled_selection(problem.quadratic, kept, rows, 1.0 / std::sqrt(delta), learnt.supports,
                                       learnt.lower_factor());
  if (!columns) return std::unexpected(columns.error());
  return std::make_shared<const ReducedColumns>(std::move(*columns));
}

// The two selections of the rows a pass keeps, as the previous pass of the
// same polish built them. Both are functions of the kept rows alone (δ, Ω's
// factor and the data being the polish's), so a pass that keeps the same
// rows (the passes differ mostly in their pins) takes them as they are.
struct Selections {
  std::vector<std::size_t> kept;
  std::optional<ReducedColumns> rows;
  std::shared_ptr<const ReducedColumns> stiff;
  // A_stackedᵀ·t of the rows' targets, as the first pass with these rows
  // formed it (the targets too are the rows' alone).
  std::optional<std::vector<double>> target_pull;

  // The selections of `wanted`: the stored ones when they are of the same
  // rows, else built and stored. False on a failure of either.
  bool select(const QpProblem& problem, const ReducedColumns& data, const Learnt& learnt,
              std::span<const std::size_t> wanted, std::span<const double* const> constraint, double delta) {
    if (rows && std::ranges::equal(kept, wanted)) return true;
    rows.reset();
    target_pull.reset();
    auto selected = data.select(problem.quadratic, wanted, constraint, learnt.lower_factor());
    if (!selected) return false;
    auto scaled = stiff_columns(problem, data, wanted, constraint, learnt, delta);
    if (!scaled) return false;
    kept.assign(wanted.begin(), wanted.end());
    rows = std::move(*selected);
    stiff = std::move(*scaled);
    return true;
  }
};

// K = P + δI + (1/δ)(A_eqᵀA_eq + A_actᵀA_act + Σ_pins e_i·e_iᵀ)
//   = diag(d + δ + [pinned]/δ) + [L, A_eqᵀ/√δ, A_actᵀ/√δ]·[…]ᵀ.
// Off-anchor assets carry their L1 subgradient σ_i·c_i as a known force.
std::optional<ActiveSystem> active_system(const QpProblem& problem, const ReducedColumns& data,
                                          const Learnt& learnt, Selections& selections,
                                          const ActiveSet& active, const StackedRows& rows, double delta,
                                          bool has_sides) {
  const std::size_t n = problem.n();
  std::vector<double> diagonal(n);
  for (std::size_t i = 0; i < n; ++i) diagonal[i] = problem.quadratic.diagonal[i] + delta;
  for (const auto& pin : active.pins) diagonal[pin.first] += 1.0 / delta;
  std::vector<const double*> constraint(rows.count());
  for (std::size_t r = 0; r < constraint.size(); ++r) constraint[r] = rows(r);
  // The equality rows, then the active rows, as columns of the problem's V.
  std::vector<std::size_t> kept(rows.count());
  for (std::size_t r = 0; r < rows.m_eq; ++r) kept[r] = r;
  for (std::size_t r = rows.m_eq; r < kept.size(); ++r) kept[r] = rows.m_eq + rows.active_rows[r - rows.m_eq];
  if (!selections.select(problem, data, learnt, kept, constraint, delta)) return std::nullopt;
  auto system = SmwSystem::factor(std::move(diagonal), selections.stiff, 1.0);
  if (!system) return std::nullopt;

  ActiveSystem out{
      *selections.rows, std::move(*system), std::vector<double>(n), problem.equalities.rhs, {}, {}};
  for (std::size_t i = 0; i < n; ++i) {
    const double force = has_sides ? static_cast<double>(active.anchor_sides[i]) * problem.l1->costs[i] : 0.0;
    out.rhs[i] = -(problem.linear[i] + force);
  }
  for (std::size_t row : active.active_rows) out.targets.push_back(problem.inequalities.rhs[row]);
  if (!selections.target_pull) {
    selections.target_pull.emplace(n, 0.0);
    out.rows.add_constraint_combination(out.targets, *selections.target_pull);
  }
  out.target_pull = *selections.target_pull;
  out.pin_targets.reserve(active.pins.size());
  for (const auto& [asset, side] : active.pins) out.pin_targets.push_back(pin_target(problem, asset, side));
  return out;
}

// Iterative refinement on the unregularised KKT system: the regularised
// operator serves as an approximate inverse, each step shrinking the O(δ)
// error by a further factor of order δ·‖K⁻¹‖. `steps` passes, then further
// ones (up to kMaxRefinementSteps in all) while the largest residual block
// exceeds `extend_above` and each pass still cuts it by kRefinementGain: when
// the reduced Hessian is nearly singular, δ·‖K⁻¹‖ approaches 1 and three
// passes leave pins ~1e-9 off their targets across thousands of assets.
void refine(const QpProblem& problem, const ActiveSystem& a, const ActiveSet& active, double delta,
            std::uint64_t steps, double extend_above, RegularizedSolution& solution) {
  const std::size_t n = problem.n();
  auto& x = solution.x;
  auto& lambda = solution.constraint_multipliers;
  auto& mu = solution.pin_multipliers;
  std::vector<double> residual_x(n), residual_t(a.targets.size()), residual_p(a.pin_targets.size());
  std::vector<double> force(n);  // P·x + A_stackedᵀλ, written whole by every step
  std::vector<double> pull(n);   // A_stackedᵀ·residual_t
  const bool extend = extend_above < std::numeric_limits<double>::infinity();
  double previous = std::numeric_limits<double>::infinity();
  for (std::uint64_t step = 0; step < steps || (extend && step < kMaxRefinementSteps); ++step) {
    // A_stacked·x into residual_t, then, in one stream, force = P·x +
    // A_stackedᵀλ (stored_products_into's sums) and the pull A_stackedᵀ·r_t
    // of the correction's solve.
    const std::vector<double> s = stored_factor_image(problem.quadratic, a.rows, x, residual_t);
    // A first solve without λ leaves it to this stream: its A·x is the one
    // constraint_image forms (the same sums over the same terms in order).
    if (lambda.size() != residual_t.size()) {
      lambda.resize(residual_t.size());
      for (std::size_t r = 0; r < lambda.size(); ++r) lambda[r] = (residual_t[r] - a.targets[r]) / delta;
    }
    for (std::size_t r = 0; r < residual_t.size(); ++r) residual_t[r] = a.targets[r] - residual_t[r];
    for (std::size_t i = 0; i < n; ++i) force[i] = problem.quadratic.diagonal[i] * x[i];
    std::fill(pull.begin(), pull.end(), 0.0);
    a.rows.add_products(s, lambda, force, force, residual_t, pull);
    for (std::size_t p = 0; p < active.pins.size(); ++p) force[active.pins[p].first] += mu[p];
    for (std::size_t i = 0; i < n; ++i) residual_x[i] = a.rhs[i] - force[i];
    for (std::size_t p = 0; p < active.pins.size(); ++p)
      residual_p[p] = a.pin_targets[p] - x[active.pins[p].first];
    if (extend) {
      const double size = std::max({inf_norm(residual_x), inf_norm(residual_t), inf_norm(residual_p)});
      if (step >= steps && !(size > extend_above && size * kRefinementGain <= previous)) break;
      previous = size;
    }

    const RegularizedSolution correction =
        solve_regularized(problem, a.system, a.rows, active, residual_x, residual_t, residual_p, delta, pull);
    for (std::size_t i = 0; i < n; ++i) x[i] += correction.x[i];
    for (std::size_t r = 0; r < lambda.size(); ++r) lambda[r] += correction.constraint_multipliers[r];
    for (std::size_t p = 0; p < mu.size(); ++p) mu[p] += correction.pin_multipliers[p];
  }
}

// The multipliers of a solved active set as dual blocks: λ over the equality
// and active rows, μ at the pins, and σ_i·c_i for the off-anchor assets.
DualVariables active_set_duals(const QpProblem& problem, const ActiveSet& active,
                               const RegularizedSolution& s, bool has_sides) {
  const std::size_t n = problem.n();
  const std::size_t m_eq = problem.m_eq();
  const auto& lambda = s.constraint_multipliers;
  const auto& mu = s.pin_multipliers;
  DualVariables duals;
  duals.equalities.assign(lambda.begin(), lambda.begin() + static_cast<std::ptrdiff_t>(m_eq));
  duals.inequalities.assign(problem.m_in(), 0.0);
  for (std::size_t r = 0; r < active.active_rows.size(); ++r)
    duals.inequalities[active.active_rows[r]] = lambda[m_eq + r];
  duals.bounds.assign(n, 0.0);
  if (problem.l1) duals.l1.assign(n, 0.0);
  for (std::size_t p = 0; p < active.pins.size(); ++p) {
    const auto [asset, side] = active.pins[p];
    if (side == Side::Anchor) {
      duals.l1[asset] = mu[p];
    } else {
      duals.bounds[asset] = mu[p];
    }
  }
  if (has_sides) {
    for (std::size_t i = 0; i < n; ++i) {
      const int sigma = active.anchor_sides[i];
      if (sigma != 0) duals.l1[i] = static_cast<double>(sigma) * problem.l1->costs[i];
    }
  }
  return duals;
}

// At a bound that is also the anchor, the pin's multiplier μ stands for
// y_box + y_l1: the L1 part takes what fits in [−c, c], the bound the rest.
// Charged to the bound alone, a μ in (0, c] at a lower bound would read as a
// wrong-signed bound multiplier although the asset is optimal there.
void share_anchor_multipliers(const QpProblem& problem, const ActiveSet& active, DualVariables& duals) {
  if (!problem.l1) return;
  for (const auto& [asset, side] : active.pins) {
    if (side == Side::Anchor || pin_target(problem, asset, side) != problem.l1->anchor[asset]) continue;
    const double c = problem.l1->costs[asset];
    const double mu = duals.bounds[asset] + duals.l1[asset];
    duals.l1[asset] = std::clamp(mu, -c, c);
    duals.bounds[asset] = mu - duals.l1[asset];
  }
}

// A candidate's products for its KKT check, with iterate_products' bits:
// Fᵀx and every row's A·x from one stream over the problem's V, then the
// rows of P·x through F as FactorQuad::apply takes them. V's sums take the
// rows in increasing order, as F's transposed product and each row's dot
// product do, over the stored (nonzero) terms alone: with x finite every
// skipped term is ±0, and adding ±0 leaves a sum that starts at +0 unchanged
// (it is never −0). V's columns are F's and the rows' up to κ = ±1 (rows
// unscaled), and negating a sum is exact.
// `first` keeps the stream over V when one is taken.
IterateProducts candidate_products(const QpProblem& problem, const ReducedColumns& data,
                                   std::span<const std::vector<std::uint32_t>> supports,
                                   std::span<const double> x, std::optional<TransposeImage>& first) {
  const std::size_t k = data.factors();
  const bool unit_multipliers = [&data] {
    for (std::size_t j = 0; j < data.rank(); ++j) {
      if (std::abs(data.multiplier(j)) != 1.0) return false;
    }
    return std::ranges::all_of(data.row_scale(), [](double r) { return r == 1.0; });
  }();
  if (data.stores_plainly() || data.holds_covariance_columns() || !unit_multipliers || !all_finite(x) ||
      k != problem.quadratic.factors.cols() || data.rank() != k + problem.m_eq() + problem.m_in() ||
      data.assets() != x.size()) {
    return iterate_products(problem, x, supports);
  }
  first = transpose_image(problem, data, x);
  const std::vector<double>& t = first->t;
  const std::vector<double>& image = first->image;
  std::vector<double> s(k);
  IterateProducts products;
  products.row_supports = supports.size() == image.size() ? supports : RowSupports{};
  products.px.resize(x.size());
  apply_from_transpose(problem.quadratic, x, t, products.px, s);
  const auto m_eq = static_cast<std::ptrdiff_t>(problem.m_eq());
  products.eq_image.assign(image.begin(), image.begin() + m_eq);
  products.in_image.assign(image.begin() + m_eq, image.end());
  return products;
}

// A candidate's first stream over the problem's V (transpose_image of its
// x), taken at most once: its KKT products, the duality gap and the stopping
// rule all start from it, and the same call on the same x gives the same bits.
struct CandidateStream {
  std::optional<TransposeImage> first;

  const TransposeImage& of(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x) {
    if (!first) first = transpose_image(problem, data, x);
    return *first;
  }
};

// One active-set solve: the regularised KKT system of the equality rows, the
// active inequality rows and the pins, refined against the unregularised one.
// Nothing on any numerical failure.
// `row_images` receives the candidate's A_in·x.
std::optional<Polished> solve_active_set(const QpProblem& problem, const ReducedColumns& data,
                                         const Learnt& learnt, Selections& selections,
                                         const ActiveSet& active, const SolverSettings& settings,
                                         std::vector<double>& row_images, CandidateStream& stream) {
  const double delta = settings.polish_regularization;
  const StackedRows rows = stacked_rows(problem, active);

  // Anchor pins exist only with an L1 term; initial_guess and
  // refine_active_set guarantee it, so a violation just ends polishing.
  for (const auto& [asset, side] : active.pins) {
    if (side == Side::Anchor && !problem.l1) return std::nullopt;
  }
  const bool has_sides = problem.l1 && active.anchor_sides.size() == problem.n();
  const auto system = active_system(problem, data, learnt, selections, active, rows, delta, has_sides);
  if (!system) return std::nullopt;

  // With refinement its first stream forms A·x and with it λ.
  const bool refines = settings.polish_refinement_steps > 0;
  RegularizedSolution solution =
      solve_regularized(problem, system->system, system->rows, active, system->rhs, system->targets,
                        system->pin_targets, delta, system->target_pull, !refines);
  // The adaptive profile refines further, when refinement is on at all, while
  // the residual is above rounding; below it, further passes only move the
  // last bits.
  const bool extend = settings.profile == SolverProfile::Adaptive && settings.polish_refinement_steps > 0;
  const double extend_above =
      extend ? kRoundingFraction * settings.absolute_tolerance : std::numeric_limits<double>::infinity();
  refine(problem, *system, active, delta, settings.polish_refinement_steps, extend_above, solution);
  if (!all_finite(solution.x) || !all_finite(solution.constraint_multipliers) ||
      !all_finite(solution.pin_multipliers)) {
    return std::nullopt;
  }

  Polished candidate;
  candidate.duals = active_set_duals(problem, active, solution, has_sides);
  if (settings.profile == SolverProfile::Adaptive) share_anchor_multipliers(problem, active, candidate.duals);
  stream.first.reset();
  IterateProducts products = candidate_products(problem, data, learnt.supports, solution.x, stream.first);
  auto residuals = check_kkt(problem, solution.x, candidate.duals, products);
  if (!residuals) return std::nullopt;
  row_images = std::move(products.in_image);
  candidate.residuals = *residuals;
  candidate.x = std::move(solution.x);
  return candidate;
}

// The stopping rule on a candidate, through the problem's V.
bool meets_stopping_rule_of(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate,
                            const SolverSettings& settings, CandidateStream& stream) {
  const auto meets = meets_stopping_rule(
      problem, candidate.x, candidate.duals, settings,
      stored_products(problem, data, candidate.x, candidate.duals, stream.of(problem, data, candidate.x)));
  return meets.value_or(false);
}

bool improves_on(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate, double best,
                 const SolverSettings& settings, CandidateStream& stream) {
  return worst_residual(candidate.residuals) < best &&
         meets_stopping_rule_of(problem, data, candidate, settings, stream);
}

// ---- The adaptive profile's guard ----

// The Lagrangian's multipliers nearest to the duals that are dual feasible:
// z ≥ 0, a box multiplier only on a finite side, |y_l1| ≤ c.
DualVariables dual_feasible(const QpProblem& problem, const DualVariables& duals) {
  DualVariables feasible = duals;
  for (double& z : feasible.inequalities) z = positive_part(z);
  for (std::size_t i = 0; i < feasible.bounds.size(); ++i) {
    double& y = feasible.bounds[i];
    if ((y > 0.0 && !std::isfinite(problem.upper_bounds[i])) ||
        (y < 0.0 && !std::isfinite(problem.lower_bounds[i]))) {
      y = 0.0;
    }
  }
  for (std::size_t i = 0; i < feasible.l1.size(); ++i) {
    const double c = problem.l1->costs[i];
    feasible.l1[i] = std::clamp(feasible.l1[i], -c, c);
  }
  return feasible;
}

// f(x) − L(x, y) term by term, each taken in magnitude (y dual feasible):
// |y_eq·(A_eq x − b)|, |z·(b − A_in x)|, |y⁺·(u − x)| and |y⁻·(x − l)| at
// the bounds, and cᵢ|xᵢ − aᵢ| − y_l1,i·(xᵢ − aᵢ) ≥ 0 at the anchors. For a
// feasible x it is the complementarity gap, every term ≥ 0.
double complementarity_sum(const QpProblem& problem, std::span<const double> x, const DualVariables& y,
                           const IterateProducts& products) {
  double sum = 0.0;
  for (std::size_t r = 0; r < problem.m_eq(); ++r)
    sum += std::abs(y.equalities[r] * (products.eq_image[r] - problem.equalities.rhs[r]));
  for (std::size_t j = 0; j < problem.m_in(); ++j)
    sum += std::abs(y.inequalities[j] * (problem.inequalities.rhs[j] - products.in_image[j]));
  for (std::size_t i = 0; i < problem.n(); ++i) {
    const double b = y.bounds[i];
    if (b > 0.0) sum += std::abs(b * (problem.upper_bounds[i] - x[i]));
    if (b < 0.0) sum += std::abs(b * (x[i] - problem.lower_bounds[i]));
    if (problem.l1) {
      const double d = x[i] - problem.l1->anchor[i];
      sum += problem.l1->costs[i] * std::abs(d) - y.l1[i] * d;
    }
  }
  return sum;
}

// Weak duality with y dual feasible: f* ≥ min_x L(x', y). L(·, y) is a convex
// quadratic with Hessian P ⪰ diag(d), so for any x
//   min L ≥ L(x, y) − ½·gᵀ·diag(d)⁻¹·g,  g = ∇ₓL(x, y) = P·x + q + Aᵀy + y_box + y_l1,
// and f(x) − f* ≤ [f(x) − L(x, y)] + ½·Σ gᵢ²/dᵢ ≤ complementarity_sum + ½·Σ gᵢ²/dᵢ.
// At a stationary feasible point this is the duality gap. Assets with dᵢ = 0
// leave the Hessian unbounded below along eᵢ in this estimate; their gᵢ is
// bounded by the dual residual instead, which the guard compares separately.
// `first` is the first stream over V of x (transpose_image).
double duality_gap(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                   const DualVariables& duals, const TransposeImage& first) {
  const DualVariables y = dual_feasible(problem, duals);
  const IterateProducts products = stored_products(problem, data, x, y, first);
  double deficit = 0.0;
  const auto& d = problem.quadratic.diagonal;
  for (std::size_t i = 0; i < problem.n(); ++i) {
    if (!(d[i] > 0.0)) continue;
    double g = products.px[i] + problem.linear[i] + products.multiplier_rows[i] + y.bounds[i];
    if (problem.l1) g += y.l1[i];
    deficit += 0.5 * g * g / d[i];
  }
  return complementarity_sum(problem, x, y, products) + deficit;
}

}  // namespace

double duality_gap(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                   const DualVariables& duals) {
  return duality_gap(problem, data, x, duals, transpose_image(problem, data, x));
}

Standing standing_of(const QpProblem& problem, const ReducedColumns& data, std::span<const double> x,
                     const DualVariables& duals, const KktResiduals& residuals) {
  return {residuals, duality_gap(problem, data, x, duals)};
}

bool no_worse(const Standing& candidate, const Standing& incumbent, const Standing& rounding) {
  // std::max keeps a NaN incumbent (its first operand): nothing compares below it.
  return candidate.residuals.primal <= std::max(incumbent.residuals.primal, rounding.residuals.primal) &&
         candidate.residuals.dual <= std::max(incumbent.residuals.dual, rounding.residuals.dual) &&
         candidate.gap <= std::max(incumbent.gap, rounding.gap);
}

// ---- Polishing passes ----

namespace {

// The adaptive profile's polish: the active set identified from the duals,
// and a candidate kept only when it meets the stopping rule and is no worse
// than the best so far (first the iterate) in each of the primal residual,
// the dual residual and the duality gap (no_worse).
//
// Why these three. The worst residual alone lets a candidate trade a smaller
// maximum for a larger total: over thousands of assets its complementarity,
// and so its objective, can end up further from the optimum than the
// iterate's. The gap bounds f(x) − f* for any x (duality_gap), so a smaller
// gap is a tighter guarantee on the objective; it cannot see a free asset
// past its bound (no multiplier prices it), nor a multiplier that is
// infeasible where dᵢ = 0, which the primal and dual residuals see. A
// candidate is an exact KKT point of its active set, so one on the optimum's
// active set wins all three by orders of magnitude; one on a wrong set shows
// a wrong-signed multiplier (dual residual, and ½v²/dᵢ in the gap), a
// violated constraint (primal residual) or a crossed anchor (gap).
// Differences at the level of rounding (kRoundingFraction of the stopping
// tolerances, kRoundingGap of the objective's scale) count as none, so that
// an exact candidate is never refused for noise in the last digits.
std::optional<Polished> guarded_polish(const QpProblem& problem, const ReducedColumns& data,
                                       const Learnt& learnt, std::span<const double> x,
                                       const DualVariables& duals, const KktResiduals& residuals,
                                       const SolverSettings& settings, const IterateProducts& products) {
  const StoppingTolerances tolerances = stopping_tolerances(
      settings.absolute_tolerance, settings.relative_tolerance, problem, x, duals, products);
  Standing best = standing_of(problem, data, x, duals, residuals);
  const Standing rounding{{kRoundingFraction * tolerances.primal, kRoundingFraction * tolerances.dual, 0.0},
                          kRoundingGap * std::max(1.0, std::abs(problem.objective(x, products.px)))};

  std::optional<Polished> accepted;
  Selections selections;
  std::vector<double> row_images;
  CandidateStream stream;
  ActiveSet active = identify_active_set(problem, x, duals, products.in_image);
  for (int pass = 0; pass < kMaxPolishPasses; ++pass) {
    std::optional<Polished> candidate =
        solve_active_set(problem, data, learnt, selections, active, settings, row_images, stream);
    if (!candidate) break;
    ActiveSet next = refine_active_set(problem, *candidate, active, row_images);
    align_anchor_sides(problem, next);
    const Standing standing{candidate->residuals, duality_gap(problem, data, candidate->x, candidate->duals,
                                                              stream.of(problem, data, candidate->x))};
    if (meets_stopping_rule_of(problem, data, *candidate, settings, stream) &&
        no_worse(standing, best, rounding)) {
      best = standing;
      accepted = std::move(candidate);
      // Exact up to rounding: no other active set can do better.
      if (no_worse(standing, rounding, rounding)) break;
    } else if (!(standing.gap <= kHopelessGapFactor * best.gap)) {
      // A gap this far above the best is an active set far from the
      // optimum's; no refinement from one has recovered on the corpus.
      break;
    }
    if (next == active) break;
    active = std::move(next);
  }
  return accepted;
}

}  // namespace

bool improves_on(const QpProblem& problem, const ReducedColumns& data, const Polished& candidate, double best,
                 const SolverSettings& settings) {
  CandidateStream stream;
  return improves_on(problem, data, candidate, best, settings, stream);
}

std::optional<Polished> polish(const QpProblem& problem, std::span<const double> x,
                               const DualVariables& duals, const KktResiduals& residuals,
                               const SolverSettings& settings) {
  const ReducedColumns data =
      ReducedColumns::of_data(problem.quadratic.factors, constraint_rows(problem),
                              problem.quadratic.row_groups.get(), known_supports(problem));
  return polish(problem, data, x, duals, residuals, settings);
}

std::optional<Polished> polish(const QpProblem& problem, const ReducedColumns& data,
                               std::span<const double> x, const DualVariables& duals,
                               const KktResiduals& residuals, const SolverSettings& settings) {
  const std::vector<std::vector<std::uint32_t>> supports = data.compressed_rows();
  const IterateProducts products = settings.profile == SolverProfile::Adaptive
                                       ? iterate_products(problem, x, supports)
                                       : IterateProducts{};
  return polish_with_products(problem, data, x, duals, residuals, settings, products, supports);
}

std::optional<Polished> polish_with_products(const QpProblem& problem, const ReducedColumns& data,
                                             std::span<const double> x, const DualVariables& duals,
                                             const KktResiduals& residuals, const SolverSettings& settings,
                                             const IterateProducts& products,
                                             std::span<const std::vector<std::uint32_t>> supports) {
  const Learnt learnt = learnt_of(problem, supports);
  if (settings.profile == SolverProfile::Adaptive)
    return guarded_polish(problem, data, learnt, x, duals, residuals, settings, products);
  std::optional<Polished> accepted;
  // The best accepted so far starts at the ADMM iterate's worst residual; a
  // NaN there can never be beaten.
  double best = worst_residual(residuals);

  Selections selections;
  std::vector<double> row_images;
  CandidateStream stream;
  ActiveSet active = initial_guess(problem, x, duals, settings, products.in_image);
  for (int pass = 0; pass < kMaxPolishPasses; ++pass) {
    std::optional<Polished> candidate =
        solve_active_set(problem, data, learnt, selections, active, settings, row_images, stream);
    if (!candidate) break;
    ActiveSet next = refine_active_set(problem, *candidate, active, row_images);
    if (improves_on(problem, data, *candidate, best, settings, stream)) {
      best = worst_residual(candidate->residuals);
      accepted = std::move(candidate);
    }
    if (next == active) break;
    active = std::move(next);
  }
  return accepted;
}

// ---- Active sets: the guess, its refinement and the anchor pins ----

ActiveSet initial_guess(const QpProblem& problem, std::span<const double> x, const DualVariables& duals,
                        const SolverSettings& settings, std::span<const double> row_images) {
  const std::size_t n = problem.n();
  ActiveSet guess;

  std::vector<double> storage;
  const std::span<const double> images = inequality_images(problem, x, row_images, storage);
  for (std::size_t j = 0; j < problem.m_in(); ++j) {
    if (near(images[j], problem.inequalities.rhs[j], settings)) guess.active_rows.push_back(j);
  }

  // The bound multiplier's sign must agree with the side; Lower wins over
  // Upper so that a fixed variable (l = u) with a zero multiplier pins Lower.
  for (std::size_t i = 0; i < n; ++i) {
    const double y = i < duals.bounds.size() ? duals.bounds[i] : 0.0;
    const double l = problem.lower_bounds[i];
    const double u = problem.upper_bounds[i];
    std::optional<Side> side;
    if (std::isfinite(u) && near(x[i], u, settings) && y >= 0.0) side = Side::Upper;
    if (std::isfinite(l) && near(x[i], l, settings) && y <= 0.0) side = Side::Lower;
    if (side) guess.pins.emplace_back(i, *side);
  }

  if (problem.l1) {
    guess.anchor_sides.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double a = problem.l1->anchor[i];
      guess.anchor_sides[i] = near(x[i], a, settings) ? 0 : (x[i] > a ? 1 : -1);
    }
  }
  add_anchor_pins(guess.pins, guess.anchor_sides);
  return guess;
}

ActiveSet refine_active_set(const QpProblem& problem, const Polished& candidate, const ActiveSet& current,
                            std::span<const double> row_images) {
  const std::size_t n = problem.n();
  const std::size_t m_in = problem.m_in();
  const auto& x = candidate.x;
  ActiveSet next;

  // Rows: drop those whose multiplier turned negative, add those the
  // candidate violates.
  std::vector<char> was_active(m_in, 0);
  for (std::size_t row : current.active_rows) was_active[row] = 1;
  std::vector<double> storage;
  const std::span<const double> images = inequality_images(problem, x, row_images, storage);
  for (std::size_t j = 0; j < m_in; ++j) {
    const bool keep = was_active[j] ? candidate.duals.inequalities[j] >= 0.0
                                    : exceeds(images[j], problem.inequalities.rhs[j]);
    if (keep) next.active_rows.push_back(j);
  }

  // Pins: a bound pin stays while its multiplier has the right sign and is
  // released (for one pass) otherwise; free or anchored assets that overshoot
  // a bound get pinned to it.
  std::vector<std::optional<Side>> pinned(n);
  for (const auto& [asset, side] : current.pins) pinned[asset] = side;
  for (std::size_t i = 0; i < n; ++i) {
    const std::optional<Side> side = pinned[i];
    if (side == Side::Lower || side == Side::Upper) {
      const double y = candidate.duals.bounds[i];
      if (side == Side::Upper ? y >= 0.0 : y <= 0.0) next.pins.emplace_back(i, *side);
      continue;
    }
    if (exceeds(x[i], problem.upper_bounds[i])) {
      next.pins.emplace_back(i, Side::Upper);
    } else if (exceeds(problem.lower_bounds[i], x[i])) {
      next.pins.emplace_back(i, Side::Lower);
    }
  }

  // Anchor sides: an asset at its anchor leaves it when its L1 multiplier
  // exceeds the cost (the subgradient cannot hold it there); an asset off its
  // anchor returns to it when the candidate crossed over.
  if (problem.l1) {
    next.anchor_sides.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const int sigma = i < current.anchor_sides.size() ? current.anchor_sides[i] : 0;
      const double c = problem.l1->costs[i];
      const double a = problem.l1->anchor[i];
      if (sigma == 0) {
        const double y = candidate.duals.l1[i];
        next.anchor_sides[i] = y > c ? 1 : (y < -c ? -1 : 0);
      } else {
        const bool crossed =
            static_cast<double>(sigma) * (x[i] - a) < -kExceedMargin * closeness_scale(x[i], a);
        next.anchor_sides[i] = crossed ? 0 : sigma;
      }
    }
  }
  add_anchor_pins(next.pins, next.anchor_sides);
  return next;
}

// ---- The adaptive profile's active sets ----

namespace {

// How strongly a side holds an asset: the room its multiplier leaves minus
// the distance to it; the side holds while this is positive.
struct Hold {
  Side side;
  double margin;
};

// A bound holds when its multiplier outweighs the distance to it (OSQP's
// rule): lower when x − l < −y, upper when u − x < y. A fixed asset (l = u)
// is always held, on the side its multiplier's sign names.
std::optional<Hold> bound_hold(double x, double y, double l, double u) {
  if (l == u) return Hold{y > 0.0 ? Side::Upper : Side::Lower, std::numeric_limits<double>::infinity()};
  constexpr double kNever = -std::numeric_limits<double>::infinity();
  const double lower = std::isfinite(l) ? -y - (x - l) : kNever;
  const double upper = std::isfinite(u) ? y - (u - x) : kNever;
  if (lower > 0.0 && lower >= upper) return Hold{Side::Lower, lower};
  if (upper > 0.0) return Hold{Side::Upper, upper};
  return std::nullopt;
}

// The same rule at an anchor, whose multiplier ranges over [−c, c]: with
// d = x − a, the room is c − sign(d)·y (c − |y| at d = 0), how far the
// multiplier is from breaking the subgradient on d's side. A zero cost never
// holds an asset.
double anchor_margin(double d, double y, double c) {
  const double room = c - (d > 0.0 ? y : (d < 0.0 ? -y : std::abs(y)));
  return room - std::abs(d);
}

// The anchor side of an asset at x: +1 above a, −1 below, 0 at it.
int side_of(double x, double a) {
  return x > a ? 1 : (x < a ? -1 : 0);
}

}  // namespace

ActiveSet identify_active_set(const QpProblem& problem, std::span<const double> x, const DualVariables& duals,
                              std::span<const double> row_images) {
  const std::size_t n = problem.n();
  ActiveSet set;
  std::vector<double> storage;
  const std::span<const double> images = inequality_images(problem, x, row_images, storage);
  for (std::size_t j = 0; j < problem.m_in(); ++j) {
    const double slack = problem.inequalities.rhs[j] - images[j];
    if (slack < duals.inequalities[j]) set.active_rows.push_back(j);
  }
  if (problem.l1) set.anchor_sides.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const double l = problem.lower_bounds[i];
    const double u = problem.upper_bounds[i];
    auto bound = bound_hold(x[i], duals.bounds[i], l, u);
    if (!problem.l1) {
      if (bound) set.pins.emplace_back(i, bound->side);
      continue;
    }
    const double a = problem.l1->anchor[i];
    const double d = x[i] - a;
    const double y = duals.l1[i];
    const double anchored = anchor_margin(d, y, problem.l1->costs[i]);
    // An anchor on a bound is held there by the bound's pin, whose multiplier
    // covers both (share_anchor_multipliers splits it).
    const std::optional<Side> on_bound =
        a == l ? std::optional(Side::Lower) : (a == u ? std::optional(Side::Upper) : std::nullopt);
    if (on_bound && anchored > 0.0 && (!bound || anchored > bound->margin)) bound = Hold{*on_bound, anchored};
    // Held by a bound and by the anchor: the firmer hold wins.
    if (bound && (on_bound || bound->margin >= anchored)) {
      set.pins.emplace_back(i, bound->side);
    } else if (!(anchored > 0.0)) {
      set.anchor_sides[i] = d != 0.0 ? side_of(x[i], a) : (y < 0.0 ? -1 : 1);
    }
  }
  align_anchor_sides(problem, set);
  add_anchor_pins(set.pins, set.anchor_sides);
  return set;
}

void align_anchor_sides(const QpProblem& problem, ActiveSet& active) {
  if (!problem.l1 || active.anchor_sides.size() != problem.n()) return;
  for (const auto& [asset, side] : active.pins) {
    if (side != Side::Anchor)
      active.anchor_sides[asset] = side_of(pin_target(problem, asset, side), problem.l1->anchor[asset]);
  }
}

void add_anchor_pins(std::vector<std::pair<std::size_t, Side>>& pins, std::span<const int> anchor_sides) {
  std::vector<char> has_pin(anchor_sides.size(), 0);
  for (const auto& pin : pins) {
    if (pin.first < has_pin.size()) has_pin[pin.first] = 1;
  }
  const auto by_asset = [](const auto& a, const auto& b) { return a.first < b.first; };
  const std::ptrdiff_t bound_pins = static_cast<std::ptrdiff_t>(pins.size());
  for (std::size_t i = 0; i < anchor_sides.size(); ++i) {
    if (anchor_sides[i] == 0 && !has_pin[i]) pins.emplace_back(i, Side::Anchor);
  }
  // The appended anchor pins are in asset order; when the given pins are too
  // (as initial_guess and refine_active_set build them), merging the two runs
  // is the stable sort.
  const auto middle = pins.begin() + bound_pins;
  if (std::is_sorted(pins.begin(), middle, by_asset)) {
    std::inplace_merge(pins.begin(), middle, pins.end(), by_asset);
  } else {
    std::stable_sort(pins.begin(), pins.end(), by_asset);
  }
}

// ---- Regularised solve of one active set ----

// Eliminating λ = (A·x − t)/δ and μ = (x_pins − p)/δ from
//   (P + δI)·x + Aᵀλ + Σ μ·e_i = rhs,  A·x − δλ = t,  x_pins − δμ = p
// leaves K·x = rhs + (1/δ)·Aᵀt + p/δ at the pins.
RegularizedSolution solve_regularized(const QpProblem& problem, const SmwSystem& system,
                                      const ReducedColumns& rows, const ActiveSet& active,
                                      std::span<const double> rhs, std::span<const double> targets,
                                      std::span<const double> pin_targets, double delta,
                                      std::span<const double> target_pull, bool row_multipliers) {
  const std::size_t n = problem.n();
  RegularizedSolution solution;
  auto& x = solution.x;
  // x = Aᵀt first (the pull), then rhs + (1/δ)·Aᵀt in place.
  if (target_pull.size() == n) {
    x.assign(target_pull.begin(), target_pull.end());
  } else {
    x.assign(n, 0.0);
    rows.add_constraint_combination(targets, x);
  }
  const double inverse_delta = 1.0 / delta;
  for (std::size_t i = 0; i < n; ++i) x[i] = rhs[i] + inverse_delta * x[i];
  for (std::size_t p = 0; p < active.pins.size(); ++p) x[active.pins[p].first] += pin_targets[p] / delta;
  system.solve_in_place(x);

  auto& lambda = solution.constraint_multipliers;
  if (row_multipliers) {
    lambda.resize(rows.rank() - rows.factors());
    rows.constraint_image(x, lambda);
    for (std::size_t r = 0; r < lambda.size(); ++r) lambda[r] = (lambda[r] - targets[r]) / delta;
  }
  auto& mu = solution.pin_multipliers;
  mu.resize(active.pins.size());
  for (std::size_t p = 0; p < active.pins.size(); ++p)
    mu[p] = (x[active.pins[p].first] - pin_targets[p]) / delta;
  return solution;
}

}  // namespace morva
