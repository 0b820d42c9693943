#include "morva/linalg.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>

#include "covariance_columns.hpp"
#include "detail/dense_cholesky.hpp"
#include "detail/simd.hpp"
#include "detail/vector_ops.hpp"
#include "linalg.hpp"
#include "stored_columns.hpp"
#include "stored_products.hpp"

namespace morva {
namespace {

// Capacitance pivots at or below this (absolute) mean numerical breakdown.
constexpr double kMinCapacitancePivot = 1e-14;

// The Cholesky factor (lower triangular, row-major) of a symmetric matrix
// given by its lower triangle (detail::cholesky_lower). In exact arithmetic
// A ⪰ I (the capacitance) or A ⪰ G > 0 (the n-space K), so a failing pivot
// can only come from overflow or NaN in the data.
std::expected<Matrix, SolverError> cholesky_lower(const Matrix& a) {
  const std::size_t h = a.rows();
  Matrix factor = Matrix::zeros(h, h);
  if (!detail::cholesky_lower(a.data().data(), h, kMinCapacitancePivot, factor.data().data()))
    return std::unexpected(SolverError::factorization_failed());
  return factor;
}

void cholesky_solve_in_place(const Matrix& lower, std::span<double> t) {
  detail::cholesky_solve_in_place(lower.data().data(), lower.rows(), t.data());
}

}  // namespace

std::size_t SmwSystem::rank() const {
  return columns_ ? columns_->rank() : 0;
}

std::size_t SmwSystem::solve_scratch() const {
  return rank() + (columns_ ? columns_->pass_scratch() : 0);
}

std::expected<SmwSystem, SolverError> SmwSystem::factor(std::vector<double> diagonal,
                                                        std::shared_ptr<const ReducedColumns> columns,
                                                        double constraint_scale) {
  SmwSystem system;
  system.columns_ = std::move(columns);
  system.scale_ = constraint_scale;
  system.inverse_diagonal_ = diagonal;
  for (double& g : system.inverse_diagonal_) g = 1.0 / g;
  const std::size_t h = system.rank();
  if (h == 0) return system;
  if (h >= system.columns_->assets()) {
    // Many factors or rows on few assets: K (n×n) is the smaller matrix.
    system.asset_space_ = true;
    if (auto done = system.factor_in_asset_space(diagonal); !done) return std::unexpected(done.error());
    return system;
  }
  // A non-finite G⁻¹_i puts 0·inf or NaN into every diagonal entry of S.
  if (!detail::all_finite(system.inverse_diagonal_))
    return std::unexpected(SolverError::factorization_failed());
  if (auto done = system.factor_capacitance(); !done) return std::unexpected(done.error());
  return system;
}

// S = I + Tᵀ·(VᵀG⁻¹V)·T with T = diag(T_q, s·I):
//   S_qq = T_qᵀ·M_qq·T_q,  S_cq = s·M_cq·T_q,  S_cc = s²·M_cc.
std::expected<void, SolverError> SmwSystem::factor_capacitance() {
  const ReducedColumns& v = *columns_;
  const std::size_t h = v.rank();
  const std::size_t k = v.factors();
  const Matrix m = v.weighted_gram(inverse_diagonal_);
  Matrix s_matrix = Matrix::zeros(h, h);
  // Written through its values, taken once (a matrix's mutable accessors
  // check per call whether a copy shares them).
  double* s = s_matrix.data().data();
  if (v.transform() == ReducedColumns::Transform::Lower) {
    // Y = M·T_q over the factor columns (h×k), kept transposed so that both
    // products read rows: Y_ab = Σ_{l≥b} M_al·L_lb, S_qq = T_qᵀ·Y_q. Each
    // entry is one dot4 sum; dot4_rows takes those sharing a row of Lᵀ
    // together.
    const Matrix& upper = v.factor_upper();
    std::vector<double> y_t(k * h);  // k×h, row-major
    for (std::size_t b = 0; b < k; ++b)
      detail::dot4_rows(upper.row(b).data() + b, m.data().data() + b, h, h, k - b, y_t.data() + b * h);
    for (std::size_t a = 0; a < k; ++a)
      detail::dot4_rows(upper.row(a).data() + a, y_t.data() + a, h, a + 1, k - a, s + a * h);
    for (std::size_t c = k; c < h; ++c) {
      for (std::size_t b = 0; b < k; ++b) s[c * h + b] = scale_ * y_t[b * h + c];
      for (std::size_t d = k; d <= c; ++d) s[c * h + d] = scale_ * scale_ * m(c, d);
    }
  } else {
    const bool diagonal = v.transform() == ReducedColumns::Transform::Diagonal;
    const auto column_factor = [&](std::size_t j) {
      return j >= k ? scale_ : (diagonal ? v.factor_roots()[j] : 1.0);
    };
    for (std::size_t j = 0; j < h; ++j) {
      for (std::size_t c = 0; c <= j; ++c) s[j * h + c] = column_factor(j) * m(j, c) * column_factor(c);
    }
  }
  for (std::size_t j = 0; j < h; ++j) s[j * h + j] = 1.0 + s[j * h + j];
  auto factor = cholesky_lower(s_matrix);
  if (!factor) return std::unexpected(factor.error());
  factor_ = std::move(*factor);
  return {};
}

// K = G + U·Uᵀ formed from U written out (n ≤ h, so U is no larger than S).
std::expected<void, SolverError> SmwSystem::factor_in_asset_space(std::span<const double> diagonal) {
  const Matrix u = columns_->materialize(scale_);
  const std::size_t n = u.rows();
  Matrix k = Matrix::zeros(n, n);
  double* entries = k.data().data();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j)
      entries[i * n + j] =
          (i == j ? diagonal[i] : 0.0) + detail::dot4(u.row(i).data(), u.row(j).data(), u.cols());
  }
  auto factor = cholesky_lower(k);
  if (!factor) return std::unexpected(factor.error());
  factor_ = std::move(*factor);
  return {};
}

