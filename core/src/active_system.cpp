// The regularised KKT system of one active set: its stacked rows and pins,
// the selections of the problem's V it is factored from, its solve and the
// iterative refinement against the unregularised system, the multipliers it
// yields as dual blocks, and the candidate's KKT check.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "active_set.hpp"
#include "covariance_columns.hpp"
#include "detail/vector_ops.hpp"
#include "factor_products.hpp"
#include "linalg.hpp"
#include "morva/linalg.hpp"
#include "polish_internal.hpp"
#include "profile_rule.hpp"

namespace morva {
namespace {

using detail::all_finite;
using detail::inf_norm;

// Refinement: at most this many passes in all, each past the configured ones
// only while it cuts the residual by this factor.
constexpr std::uint64_t kMaxRefinementSteps = 12;
constexpr double kRefinementGain = 2.0;

// A candidate's products for its KKT check, with iterate_products' bits:
// Fᵀx and every row's A·x from one stream over the problem's V, then the
// rows of P·x through F as FactorQuad::apply takes them. V's sums take the
// rows in increasing order, as F's transposed product and each row's dot
// product do, over the stored (nonzero) terms alone: with x finite every
// skipped term is ±0, and adding ±0 leaves a sum that starts at +0 unchanged
// (it is never −0), when V holds the problem's columns (holds_data_columns).
// `first` keeps the stream over V when one is taken.
IterateProducts candidate_products(const QpProblem& problem, const ReducedColumns& data,
                                   std::span<const std::vector<std::uint32_t>> supports,
                                   std::span<const double> x, std::optional<TransposeImage>& first) {
  if (!all_finite(x) || !holds_data_columns(data, problem, x.size()))
    return iterate_products(problem, x, supports);
  first = transpose_image(problem, data, x);
  const std::vector<double>& t = first->t;
  const std::vector<double>& image = first->image;
  std::vector<double> s(problem.quadratic.factor_count());
  IterateProducts products;
  products.row_supports = supports.size() == image.size() ? supports : RowSupports{};
  products.px.resize(x.size());
  apply_from_transpose(problem.quadratic, x, t, products.px, s);
  const auto m_eq = static_cast<std::ptrdiff_t>(problem.m_eq());
  products.eq_image.assign(image.begin(), image.begin() + m_eq);
  products.in_image.assign(image.begin() + m_eq, image.end());
  return products;
}

}  // namespace

Learnt learnt_of(const QpProblem& problem, std::span<const std::vector<std::uint32_t>> supports) {
  Learnt learnt{supports, std::nullopt};
  const FactorCovariance& omega = problem.quadratic.omega;
  if (omega.is_dense()) {
    // Failing here, each pass fails the same way when it factors Ω.
    if (auto lower = semidefinite_cholesky(omega.dense_matrix())) learnt.lower = std::move(*lower);
  }
  return learnt;
}

// K = diag(G) + U·Uᵀ, U = [C, A_eqᵀ/√δ, A_actᵀ/√δ], factored with 1/√δ
// multiplied into the stored entries of the stacked rows, not applied to
// their sums in the capacitance S = I + UᵀG⁻¹U. Every pinned asset has
// G⁻¹_i ≈ δ. Summed unscaled, its term a_i²·G⁻¹_i ≈ a_i²·δ is no power of
// two; hundreds of pins with equal a_i² (budget and membership rows) add
// nearly equal terms that round the running sum the same way, an error that
// grows with the pins. Summed scaled, the term is (a_i²/δ)·G⁻¹_i ≈ a_i² and
// adds almost exactly. The solve cancels the (1/δ)·Aᵀt of its right-hand
// side against S, which magnifies S's error by about 1/δ in A·x.
bool Selections::select(const QpProblem& problem, const ReducedColumns& data, const Learnt& learnt,
                        std::span<const std::size_t> wanted, std::span<const double* const> constraint,
                        double delta) {
  if (columns && std::ranges::equal(kept, wanted)) return true;
  columns.reset();
  target_pull.reset();
  auto selected = KeptColumns::select(problem.quadratic, data, wanted, constraint, 1.0 / std::sqrt(delta),
                                      learnt.supports, learnt.lower ? &*learnt.lower : nullptr);
  if (!selected) return false;
  kept.assign(wanted.begin(), wanted.end());
  columns = std::move(*selected);
  return true;
}

namespace {

// The data of one active-set solve: the stacked rows as columns of the
// problem's V (for products in the data's units), the factorised regularised
// operator K, the right-hand side with the L1 forces, and the targets of the
// constraint rows and of the pins.
struct ActiveSystem {
  const KeptColumns& rows;
  SmwSystem system;
  std::vector<double> rhs;
  std::vector<double> targets;          // equality rows, then active rows
  std::vector<double> pin_targets;      // one per pin, in pin order
  std::span<const double> target_pull;  // Aᵀ·targets
  std::vector<double> start_rows;       // λ₀ of the rows (empty: zero)
};

// The system of the equality rows, the active rows and the pins of `active`
// (`has_sides`: its anchor sides carry L1 forces); none on a failure.
// K = P + δI + (1/δ)(A_eqᵀA_eq + A_actᵀA_act + Σ_pins e_i·e_iᵀ)
//   = diag(d + δ + [pinned]/δ) + [L, A_eqᵀ/√δ, A_actᵀ/√δ]·[…]ᵀ.
// Off-anchor assets carry their L1 subgradient σ_i·c_i as a known force.
std::optional<ActiveSystem> active_system(const QpProblem& problem, const ReducedColumns& data,
                                          const Learnt& learnt, Selections& selections,
                                          const ActiveSet& active, double delta, bool has_sides) {
  const std::size_t n = problem.n();
  std::vector<double> diagonal(n);
  for (std::size_t i = 0; i < n; ++i) diagonal[i] = problem.quadratic.diagonal[i] + delta;
  for (const auto& pin : active.pins) diagonal[pin.first] += 1.0 / delta;
  // The equality rows, then the active rows: as columns of the problem's V,
  // and as pointers to their n coefficients.
  const std::size_t m_eq = problem.m_eq();
  std::vector<std::size_t> kept(m_eq + active.active_rows.size());
  std::vector<const double*> constraint(kept.size());
  for (std::size_t r = 0; r < kept.size(); ++r) {
    kept[r] = r < m_eq ? r : m_eq + active.active_rows[r - m_eq];
    constraint[r] = r < m_eq ? problem.equalities.matrix.row(r).data()
                             : problem.inequalities.matrix.row(active.active_rows[r - m_eq]).data();
  }
  if (!selections.select(problem, data, learnt, kept, constraint, delta)) return std::nullopt;
  auto system = selections.columns->factor(std::move(diagonal));
  if (!system) return std::nullopt;

  ActiveSystem out{
      *selections.columns, std::move(*system), std::vector<double>(n), problem.equalities.rhs, {}, {}, {}};
  for (std::size_t i = 0; i < n; ++i) {
    const double force = has_sides ? static_cast<double>(active.anchor_sides[i]) * problem.l1->costs[i] : 0.0;
    out.rhs[i] = -(problem.linear[i] + force);
  }
  for (std::size_t row : active.active_rows) out.targets.push_back(problem.inequalities.rhs[row]);
  if (!selections.target_pull) {
    selections.target_pull.emplace(n, 0.0);
    out.rows.add_row_combination(out.targets, *selections.target_pull);
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
    const std::vector<double> s = a.rows.factor_image(problem.quadratic, x, residual_t);
    // A first solve without λ leaves it to this stream: its A·x is the one
    // constraint_image forms (the same sums over the same terms in order).
    if (lambda.size() != residual_t.size()) {
      lambda.resize(residual_t.size());
      for (std::size_t r = 0; r < lambda.size(); ++r) lambda[r] = (residual_t[r] - a.targets[r]) / delta;
      for (std::size_t r = 0; r < a.start_rows.size(); ++r) lambda[r] += a.start_rows[r];
    }
    for (std::size_t r = 0; r < residual_t.size(); ++r) residual_t[r] = a.targets[r] - residual_t[r];
    for (std::size_t i = 0; i < n; ++i) force[i] = problem.quadratic.diagonal[i] * x[i];
    std::fill(pull.begin(), pull.end(), 0.0);
    a.rows.add_products(s, lambda, force, residual_t, pull);
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
    (side == Side::Anchor ? duals.l1 : duals.bounds)[asset] = mu[p];
  }
  if (has_sides) {
    for (std::size_t i = 0; i < n; ++i) {
      const int sigma = active.anchor_sides[i];
      if (sigma != 0) duals.l1[i] = static_cast<double>(sigma) * problem.l1->costs[i];
    }
  }
  return duals;
}

// Starts the system's multipliers at `start`'s (the iterate's duals): the
// rows' λ₀ and the pins' μ₀ (a bound pin on the anchor holds y_box + y_l1).
// The regularised solve is then a proximal step from (λ₀, μ₀) rather than
// from zero: where the rows and pins are linearly dependent (an industry
// whose every asset is pinned), the multipliers are not unique, and the
// refinement settles on those nearest its start. From zero, that split can
// put a pin's multiplier far outside its sign or [−c, c]; from the iterate's
// duals, which already respect them, it stays within rounding of them.
// Returns μ₀, and the rows' λ₀ in `a`; `rhs` takes −Aᵀλ₀ − μ₀.
std::vector<double> start_from(const QpProblem& problem, const ActiveSet& active, const DualVariables& start,
                               ActiveSystem& a, std::vector<double>& rhs) {
  a.start_rows.assign(start.equalities.begin(), start.equalities.end());
  for (std::size_t row : active.active_rows) a.start_rows.push_back(start.inequalities[row]);
  std::vector<double> pull(problem.n(), 0.0);
  a.rows.add_row_combination(a.start_rows, pull);
  std::vector<double> pins(active.pins.size());
  for (std::size_t p = 0; p < pins.size(); ++p) {
    const auto [asset, side] = active.pins[p];
    const bool on_anchor = problem.l1 && pin_target(problem, asset, side) == problem.l1->anchor[asset];
    pins[p] = (side == Side::Anchor ? 0.0 : start.bounds[asset]) + (on_anchor ? start.l1[asset] : 0.0);
    pull[asset] += pins[p];
  }
  for (std::size_t i = 0; i < problem.n(); ++i) rhs[i] -= pull[i];
  return pins;
}

}  // namespace

// ---- Regularised solve of one active set ----

// Eliminating λ = (A·x − t)/δ and μ = (x_pins − p)/δ from
//   (P + δI)·x + Aᵀλ + Σ μ·e_i = rhs,  A·x − δλ = t,  x_pins − δμ = p
// leaves K·x = rhs + (1/δ)·Aᵀt + p/δ at the pins.
RegularizedSolution solve_regularized(const QpProblem& problem, const SmwSystem& system,
                                      const KeptColumns& rows, const ActiveSet& active,
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
    rows.add_row_combination(targets, x);
  }
  const double inverse_delta = 1.0 / delta;
  for (std::size_t i = 0; i < n; ++i) x[i] = rhs[i] + inverse_delta * x[i];
  for (std::size_t p = 0; p < active.pins.size(); ++p) x[active.pins[p].first] += pin_targets[p] / delta;
  system.solve_in_place(x);

