#include "covariance_columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>

#include "detail/dense_cholesky.hpp"

namespace morva {

std::expected<Matrix, SolverError> semidefinite_cholesky(const Matrix& omega) {
  const std::size_t k = omega.rows();
  Matrix lower = Matrix::zeros(k, k);
  if (!detail::semidefinite_cholesky(omega.data().data(), k, kCovariancePivotTolerance, lower.data().data()))
    return std::unexpected(SolverError::covariance_not_psd());
  return lower;
}

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
  detail::lower_triangular_product(factors.data().data(), n, k, lower->data().data(), columns.data().data());
  return columns;
}

namespace {

// Σ_a f_a·(Σ_b Ω_ab·f_b) over the support (f: the entries there), each sum
// in support order. Two inner sums run side by side, each its own chain of
// additions, so that neither waits on the other.
double support_quadratic_form(const Matrix& omega, std::span<const std::size_t> support,
                              std::span<const double> f) {
  const std::size_t count = support.size();
  double s = 0.0;
  std::size_t a = 0;
  for (; a + 2 <= count; a += 2) {
    const auto first = omega.row(support[a]);
    const auto second = omega.row(support[a + 1]);
    double inner_first = 0.0, inner_second = 0.0;
    for (std::size_t b = 0; b < count; ++b) {
      inner_first += first[support[b]] * f[b];
      inner_second += second[support[b]] * f[b];
    }
    s += f[a] * inner_first;
    s += f[a + 1] * inner_second;
  }
  if (a < count) {
    const auto row = omega.row(support[a]);
    double inner = 0.0;
    for (std::size_t b = 0; b < count; ++b) inner += row[support[b]] * f[b];
    s += f[a] * inner;
  }
  return s;
}

}  // namespace

std::expected<std::vector<double>, SolverError> covariance_row_norms(const FactorQuad& quadratic,
                                                                     const Matrix* lower) {
  const Matrix& factors = quadratic.factors;
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  std::vector<double> norms(n, 0.0);
  if (!quadratic.omega.is_dense()) {
    // C_il = F_il·√ω_l, as covariance_columns forms it.
    std::vector<double> roots(k);
    for (std::size_t l = 0; l < k; ++l) roots[l] = std::sqrt(quadratic.omega.diagonal_values()[l]);
    for (std::size_t i = 0; i < n; ++i) {
      const auto f = factors.row(i);
      double s = 0.0;
      for (std::size_t l = 0; l < k; ++l) {
        const double c = f[l] * roots[l];
        s += c * c;
      }
      norms[i] = std::sqrt(s);
    }
    return norms;
  }
  const Matrix& omega = quadratic.omega.dense_matrix();
  std::optional<Matrix> factored;
  if (lower == nullptr) {
    auto computed = semidefinite_cholesky(omega);
    if (!computed) return std::unexpected(computed.error());
    factored = std::move(*computed);
    lower = &*factored;
  }
  // From the nonzero entries of F_i only, whichever is cheaper for the row:
  // ‖C_i‖² = F_i·Ω·F_iᵀ, a double sum over them (clamped at zero, which it
  // is at least in exact arithmetic), or ‖F_i·L‖², row l of L adding
  // F_il·L_l,0..l.
  std::vector<double> c(k);
  std::vector<std::size_t> support(k);
  std::vector<double> values(k);  // F_il at the support
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = factors.row(i);
    std::size_t nonzeros = 0;
    std::size_t triangle = 0;  // Σ (l + 1) over the nonzeros: the cost through L
    for (std::size_t l = 0; l < k; ++l) {
      if (f[l] == 0.0) continue;
      support[nonzeros] = l;
      values[nonzeros++] = f[l];
      triangle += l + 1;
    }
    if (nonzeros * nonzeros <= triangle) {
      norms[i] = std::sqrt(std::max(support_quadratic_form(omega, {support.data(), nonzeros}, values), 0.0));
      continue;
    }
    std::fill(c.begin(), c.end(), 0.0);
    for (std::size_t l : std::span(support).first(nonzeros)) {
      const auto row = lower->row(l);
      for (std::size_t b = 0; b <= l; ++b) c[b] += f[l] * row[b];
    }
    double s = 0.0;
    for (double e : c) s += e * e;
    norms[i] = std::sqrt(s);
  }
  return norms;
}

}  // namespace morva