// v ← Tᵀ·v (transpose) or v ← T·v: the factor block through T_q (its
// diagonal is its own transpose), the constraint block times s.
void SmwSystem::apply_transform(std::span<double> v, bool transpose) const {
  const ReducedColumns& columns = *columns_;
  const std::size_t k = columns.factors();
  if (columns.transform() == ReducedColumns::Transform::Lower) {
    if (transpose) {
      detail::lower_transpose_times(columns.factor_upper().data().data(), k, v.data());
    } else {
      detail::lower_times(columns.factor_lower().data().data(), k, v.data());
    }
  }
  if (columns.transform() == ReducedColumns::Transform::Diagonal) {
    const std::span<const double> roots = columns.factor_roots();
    for (std::size_t l = 0; l < k; ++l) v[l] *= roots[l];
  }
  for (std::size_t c = k; c < v.size(); ++c) v[c] *= scale_;
}

void SmwSystem::solve_in_place(std::span<double> r) const {
  std::vector<double> scratch(solve_scratch());
  solve_in_place(r, scratch);
}

// Woodbury: (G + UUᵀ)⁻¹r = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r with S = I + UᵀG⁻¹U and
// U = V·T: Uᵀy = Tᵀ·(Vᵀy), U·w = V·(T·w). Only stored entries of V enter the
// products; for finite data the skipped ones would add exact zeros.
void SmwSystem::solve_in_place(std::span<double> r, std::span<double> scratch) const {
  if (asset_space_) {
    cholesky_solve_in_place(factor_, r);
    return;
  }
  const std::size_t n = inverse_diagonal_.size();
  const std::size_t h = rank();
  for (std::size_t i = 0; i < n; ++i) r[i] *= inverse_diagonal_[i];
  if (h == 0) return;

  const ReducedColumns& v = *columns_;
  const std::size_t k = v.factors();
  const std::span<double> t = scratch.first(h);
  const ReducedColumns::PassScratch pass = v.scratch(scratch.subspan(h));
  v.transpose_products(r, t.first(k), t.subspan(k), pass);
  apply_transform(t, true);
  cholesky_solve_in_place(factor_, t);
  apply_transform(t, false);
  v.subtract_product(t, inverse_diagonal_, r, pass);
}

