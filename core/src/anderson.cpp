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

// Stretch of the passes below: every vector a pass reads or writes stays in
// the first-level cache while the sums over it are taken. A multiple of four.
constexpr std::size_t kStretch = 256;

// The two passes over n-vectors, each in stretches of kStretch: a portable
// form and, on processors with AVX2, a four-lane one. A Dot4Sums' four
// partial sums are the four lanes there, each taking the same products in
// the same order, and every elementwise step is the same arithmetic, so the
// two forms agree bit for bit.
struct Passes {
  // residual = image − point, with squares over it (its whole groups of
  // four), in the same pass as dg = residual − previous_residual,
  // sum = (point − previous_point) + dg, and per stored column a < m (at
  // columns + a·n): against_newest[a] over dg·column, against_residual[a]
  // over column·residual.
  void (*differences)(const double* image, const double* point, const double* previous_point,
                      double* residual, const double* previous_residual, double* dg, double* sum,
                      std::size_t n, const double* columns, std::size_t m, detail::Dot4Sums* against_newest,
                      detail::Dot4Sums* against_residual, detail::Dot4Sums& squares);
  // correction = Σ_j weights_j·combined_j (j < count, in order, from +0),
  // and squares over it.
  void (*correction)(const double* combined, const double* weights, std::size_t count, double* correction,
                     std::size_t n, detail::Dot4Sums& squares);
};

void differences_narrow(const double* image, const double* point, const double* previous_point,
                        double* residual, const double* previous_residual, double* dg, double* sum,
                        std::size_t n, const double* columns, std::size_t m, detail::Dot4Sums* against_newest,
                        detail::Dot4Sums* against_residual, detail::Dot4Sums& squares) {
  const std::size_t whole = n / 4 * 4;
  for (std::size_t c0 = 0; c0 < n; c0 += kStretch) {
    const std::size_t c1 = std::min(n, c0 + kStretch);
    const std::size_t len = std::min(c1, whole) - std::min(c0, whole);
    for (std::size_t i = c0; i < c1; ++i) {
      residual[i] = image[i] - point[i];
      dg[i] = residual[i] - previous_residual[i];
      sum[i] = point[i] - previous_point[i] + dg[i];
    }
    squares.add(residual + c0, residual + c0, len);
    for (std::size_t a = 0; a < m; ++a) {
      const double* column = columns + a * n + c0;
      detail::Dot4Sums::add_together(against_newest[a], dg + c0, column, against_residual[a], column,
                                     residual + c0, len);
    }
  }
}

void correction_narrow(const double* combined, const double* weights, std::size_t count, double* correction,
                       std::size_t n, detail::Dot4Sums& squares) {
  const std::size_t whole = n / 4 * 4;
  for (std::size_t c0 = 0; c0 < n; c0 += kStretch) {
    const std::size_t c1 = std::min(n, c0 + kStretch);
    for (std::size_t i = c0; i < c1; ++i) correction[i] = 0.0;
    for (std::size_t j = 0; j < count; ++j) {
      const double w = weights[j];
      const double* sum_j = combined + j * n;
      for (std::size_t i = c0; i < c1; ++i) correction[i] += w * sum_j[i];
    }
    squares.add(correction + c0, correction + c0, std::min(c1, whole) - std::min(c0, whole));
  }
}

#if defined(__GNUC__) && defined(__x86_64__)
using detail::Lanes4;
using detail::load4;
using detail::store4;

[[gnu::target("avx2"), gnu::always_inline]] inline Lanes4 lanes_of(const detail::Dot4Sums& sums) {
  return Lanes4{sums.low[0], sums.low[1], sums.high[0], sums.high[1]};
}
[[gnu::target("avx2"), gnu::always_inline]] inline void store_lanes(detail::Dot4Sums& sums, Lanes4 v) {
  sums.low = detail::Lanes2{v[0], v[1]};
  sums.high = detail::Lanes2{v[2], v[3]};
}

[[gnu::target("avx2")]] void differences_wide(const double* image, const double* point,
                                              const double* previous_point, double* residual,
                                              const double* previous_residual, double* dg, double* sum,
                                              std::size_t n, const double* columns, std::size_t m,
                                              detail::Dot4Sums* against_newest,
                                              detail::Dot4Sums* against_residual, detail::Dot4Sums& squares) {
  const std::size_t whole = n / 4 * 4;
  Lanes4 sq = lanes_of(squares);
  for (std::size_t c0 = 0; c0 < whole; c0 += kStretch) {
    const std::size_t c1 = std::min(whole, c0 + kStretch);
    for (std::size_t i = c0; i < c1; i += 4) {
      const Lanes4 r = load4(image + i) - load4(point + i);
      store4(residual + i, r);
      sq += r * r;
      const Lanes4 d = r - load4(previous_residual + i);
      store4(dg + i, d);
      store4(sum + i, (load4(point + i) - load4(previous_point + i)) + d);
    }
    for (std::size_t a = 0; a < m; ++a) {
      const double* column = columns + a * n;
      Lanes4 newest = lanes_of(against_newest[a]);
      Lanes4 current = lanes_of(against_residual[a]);
      for (std::size_t i = c0; i < c1; i += 4) {
        const Lanes4 col = load4(column + i);
        newest += load4(dg + i) * col;
        current += col * load4(residual + i);
      }
      store_lanes(against_newest[a], newest);
      store_lanes(against_residual[a], current);
    }
  }
  store_lanes(squares, sq);
  for (std::size_t i = whole; i < n; ++i) {
    residual[i] = image[i] - point[i];
    dg[i] = residual[i] - previous_residual[i];
    sum[i] = point[i] - previous_point[i] + dg[i];
  }
}