  auto& lambda = solution.constraint_multipliers;
  if (row_multipliers) {
    lambda.resize(rows.rows());
    rows.row_image(x, lambda);
    for (std::size_t r = 0; r < lambda.size(); ++r) lambda[r] = (lambda[r] - targets[r]) / delta;
  }
  auto& mu = solution.pin_multipliers;
  mu.resize(active.pins.size());
  for (std::size_t p = 0; p < active.pins.size(); ++p)
    mu[p] = (x[active.pins[p].first] - pin_targets[p]) / delta;
  return solution;
}

std::optional<Polished> solve_active_set(const QpProblem& problem, const ReducedColumns& data,
                                         const Learnt& learnt, Selections& selections,
                                         const ActiveSet& active, const SolverSettings& settings,
                                         const ProfileRule& rule, std::vector<double>& row_images,
                                         CandidateStream& stream, const DualVariables* start) {
  const double delta = settings.polish_regularization;

  // Anchor pins exist only with an L1 term; initial_guess and
  // refine_active_set guarantee it, so a violation just ends polishing.
  for (const auto& [asset, side] : active.pins) {
    if (side == Side::Anchor && !problem.l1) return std::nullopt;
  }
  const bool has_sides = problem.l1 && active.anchor_sides.size() == problem.n();
  auto system = active_system(problem, data, learnt, selections, active, delta, has_sides);
  if (!system) return std::nullopt;
  std::vector<double> rhs = system->rhs;
  const std::vector<double> start_pins =
      start ? start_from(problem, active, *start, *system, rhs) : std::vector<double>{};

  // With refinement its first stream forms A·x and with it λ.
  const bool refines = settings.polish_refinement_steps > 0;
  RegularizedSolution solution =
      solve_regularized(problem, system->system, system->rows, active, rhs, system->targets,
                        system->pin_targets, delta, system->target_pull, !refines);
  for (std::size_t p = 0; p < start_pins.size(); ++p) solution.pin_multipliers[p] += start_pins[p];
  if (!refines) {
    for (std::size_t r = 0; r < system->start_rows.size(); ++r)
      solution.constraint_multipliers[r] += system->start_rows[r];
  }
  refine(problem, *system, active, delta, settings.polish_refinement_steps,
         rule.extend_refinement_above(settings), solution);
  if (!all_finite(solution.x)) return std::nullopt;
  candidate_products_of(problem, data, learnt.supports, solution.x, stream);
  return candidate_of(problem, active, rule, std::move(solution), has_sides, stream, row_images);
}

