#include "morva/linalg.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace morva {
namespace {

// Lower-triangular L (k×k, row-major) with L·Lᵀ = Ω for a positive
// semidefinite Ω, column by column. A pivot within ±g of zero is a rank
// deficiency: the column stays zero, which is only consistent when the
// remaining entries of that column of Ω are themselves within g of what the
// earlier columns already explain.
std::expected<Matrix, SolverError> semidefinite_cholesky(const Matrix& omega) {
  const std::size_t k = omega.rows();
  double largest = 0.0;
  for (double value : omega.data()) largest = std::max(largest, std::abs(value));
  const double tolerance = kCovariancePivotTolerance * std::max(1.0, largest);

  Matrix lower = Matrix::zeros(k, k);
  for (std::size_t j = 0; j < k; ++j) {
    const auto row_j = lower.row(j);
    double pivot = omega(j, j);
    {
      double explained = 0.0;
      for (std::size_t l = 0; l < j; ++l) explained += row_j[l] * row_j[l];
      pivot -= explained;
    }
    if (pivot < -tolerance) return std::unexpected(SolverError::covariance_not_psd());

    const bool zero_pivot = !(pivot > tolerance);
    const double root = zero_pivot ? 0.0 : std::sqrt(pivot);
    if (!zero_pivot) lower(j, j) = root;
    for (std::size_t i = j + 1; i < k; ++i) {
      const auto row_i = lower.row(i);
      double explained = 0.0;
      for (std::size_t l = 0; l < j; ++l) explained += row_i[l] * row_j[l];
      const double remainder = omega(i, j) - explained;
      if (zero_pivot) {
        if (!(std::abs(remainder) <= tolerance)) return std::unexpected(SolverError::covariance_not_psd());
      } else {
        lower(i, j) = remainder / root;
      }
    }
  }
  return lower;
}

// Forward substitution L·y = t followed by backward substitution Lᵀ·w = y,
// in place, for a lower-triangular row-major L with a positive diagonal.
void cholesky_solve_in_place(const Matrix& lower, std::span<double> t) {
  const std::size_t h = lower.rows();
  for (std::size_t j = 0; j < h; ++j) {
    const auto row = lower.row(j);
    double s = t[j];
    for (std::size_t l = 0; l < j; ++l) s -= row[l] * t[l];
    t[j] = s / row[j];
  }
  // Lᵀ is read by columns of L; eliminating each solved unknown from the rows
  // above keeps the access row-contiguous.
  for (std::size_t j = h; j-- > 0;) {
    const auto row = lower.row(j);
    t[j] /= row[j];
    const double w = t[j];
    for (std::size_t l = 0; l < j; ++l) t[l] -= row[l] * w;
  }
}

}  // namespace

std::expected<Matrix, SolverError> covariance_columns(const FactorQuad& quadratic) {
  const Matrix& factors = quadratic.factors;
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  Matrix columns = Matrix::zeros(n, k);

  if (!quadratic.omega.is_dense()) {
    // L = diag(√ω): C_rc = F_rc·√ω_c.
    const auto& omega = quadratic.omega.diagonal_values();
    std::vector<double> roots(k);
    for (std::size_t c = 0; c < k; ++c) roots[c] = std::sqrt(omega[c]);
    for (std::size_t r = 0; r < n; ++r) {
      const auto f = factors.row(r);
      const auto out = columns.row(r);
      for (std::size_t c = 0; c < k; ++c) out[c] = f[c] * roots[c];
    }
    return columns;
  }

  auto lower = semidefinite_cholesky(quadratic.omega.dense_matrix());
  if (!lower) return std::unexpected(lower.error());
  // C = F·L with L lower triangular: C_rc = Σ_{l≥c} F_rl·L_lc.
  for (std::size_t r = 0; r < n; ++r) {
    const auto f = factors.row(r);
    const auto out = columns.row(r);
    for (std::size_t c = 0; c < k; ++c) {
      double s = 0.0;
      for (std::size_t l = c; l < k; ++l) s += f[l] * (*lower)(l, c);
      out[c] = s;
    }
  }
  return columns;
}

std::expected<SmwSystem, SolverError> SmwSystem::factor(std::vector<double> diagonal, Matrix low_rank) {
  const std::size_t n = low_rank.rows();
  const std::size_t h = low_rank.cols();

  SmwSystem system;
  system.inverse_diagonal_ = std::move(diagonal);
  for (double& g : system.inverse_diagonal_) g = 1.0 / g;

  // S = I + Uᵀ·G⁻¹·U, accumulated as Σ_i G⁻¹_i·u_i·u_iᵀ over the contiguous
  // rows u_i of U (lower triangle only), O(n·h²).
  Matrix capacitance = Matrix::zeros(h, h);
  std::vector<double> weighted(h);
  for (std::size_t i = 0; i < n; ++i) {
    const auto u = low_rank.row(i);
    const double g_inv = system.inverse_diagonal_[i];
    for (std::size_t j = 0; j < h; ++j) weighted[j] = u[j] * g_inv;
    for (std::size_t j = 0; j < h; ++j) {
      const double v = weighted[j];
      const auto s = capacitance.row(j);
      for (std::size_t c = 0; c <= j; ++c) s[c] += v * u[c];
    }
  }
  for (std::size_t j = 0; j < h; ++j) {
    capacitance(j, j) = 1.0 + capacitance(j, j);
    for (std::size_t c = 0; c < j; ++c) capacitance(c, j) = capacitance(j, c);
  }

  // Cholesky S = L_S·L_Sᵀ row by row. S ⪰ I in exact arithmetic, so a tiny or
  // non-finite pivot can only come from overflow or NaN in G or U.
  Matrix factor = Matrix::zeros(h, h);
  for (std::size_t j = 0; j < h; ++j) {
    const auto row_j = factor.row(j);
    for (std::size_t c = 0; c <= j; ++c) {
      const auto row_c = factor.row(c);
      double s = 0.0;
      for (std::size_t l = 0; l < c; ++l) s += row_j[l] * row_c[l];
      if (c < j) {
        row_j[c] = (capacitance(j, c) - s) / row_c[c];
      } else {
        const double pivot = capacitance(j, j) - s;
        if (!std::isfinite(pivot) || pivot <= kMinCapacitancePivot) {
          return std::unexpected(SolverError::factorization_failed());
        }
        row_j[c] = std::sqrt(pivot);
      }
    }
  }

  system.low_rank_ = std::move(low_rank);
  system.capacitance_factor_ = std::move(factor);
  return system;
}