[[gnu::target("avx2")]] void correction_wide(const double* combined, const double* weights, std::size_t count,
                                             double* correction, std::size_t n, detail::Dot4Sums& squares) {
  const std::size_t whole = n / 4 * 4;
  Lanes4 sq = lanes_of(squares);
  for (std::size_t i = 0; i < whole; i += 4) {
    Lanes4 c = detail::splat4(0.0);
    for (std::size_t j = 0; j < count; ++j) c += detail::splat4(weights[j]) * load4(combined + j * n + i);
    store4(correction + i, c);
    sq += c * c;
  }
  store_lanes(squares, sq);
  for (std::size_t i = whole; i < n; ++i) {
    double c = 0.0;
    for (std::size_t j = 0; j < count; ++j) c += weights[j] * combined[j * n + i];
    correction[i] = c;
  }
}
#endif

const Passes& passes() {
  static const Passes chosen = [] {
#if defined(__GNUC__) && defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return Passes{differences_wide, correction_wide};
#endif
    return Passes{differences_narrow, correction_narrow};
  }();
  return chosen;
}

}  // namespace

AndersonAcceleration::AndersonAcceleration(std::size_t dimension, std::size_t memory)
    : dimension_(dimension),
      memory_(std::max<std::size_t>(memory, 1)),
      weights_(memory_),
      sums_(2 * memory_) {
  for (auto* v : {&residual_, &previous_point_, &previous_residual_, &correction_}) v->resize(dimension);
  for (auto* v : {&combined_steps_, &residual_steps_}) v->resize(dimension * memory_);
  for (auto* v : {&gram_, &factor_}) v->resize(memory_ * memory_);
}

void AndersonAcceleration::restart() {
  count_ = 0;
  next_ = 0;
  has_previous_ = false;
}

bool AndersonAcceleration::extrapolate(std::vector<double>& point, std::span<const double> image) {
  const std::size_t n = dimension_;
  // g_k = F(u_k) − u_k and ‖g_k‖₂ in the same pass as the differences into
  // the next slot, which a restart (or a step without a previous one, when
  // no slot is stored) leaves to be written over, as it does every slot.
  detail::Dot4Sums squares;
  const std::size_t whole = n / 4 * 4;
  take_differences(point, image, next_, has_previous_ ? std::min(count_ + 1, memory_) : 0, squares);
  const double norm =
      std::sqrt(squares.finish(residual_.data() + whole, residual_.data() + whole, n - whole));
  const bool grew = has_previous_ && !(norm <= kRestartGrowth * previous_norm_);
  bool extrapolated = false;
  if (grew || !std::isfinite(norm)) {
    restart();
  } else if (has_previous_) {
    next_ = (next_ + 1) % memory_;
    count_ = std::min(count_ + 1, memory_);
    if (solve_weights(count_) && correct(norm)) {
      extrapolated = true;
    } else {
      restart();
    }
  }
  std::swap(previous_point_, point);
  std::swap(previous_residual_, residual_);
  previous_norm_ = norm;
  has_previous_ = std::isfinite(norm);
  return extrapolated;
}

// One pass over the stored columns; each inner product is dot4's, its
// partial sums taken stretch by stretch.
void AndersonAcceleration::take_differences(std::span<const double> point, std::span<const double> image,
                                            std::size_t newest, std::size_t m, detail::Dot4Sums& squares) {
  const std::size_t n = dimension_;
  const std::size_t stride = memory_;
  double* sum = combined_steps_.data() + newest * n;
  double* dg = residual_steps_.data() + newest * n;
  double* g = residual_.data();
  // Per stored column: its inner product with Δg, then with g_k.
  std::ranges::fill(sums_, detail::Dot4Sums{});
  detail::Dot4Sums* against_newest = sums_.data();
  detail::Dot4Sums* against_residual = sums_.data() + memory_;
  const std::size_t whole = n / 4 * 4;
  passes().differences(image.data(), point.data(), previous_point_.data(), g, previous_residual_.data(), dg,
                       sum, n, residual_steps_.data(), m, against_newest, against_residual, squares);
  for (std::size_t a = 0; a < m; ++a) {
    const double* column = residual_steps_.data() + a * n + whole;
    gram_[a * stride + newest] = gram_[newest * stride + a] =
        against_newest[a].finish(dg + whole, column, n - whole);
    weights_[a] = against_residual[a].finish(column, g + whole, n - whole);
  }
}

bool AndersonAcceleration::correct(double residual_norm) {
  const std::size_t n = dimension_;
  // (ΔU + ΔG)·γ, each entry summed over the columns in order, and its
  // length, in one pass; the caller subtracts it as it reads the image.
  detail::Dot4Sums squares;
  const std::size_t whole = n / 4 * 4;
  passes().correction(combined_steps_.data(), weights_.data(), count_, correction_.data(), n, squares);
  const double length =
      std::sqrt(squares.finish(correction_.data() + whole, correction_.data() + whole, n - whole));
  return length <= kMaxCorrection * residual_norm;
}

bool AndersonAcceleration::solve_weights(std::size_t m) {
  const std::size_t stride = memory_;
  // The columns are used in slot order: the order does not change γ's
  // combination. take_differences formed the newest column of ΔGᵀΔG and ΔGᵀg.
  double trace = 0.0;
  for (std::size_t a = 0; a < m; ++a) trace += gram_[a * stride + a];
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
