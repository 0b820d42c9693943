// Type-II Anderson acceleration of a fixed-point iteration u ← F(u).
//
// With the residual g(u) = F(u) − u and the differences of the last m steps,
//   ΔU = [u_{j+1} − u_j],  ΔG = [g_{j+1} − g_j],
// the next point is F(u_k) − (ΔU + ΔG)·γ with γ = argmin ‖g_k − ΔG·γ‖₂: the
// affine combination of the recent images whose linearised residual is least.
// γ comes from the m×m normal equations ΔGᵀΔG·γ = ΔGᵀg_k, regularised by
// 1e-8·trace so that nearly parallel differences stay solvable. When a
// residual grows past twice the previous one (the extrapolation left the
// region where F is nearly affine) or the normal equations break down, the
// memory restarts and the plain image F(u_k) is kept. So it does when the
// correction (ΔU + ΔG)·γ would be longer than 100 residuals: where F only
// translates (the iterates of an infeasible problem drift along the
// certificate direction) ΔG vanishes and γ would throw the iterate far along
// the drift.
//
// Per step the cost is 2m + 1 inner products and m updates of n entries:
// only the newest column of ΔGᵀΔG is formed, and ΔU + ΔG is kept summed.
// Every buffer is sized at construction; extrapolate allocates nothing.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "detail/simd.hpp"

namespace morva {

class AndersonAcceleration {
 public:
  // Accelerates iterates of `dimension` entries over the last `memory` steps.
  AndersonAcceleration(std::size_t dimension, std::size_t memory);

  // Forgets every step (after the map F changed, e.g. a new penalty).
  void restart();

  // `point` is u_k and `image` holds F(u_k). Returns true when the
  // extrapolated next point is image − correction(), or false to keep the
  // image (the first step after a restart, or a restart now). `point` is
  // kept as u_{k−1} by swapping it with the vector that held the one before,
  // so the caller's vector holds stale values after the call.
  bool extrapolate(std::vector<double>& point, std::span<const double> image);
  // (ΔU + ΔG)·γ of the last extrapolation that returned true.
  std::span<const double> correction() const { return correction_; }

 private:
  // Writes g_k (residual_, its squares into `squares`), then Δg and Δu + Δg
  // into slot `newest` from u_k and F(u_k), with the newest column of ΔGᵀΔG
  // and ΔGᵀg_k over the first m slots.
  void take_differences(std::span<const double> point, std::span<const double> image, std::size_t newest,
                        std::size_t m, detail::Dot4Sums& squares);
  // γ from ΔGᵀΔG and ΔGᵀg_k over the first `count` slots; false when the
  // system is singular or its solution not finite.
  bool solve_weights(std::size_t count);
  // The correction (ΔU + ΔG)·γ, and whether it is at most kMaxCorrection
  // residuals long (else it is not to be applied).
  bool correct(double residual_norm);

  std::size_t dimension_;
  std::size_t memory_;
  std::size_t count_ = 0;  // differences stored
  std::size_t next_ = 0;   // slot the next difference goes to
  bool has_previous_ = false;
  double previous_norm_ = 0.0;
  std::vector<double> residual_;           // g_k
  std::vector<double> previous_point_;     // u_{k−1}
  std::vector<double> previous_residual_;  // g_{k−1}
  std::vector<double> combined_steps_;     // ΔU + ΔG, column j at j·dimension
  std::vector<double> residual_steps_;     // ΔG, the same layout
  std::vector<double> gram_;               // ΔGᵀΔG (memory × memory, full)
  std::vector<double> factor_;             // its regularised Cholesky factor (lower)
  std::vector<double> weights_;            // ΔGᵀg_k, then γ
  std::vector<double> correction_;         // (ΔU + ΔG)·γ
  std::vector<detail::Dot4Sums> sums_;     // take_differences' partial sums, two per slot
};

}  // namespace morva