// Pass 1 of an ADMM iteration, one stream over V. The right-hand side is
// r = b + V_cons·weights with b the part without V (in g on entry, `fill`
// writing each block of rows first). Its constraint part never needs forming
// in the n-space: with U = V·T and ν = T⁻¹·[0; weights] (weights/s on the
// constraint coordinates), V_cons·weights = U·ν and K⁻¹U = G⁻¹U·S⁻¹, so
//   K⁻¹r = G⁻¹b − G⁻¹U·S⁻¹·(UᵀG⁻¹b − ν).
// The stream leaves g = G⁻¹b and Vᵀ·G⁻¹b, which Tᵀ turns into UᵀG⁻¹b. In the
// n-space the stream forms r itself, r = b + V_cons·weights.
void SmwSystem::project_rhs(std::span<double> g, std::span<const double> weights, std::span<double> t,
                            std::span<double> scratch, RowBlocks fill) const {
  const std::size_t n = inverse_diagonal_.size();
  if (rank() == 0) {
    fill(0, n);
    for (std::size_t i = 0; i < n; ++i) g[i] *= inverse_diagonal_[i];
    return;
  }
  const ReducedColumns& v = *columns_;
  const ReducedColumns::PassScratch pass = v.scratch(scratch);
  if (asset_space_) {
    fill(0, n);
    v.add_products({}, weights, {}, g, pass);
    return;
  }
  v.projection_pass(g, inverse_diagonal_, t, pass, fill);
  apply_transform(t, true);
  const std::size_t k = v.factors();
  for (std::size_t j = k; j < v.rank(); ++j) t[j] -= weights[j - k] / scale_;
}

// Pass 2, the second stream over V: from project_rhs's g = G⁻¹b and t,
//   x = g − G⁻¹·(V·(T·S⁻¹t)),  image = V_consᵀ·x.
// In the n-space x = K⁻¹r first and the same stream forms only the image.
bool SmwSystem::back_substitute(std::span<const double> g, std::span<double> t, std::span<double> x,
                                std::span<double> image, std::span<double> scratch, RowBlocks done) const {
  const std::size_t n = inverse_diagonal_.size();
  std::fill(image.begin(), image.end(), 0.0);
  if (rank() == 0) {
    std::copy(g.begin(), g.end(), x.begin());
    done(0, n);
    return detail::all_finite(x);
  }
  const ReducedColumns& v = *columns_;
  const ReducedColumns::PassScratch pass = v.scratch(scratch);
  if (asset_space_) {
    std::copy(g.begin(), g.end(), x.begin());
    cholesky_solve_in_place(factor_, x);
    return v.substitution_pass(g, inverse_diagonal_, {}, x, image, pass, done);
  }
  cholesky_solve_in_place(factor_, t);
  apply_transform(t, false);
  return v.substitution_pass(g, inverse_diagonal_, t, x, image, pass, done);
}

std::expected<FactorizedSystem, SolverError> FactorizedSystem::create(const QpProblem& problem, double rho,
                                                                      double sigma) {
  auto columns = ReducedColumns::create(problem.quadratic, constraint_rows(problem));
  if (!columns) return std::unexpected(columns.error());
  return create(problem, std::make_shared<const ReducedColumns>(std::move(*columns)), rho, sigma);
}

