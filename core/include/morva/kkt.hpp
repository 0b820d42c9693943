// KKT residuals of an iterate of the unscaled QP.
//
// Sign convention: P·x + q + A_eqᵀ·y + A_inᵀ·z + y_bounds + y_l1 = 0 at an
// optimum; z ≥ 0; a box multiplier is positive at an active upper bound and
// negative at an active lower bound; y_l1,i ∈ [−cᵢ, cᵢ].
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/problem.hpp"

namespace morva {

struct DualVariables {
  std::vector<double> equalities;    // m_eq, free
  std::vector<double> inequalities;  // m_in, ≥ 0
  std::vector<double> bounds;        // n
  std::vector<double> l1;            // n with an L1 term, else empty

  bool operator==(const DualVariables&) const = default;
};

struct KktResiduals {
  double primal = 0.0;
  double dual = 0.0;
  double complementarity = 0.0;

  bool operator==(const KktResiduals&) const = default;
};

// Lengths are checked in the order x, dual.equalities, dual.inequalities,
// dual.bounds, dual.l1; the first mismatch is returned.
std::expected<KktResiduals, LengthMismatch> check_kkt(const QpProblem& problem, std::span<const double> x,
                                                      const DualVariables& duals);

}  // namespace morva
