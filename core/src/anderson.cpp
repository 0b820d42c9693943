#include "anderson.hpp"

#include <algorithm>
#include <cmath>

#include "detail/simd.hpp"

namespace morva {
namespace {

// Tikhonov weight of the normal equations, relative to their trace.
constexpr double kRegularization = 1e-8;
// A residual this many times the previous one restarts the memory.
constexpr double kRestartGrowth = 2.0;
// A correction longer than this many residuals is refused (and restarts).
constexpr double kMaxCorrection = 100.0;

double dot(const double* a, const double* b, std::size_t n) {
  return detail::dot4(a, b, n);
}

}  // namespace

AndersonAcceleration::AndersonAcceleration(std::size_t dimension, std::size_t memory)
    : dimension_(dimension),
      memory_(std::max<std::size_t>(memory, 1)),
      residual_(dimension),
      previous_point_(dimension),
      previous_residual_(dimension),
      combined_steps_(dimension * memory_),
      residual_steps_(dimension * memory_),
      gram_(memory_ * memory_),
      factor_(memory_ * memory_),
      weights_(memory_),
      correction_(dimension) {}

void AndersonAcceleration::restart() {
  count_ = 0;
  next_ = 0;
  has_previous_ = false;
}

bool AndersonAcceleration::extrapolate(std::span<const double> point, std::span<double> image) {
  const std::size_t n = dimension_;
  for (std::size_t i = 0; i < n; ++i) residual_[i] = image[i] - point[i];
  const double norm = std::sqrt(dot(residual_.data(), residual_.data(), n));
  const bool grew = has_previous_ && !(norm <= kRestartGrowth * previous_norm_);
  bool extrapolated = false;
  if (grew || !std::isfinite(norm)) {
    restart();
  } else if (has_previous_) {
    const std::size_t newest = next_;
    double* sum = combined_steps_.data() + newest * n;
    double* dg = residual_steps_.data() + newest * n;
    for (std::size_t i = 0; i < n; ++i) {
      dg[i] = residual_[i] - previous_residual_[i];
      sum[i] = point[i] - previous_point_[i] + dg[i];
    }
    next_ = (next_ + 1) % memory_;
    count_ = std::min(count_ + 1, memory_);
    if (solve_weights(count_, newest) && correct(norm, image)) {
      extrapolated = true;
    } else {
      restart();
    }
  }
  std::copy(point.begin(), point.end(), previous_point_.begin());
  std::swap(previous_residual_, residual_);
  previous_norm_ = norm;
  has_previous_ = std::isfinite(norm);
  return extrapolated;
}

bool AndersonAcceleration::correct(double residual_norm, std::span<double> image) {
  const std::size_t n = dimension_;
  std::fill(correction_.begin(), correction_.end(), 0.0);
  for (std::size_t j = 0; j < count_; ++j) {
    const double w = weights_[j];
    const double* sum_j = combined_steps_.data() + j * n;
    for (std::size_t i = 0; i < n; ++i) correction_[i] += w * sum_j[i];
  }
  const double length = std::sqrt(dot(correction_.data(), correction_.data(), n));
  if (!(length <= kMaxCorrection * residual_norm)) return false;
  for (std::size_t i = 0; i < n; ++i) image[i] -= correction_[i];
  return true;
}

bool AndersonAcceleration::solve_weights(std::size_t m, std::size_t newest) {
  const std::size_t n = dimension_;
  const std::size_t stride = memory_;
  // The columns are used in slot order: the order does not change γ's
  // combination. Only the newest column of ΔGᵀΔG is new.
  const double* dg_new = residual_steps_.data() + newest * n;
  for (std::size_t a = 0; a < m; ++a) {
    gram_[a * stride + newest] = gram_[newest * stride + a] = dot(dg_new, residual_steps_.data() + a * n, n);
  }
  double trace = 0.0;
  for (std::size_t a = 0; a < m; ++a) {
    weights_[a] = dot(residual_steps_.data() + a * n, residual_.data(), n);
    trace += gram_[a * stride + a];
  }
  const double shift = kRegularization * trace;
  if (!(trace > 0.0) || !std::isfinite(trace)) return false;
  // Cholesky of the lower triangle in place, then the two triangular solves.
  for (std::size_t a = 0; a < m; ++a) {
    for (std::size_t b = 0; b <= a; ++b) {
      double v = gram_[a * stride + b] + (a == b ? shift : 0.0);
      for (std::size_t c = 0; c < b; ++c) v -= factor_[a * stride + c] * factor_[b * stride + c];
      if (a == b) {
        if (!(v > 0.0)) return false;
        factor_[a * stride + a] = std::sqrt(v);
      } else {
        factor_[a * stride + b] = v / factor_[b * stride + b];
      }
    }
  }
  for (std::size_t a = 0; a < m; ++a) {
    double v = weights_[a];
    for (std::size_t c = 0; c < a; ++c) v -= factor_[a * stride + c] * weights_[c];
    weights_[a] = v / factor_[a * stride + a];
  }
  for (std::size_t a = m; a-- > 0;) {
    double v = weights_[a];
    for (std::size_t c = a + 1; c < m; ++c) v -= factor_[c * stride + a] * weights_[c];
    weights_[a] = v / factor_[a * stride + a];
  }
  return std::all_of(weights_.begin(), weights_.begin() + static_cast<std::ptrdiff_t>(m),
                     [](double w) { return std::isfinite(w); });
}

}  // namespace morva