const IterateProducts& candidate_products_of(const QpProblem& problem, const ReducedColumns& data,
                                             RowSupports supports, std::span<const double> x,
                                             CandidateStream& stream) {
  stream.first.reset();
  stream.products = candidate_products(problem, data, supports, x, stream.first);
  return stream.products;
}

std::vector<double> row_combination(const QpProblem& problem, const ReducedColumns& data,
                                    const DualVariables& duals) {
  const std::size_t n = problem.n();
  std::vector<double> y = duals.equalities;
  y.insert(y.end(), duals.inequalities.begin(), duals.inequalities.end());
  std::vector<double> pull(n, 0.0);
  if (holds_data_columns(data, problem, n)) {
    data.add_products({}, y, {}, pull);
    return pull;
  }
  const std::vector<const double*> a_rows = constraint_rows(problem);
  for (std::size_t row = 0; row < y.size(); ++row) {
    if (y[row] == 0.0) continue;
    const double* a = a_rows[row];
    for (std::size_t i = 0; i < n; ++i) pull[i] += a[i] * y[row];
  }
  return pull;
}

std::optional<Polished> candidate_of(const QpProblem& problem, const ActiveSet& active,
                                     const ProfileRule& rule, RegularizedSolution solution, bool has_sides,
                                     const CandidateStream& stream, std::vector<double>& row_images) {
  const IterateProducts& products = stream.products;
  if (!all_finite(solution.x) || !all_finite(solution.constraint_multipliers) ||
      !all_finite(solution.pin_multipliers)) {
    return std::nullopt;
  }
  Polished candidate;
  candidate.duals = active_set_duals(problem, active, solution, has_sides);
  rule.settle_duals(problem, active, candidate.duals);
  auto residuals = check_kkt(problem, solution.x, candidate.duals, products);
  if (!residuals) return std::nullopt;
  row_images = products.in_image;
  candidate.residuals = *residuals;
  candidate.x = std::move(solution.x);
  return candidate;
}

}  // namespace morva
