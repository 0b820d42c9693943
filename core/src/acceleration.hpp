// Anderson acceleration of the ADMM iteration map, for the adaptive profile.
// Private to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "admm_state.hpp"
#include "anderson.hpp"
#include "morva/problem.hpp"

namespace morva {

// Anderson acceleration of the iteration map for the adaptive profile. It
// stops for good after kIterations iterations, or once one iteration's step
// has not halved over kProgressWindow iterations: a solve that needs more is
// one where extrapolation has not paid, and the plain iteration finishes it
// with ADMM's own guarantee. The step is measured as ‖Δx‖ + ρ‖Δs‖, which is
// ‖Δx‖ + ‖ρΔz + Δy‖ and so does not shrink when the penalty grows. An
// infeasible or unbounded problem stops it: there Δy or Δx tends to a nonzero
// constant, the certificate direction, which the infeasibility tests read from
// the differences of plain iterates.
class Acceleration {
 public:
  static constexpr std::size_t kMemory = 5;
  static constexpr std::uint64_t kIterations = 500;
  static constexpr std::uint64_t kProgressWindow = 50;
  static constexpr double kRequiredProgress = 0.5;

  explicit Acceleration(const AdmmState& s);

  // u_k, taken before iteration k.
  void before(std::uint64_t k, const AdmmState& s, double rho);
  // F(u_k) is the iterate now; replaces it by the extrapolation.
  void after(std::uint64_t k, const QpProblem& problem, AdmmState& s, double rho);
  // The map changed with the penalty.
  void restart() { anderson_.restart(); }

 private:
  bool active(std::uint64_t k) const { return !stopped_ && k <= kIterations; }

  // ‖Δx‖₂ + ρ‖Δs‖₂ of the step from point_ to image_.
  double step_size(double rho) const;

  AndersonAcceleration anderson_;
  std::vector<double> point_, image_;
  std::size_t n_;
  double window_start_step_ = 0.0;
  bool stopped_ = false;
};

}  // namespace morva
