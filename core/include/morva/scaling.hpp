// Modified Ruiz equilibration on the factor form, with a cost scaling pass.
//
//   P_s = c·D·P·D,  q_s = c·D∘q,  A_s = E·A·D,  b_s = E∘b,  l_s = l/D,  u_s = u/D,
//   c_s = c·D∘c_L1, a_s = a/D.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/kkt.hpp"
#include "morva/matrix.hpp"
#include "morva/problem.hpp"

namespace morva {

// Scale factors are clamped to this range so a single pass cannot blow up or
// annihilate a column.
inline constexpr double kMinScaleFactor = 1e-6;
inline constexpr double kMaxScaleFactor = 1e6;

struct ScaledProblem {
  // Quadratic form: factors F_s with the unscaled Ω (or C_s with Ω = I),
  // diagonal d_s.
  QpProblem problem;
  std::vector<double> column_scaling;      // D, n
  std::vector<double> equality_scaling;    // E_eq, m_eq
  std::vector<double> inequality_scaling;  // E_in, m_in
  double cost_scaling = 1.0;               // c

  // Exactly `iterations` passes over the validated problem, whose covariance
  // columns C = F·L (L·Lᵀ = Ω) are never formed: the scaled form keeps Ω and
  // scales the rows of F instead (F_s = √c·D·F, so C_s = F_s·L). Fails, like
  // the covariance columns, on a dense Ω that is not positive semidefinite.
  static std::expected<ScaledProblem, SolverError> equilibrate(const QpProblem& problem,
                                                               std::uint64_t iterations);

  // One block of unscaled data written into `problem` under the scale factors
  // found (lengths already checked): b_s = E∘b, q_s = c·D∘q, a_s = a/D. The
  // right-hand sides and the anchor are formed as equilibration forms them;
  // equilibration forms q_s pass by pass, so set_linear may differ from it in
  // the last bits. Without an L1 term set_l1_anchor does nothing.
  void set_equality_rhs(std::span<const double> rhs);
  void set_inequality_rhs(std::span<const double> rhs);
  void set_linear(std::span<const double> linear);
  void set_l1_anchor(std::span<const double> anchor);
  // The box and the L1 costs the same way: l_s = l/D, u_s = u/D and
  // c_s = c·D∘c_L1 (formed at once, so it may differ from equilibration's
  // pass-by-pass product in the last bits). Without an L1 term set_l1_costs
  // does nothing.
  void set_bounds(std::span<const double> lower, std::span<const double> upper);
  void set_l1_costs(std::span<const double> costs);

  // Unscaled starting point → scaled units, in place:
  // x/D, c·y_eq/E_eq, c·y_in/E_in, c·D∘y_box, c·D∘y_l1.
  void scale_iterates_in_place(std::span<double> x, DualVariables& duals) const;
};

// Scaled iterate → unscaled units (plain copies when `scaled` is null):
// D∘x_s, E_eq∘y_eq/c, E_in∘y_in/c, y_box/(c·D), y_l1/(c·D).
std::pair<std::vector<double>, DualVariables> unscaled_iterates(const ScaledProblem* scaled,
                                                                std::span<const double> x_scaled,
                                                                const DualVariables& duals_scaled);

}  // namespace morva
