#include "acceleration.hpp"

#include <algorithm>
#include <cmath>
#include <span>

namespace morva {
namespace {

// One ADMM iteration is a map of u = (x, s), s = z + y/ρ block by block: the
// z-update is z = Π(s) and the dual update y = ρ(s − Π(s)) (the Moreau
// split of s), so (x, s) determines the whole iterate. Anderson acceleration
// extrapolates that map; these write u from the iterate and back.
std::size_t fixed_point_size(const AdmmState& s) {
  return s.n + s.m_eq + s.m_in + s.n + s.n_l1;
}

void pack_fixed_point(const AdmmState& s, double rho, std::span<double> u) {
  const double inv_rho = 1.0 / rho;
  double* out = u.data();
  for (std::size_t i = 0; i < s.n; ++i) *out++ = s.x[i];
  for (std::size_t i = 0; i < s.m_eq; ++i) *out++ = s.z_eq[i] + s.y.equalities[i] * inv_rho;
  for (std::size_t i = 0; i < s.m_in; ++i) *out++ = s.z_in[i] + s.y.inequalities[i] * inv_rho;
  for (std::size_t i = 0; i < s.n; ++i) *out++ = s.z_box[i] + s.y.bounds[i] * inv_rho;
  for (std::size_t i = 0; i < s.n_l1; ++i) *out++ = s.z_l1[i] + s.y.l1[i] * inv_rho;
}

// The iterate from u = image − correction, each entry's difference taken as
// it is read.
void unpack_fixed_point(std::span<const double> image, std::span<const double> correction, double rho,
                        const QpProblem& problem, AdmmState& s) {
  const double inv_rho = 1.0 / rho;
  const double* in = image.data();
  const double* off = correction.data();
  const auto next = [&] { return *in++ - *off++; };
  for (std::size_t i = 0; i < s.n; ++i) s.x[i] = next();
  for (std::size_t i = 0; i < s.m_eq; ++i) {
    s.z_eq[i] = problem.equalities.rhs[i];
    s.y.equalities[i] = rho * (next() - s.z_eq[i]);
  }
  for (std::size_t i = 0; i < s.m_in; ++i) {
    const double v = next();
    s.z_in[i] = std::min(v, problem.inequalities.rhs[i]);
    s.y.inequalities[i] = rho * (v - s.z_in[i]);
  }
  if (problem.leverage) {
    // The box within the limit projects every entry at once (Π of the block).
    for (std::size_t i = 0; i < s.n; ++i) s.scratch[i] = next();
    s.leverage_theta = project_box_and_leverage(s.scratch, problem.lower_bounds, problem.upper_bounds,
                                                *problem.leverage, s.leverage_theta, s.z_box);
    for (std::size_t i = 0; i < s.n; ++i) s.y.bounds[i] = rho * (s.scratch[i] - s.z_box[i]);
  } else {
    for (std::size_t i = 0; i < s.n; ++i) {
      const double v = next();
      s.z_box[i] = clamp_to_box(v, problem.lower_bounds[i], problem.upper_bounds[i]);
      s.y.bounds[i] = rho * (v - s.z_box[i]);
    }
  }
  for (std::size_t i = 0; i < s.n_l1; ++i) {
    const double v = next();
    s.z_l1[i] = soft_threshold(v, problem.l1->costs[i] * inv_rho);
    s.y.l1[i] = rho * (v - s.z_l1[i]);
  }
  s.rhs_formed = false;  // the iterate moved after the right-hand side was formed
}

}  // namespace

Acceleration::Acceleration(const AdmmState& s)
    : anderson_(fixed_point_size(s), kMemory),
      point_(fixed_point_size(s)),
      image_(fixed_point_size(s)),
      n_(s.n) {}

void Acceleration::before(std::uint64_t k, const AdmmState& s, double rho) {
  if (active(k)) pack_fixed_point(s, rho, point_);
}
void Acceleration::after(std::uint64_t k, const QpProblem& problem, AdmmState& s, double rho) {
  if (!active(k)) return;
  pack_fixed_point(s, rho, image_);
  if (k % kProgressWindow == 0) {
    const double step = step_size(rho);
    if (k > kProgressWindow && !(step <= kRequiredProgress * window_start_step_)) {
      stopped_ = true;
      return;
    }
    window_start_step_ = step;
  }
  if (anderson_.extrapolate(point_, image_))
    unpack_fixed_point(image_, anderson_.correction(), rho, problem, s);
}

double Acceleration::step_size(double rho) const {
  double x = 0.0, rest = 0.0;
  for (std::size_t i = 0; i < point_.size(); ++i) {
    const double d = image_[i] - point_[i];
    (i < n_ ? x : rest) += d * d;
  }
  return std::sqrt(x) + rho * std::sqrt(rest);
}

}  // namespace morva
