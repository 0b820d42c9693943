// The iterate of one ADMM solve in the iteration space, and the proximal maps
// of its box and L1 blocks: what the iteration (workspace.cpp) and its
// acceleration (acceleration.cpp) both read and write. Private to the library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "morva/kkt.hpp"

namespace morva {

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
  std::vector<double> weights;      // [(ρz_eq − y_eq) ; (ρz_in − y_in)]
  std::vector<double> reduced;      // t = UᵀG⁻¹r, then w = S⁻¹t (h entries)
  std::vector<double> dense;        // scratch of the two passes over V
  std::vector<double> scaled_rhs;   // r without U, then G⁻¹r (n)
  // scaled_rhs already holds the next iteration's r without U: the last
  // iteration formed it row by row from its update, at the penalty in force.
  bool rhs_formed = false;
  std::vector<double> scratch;  // n, for the consensus dual residual
  double leverage_theta = 0.0;  // the last box projection's leverage θ (its warm start)

  // Every buffer but x and y zeros of its size (h: the rank of V).
  AdmmState(std::size_t n_, std::size_t m_eq_, std::size_t m_in_, std::size_t n_l1_, std::size_t h,
            std::size_t pass_scratch)
      : n(n_), m_eq(m_eq_), m_in(m_in_), n_l1(n_l1_), reduced(h), dense(pass_scratch) {
    for (auto* v : {&z_box, &x_next, &z_box_next, &y_box_next, &scaled_rhs, &scratch}) v->resize(n);
    for (auto* v : {&z_l1, &z_l1_next, &y_l1_next}) v->resize(n_l1);
    for (auto* v : {&z_in, &z_in_before}) v->resize(m_in);
    for (auto* v : {&image, &weights}) v->resize(m_eq + m_in);
    z_eq.resize(m_eq);
  }
};

}  // namespace morva