std::expected<FactorizedSystem, SolverError> FactorizedSystem::create(
    const QpProblem& problem, std::shared_ptr<const ReducedColumns> columns, double rho, double sigma) {
  const std::size_t n = problem.n();
  // G = d + σ + ρ (box block) + ρ (L1 block, when present).
  std::vector<double> diagonal(n);
  const bool has_l1 = problem.l1.has_value();
  for (std::size_t i = 0; i < n; ++i) {
    const double g = problem.quadratic.diagonal[i] + sigma + rho;
    diagonal[i] = has_l1 ? g + rho : g;
  }
  // U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ] = V·diag(T_q, √ρ·I).
  auto smw = SmwSystem::factor(std::move(diagonal), std::move(columns), std::sqrt(rho));
  if (!smw) return std::unexpected(smw.error());
  return FactorizedSystem{std::move(*smw), rho, sigma};
}

std::expected<const FactorizedSystem*, SolverError> SystemCache::ensure(const QpProblem& problem, double rho,
                                                                        double sigma) {
  const auto rho_key = std::bit_cast<std::uint64_t>(rho);
  const auto sigma_key = std::bit_cast<std::uint64_t>(sigma);
  const auto hit = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return std::bit_cast<std::uint64_t>(entry.first) == rho_key &&
           std::bit_cast<std::uint64_t>(entry.second.sigma) == sigma_key;
  });
  if (hit != entries_.end()) {
    std::rotate(entries_.begin(), hit, hit + 1);
    return &entries_.front().second;
  }

  // Every system of one cache belongs to one problem: V is shared, not
  // rebuilt. Ω is still checked at every factorisation.
  if (!entries_.empty() && problem.quadratic.omega.is_dense()) {
    if (auto lower = semidefinite_cholesky(problem.quadratic.omega.dense_matrix()); !lower) {
      return std::unexpected(lower.error());
    }
  }
  std::shared_ptr<const ReducedColumns> columns =
      entries_.empty() ? columns_ : entries_.front().second.smw.shared_columns();
  auto system = columns ? FactorizedSystem::create(problem, std::move(columns), rho, sigma)
                        : FactorizedSystem::create(problem, rho, sigma);
  if (!system) return std::unexpected(system.error());
  ++factorizations_;
  entries_.emplace(entries_.begin(), rho, std::move(*system));
  if (entries_.size() > kMaxCachedSystems)
    entries_.erase(entries_.begin() + kMaxCachedSystems, entries_.end());
  return &entries_.front().second;
}

// ---- The problem's V and its selections ----

bool holds_data_columns(const ReducedColumns& v, const QpProblem& problem, std::size_t n) {
  const std::size_t k = v.factors();
  for (std::size_t j = 0; j < v.rank(); ++j) {
    if (std::abs(v.multiplier(j)) != 1.0) return false;
  }
  return std::ranges::all_of(v.row_scale(), [](double r) { return r == 1.0; }) && !v.stores_plainly() &&
         !v.holds_covariance_columns() && k == problem.quadratic.factor_count() &&
         v.rank() == k + problem.m_eq() + problem.m_in() && v.assets() == n;
}

std::expected<KeptColumns, SolverError> KeptColumns::select(
    const FactorQuad& quadratic, const ReducedColumns& v, std::span<const std::size_t> kept,
    std::span<const double* const> rows, double stiffness, RowSupports supports, const Matrix* lower) {
  auto plain = v.select(quadratic, kept, rows, lower);
  if (!plain) return std::unexpected(plain.error());
  auto stiff = v.scaled_selection(quadratic, kept, rows, stiffness, supports, lower);
  if (!stiff) return std::unexpected(stiff.error());
  return KeptColumns(std::move(*plain), std::make_shared<const ReducedColumns>(std::move(*stiff)));
}

std::vector<double> KeptColumns::factor_image(const FactorQuad& quadratic, std::span<const double> x,
                                              std::span<double> image) const {
  std::vector<double> t(plain_.factors());
  plain_.transpose_products(x, t, image);
  return factor_weights(quadratic, plain_, t);
}

}  // namespace morva