void SmwSystem::solve_in_place(std::span<double> r) const {
  std::vector<double> scratch(rank());
  solve_in_place(r, scratch);
}

// Woodbury: (G + UUᵀ)⁻¹r = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r with S = I + UᵀG⁻¹U.
void SmwSystem::solve_in_place(std::span<double> r, std::span<double> scratch) const {
  const std::size_t n = inverse_diagonal_.size();
  const std::size_t h = rank();
  for (std::size_t i = 0; i < n; ++i) r[i] *= inverse_diagonal_[i];
  if (h == 0) return;

  const std::span<double> t = scratch.first(h);
  std::fill(t.begin(), t.end(), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto u = low_rank_.row(i);
    const double ri = r[i];
    for (std::size_t c = 0; c < h; ++c) t[c] += u[c] * ri;
  }
  cholesky_solve_in_place(capacitance_factor_, t);
  for (std::size_t i = 0; i < n; ++i) {
    const auto u = low_rank_.row(i);
    double s = 0.0;
    for (std::size_t c = 0; c < h; ++c) s += u[c] * t[c];
    r[i] -= inverse_diagonal_[i] * s;
  }
}

void SmwSystem::solve_capacitance_in_place(std::span<double> t) const {
  cholesky_solve_in_place(capacitance_factor_, t);
}

std::expected<FactorizedSystem, SolverError> FactorizedSystem::create(const QpProblem& problem, double rho,
                                                                      double sigma) {
  auto columns = covariance_columns(problem.quadratic);
  if (!columns) return std::unexpected(columns.error());

  const std::size_t n = problem.n();
  const std::size_t k = columns->cols();
  const std::size_t m_eq = problem.m_eq();
  const std::size_t m_in = problem.m_in();
  const std::size_t h = k + m_eq + m_in;

  // U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ]; constraint row r becomes column k + r.
  const double root_rho = std::sqrt(rho);
  Matrix low_rank = Matrix::zeros(n, h);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = columns->row(i);
    std::copy(c.begin(), c.end(), low_rank.row(i).begin());
  }
  const auto scatter = [&](const Matrix& block, std::size_t offset) {
    for (std::size_t r = 0; r < block.rows(); ++r) {
      const auto a = block.row(r);
      for (std::size_t i = 0; i < n; ++i) low_rank(i, offset + r) = root_rho * a[i];
    }
  };
  scatter(problem.equalities.matrix, k);
  scatter(problem.inequalities.matrix, k + m_eq);

  // G = d + σ + ρ (box block) + ρ (L1 block, when present).
  std::vector<double> diagonal(n);
  const bool has_l1 = problem.l1.has_value();
  for (std::size_t i = 0; i < n; ++i) {
    double g = problem.quadratic.diagonal[i] + sigma + rho;
    if (has_l1) g += rho;
    diagonal[i] = g;
  }

  auto smw = SmwSystem::factor(std::move(diagonal), std::move(low_rank));
  if (!smw) return std::unexpected(smw.error());
  FactorizedSystem system;
  system.smw = std::move(*smw);
  system.rho = rho;
  system.factors = k;
  system.m_eq = m_eq;
  system.m_in = m_in;
  return system;
}

std::expected<void, SolverError> ensure_system(SystemCache& cache, std::uint64_t& factorizations,
                                               const QpProblem& problem, double rho, double sigma) {
  // Keys compare by bit pattern: ρ values that are numerically different in
  // the last bit (or ±0) are different systems.
  const auto key = std::bit_cast<std::uint64_t>(rho);
  const auto hit = std::find_if(cache.begin(), cache.end(), [key](const auto& entry) {
    return std::bit_cast<std::uint64_t>(entry.first) == key;
  });
  if (hit != cache.end()) {
    std::rotate(cache.begin(), hit, hit + 1);
    return {};
  }

  auto system = FactorizedSystem::create(problem, rho, sigma);
  if (!system) return std::unexpected(system.error());
  ++factorizations;
  cache.emplace(cache.begin(), rho, std::move(*system));
  if (cache.size() > kMaxCachedSystems) cache.erase(cache.begin() + kMaxCachedSystems, cache.end());
  return {};
}

}  // namespace morva
