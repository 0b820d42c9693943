#include "covariance_columns.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "detail/dense_cholesky.hpp"
#include "detail/equilibration_kernels.hpp"
#include "detail/vector_ops.hpp"

namespace morva {

std::expected<Matrix, SolverError> semidefinite_cholesky(const Matrix& omega) {
  const std::size_t k = omega.rows();
  Matrix lower = Matrix::zeros(k, k);
  const double* w = omega.data().data();
  const bool factored =
      detail::off_diagonal_zero(w, k)
          ? detail::diagonal_semidefinite_cholesky(w, k, kCovariancePivotTolerance, lower.data().data())
          : detail::semidefinite_cholesky(w, k, kCovariancePivotTolerance, lower.data().data());
  if (!factored) return std::unexpected(SolverError::covariance_not_psd());
  return lower;
}

std::expected<Matrix, SolverError> covariance_columns(const FactorQuad& quadratic) {
  const Matrix& factors = quadratic.factors();
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

// Rows whose sums run side by side in the diagonal case, their chains of
// additions overlapping.
constexpr std::size_t kRowsSideBySide = 4;

// Row norms where L is diagonal (`omega_diagonal`: Ω_ll, `roots`: L_ll),
// `Rows` rows at a time: every row sums both forms of general_row_norms over all l,
//   form = Σ_l f_l·(Ω_ll·f_l),  through = Σ_l (f_l·L_ll)²,
// and takes the one its rule picks (only `through` unless `choose_form`),
// with its bits. There every other product in an inner sum or in c = F_i·L
// is a zero of either sign (f finite), and a sum from +0 keeps its value
// adding such zeros (x + ±0 = x for x ≠ 0, +0 + ±0 = +0), so the inner sum
// of a is Ω_aa·f_a and c_b = f_b·L_bb up to the sign of a zero, which the
// outer sum and the squares drop; an f_l = ±0 adds only a zero to either.
template <std::size_t Rows>
void diagonal_row_group(const Matrix& factors, std::size_t first, std::span<const double> omega_diagonal,
                        std::span<const double> roots, bool choose_form, std::span<double> norms) {
  const std::size_t k = factors.cols();
  const double* f = factors.data().data() + first * k;
  double form[Rows] = {};
  double through[Rows] = {};
  std::size_t nonzeros[Rows] = {};
  std::size_t triangle[Rows] = {};
  for (std::size_t l = 0; l < k; ++l) {
    for (std::size_t r = 0; r < Rows; ++r) {
      const double v = f[r * k + l];
      form[r] += v * (omega_diagonal[l] * v);
      const double c = v * roots[l];
      through[r] += c * c;
      const bool nonzero = v != 0.0;
      nonzeros[r] += nonzero;
      triangle[r] += nonzero ? l + 1 : 0;
    }
  }
  for (std::size_t r = 0; r < Rows; ++r) {
    norms[first + r] = choose_form && nonzeros[r] * nonzeros[r] <= triangle[r]
                           ? std::sqrt(std::max(form[r], 0.0))
                           : std::sqrt(through[r]);
  }
}

// diagonal_row_group's norm of row i over its nonzeros alone, where the
// record holds F: the zeros left out add only zeros, so the bits are the same.
void diagonal_row_sparse(const FactorRows& factors, std::size_t i, std::span<const double> omega_diagonal,
                         std::span<const double> roots, bool choose_form, std::span<double> norms) {
  double form = 0.0;
  double through = 0.0;
  std::size_t nonzeros = 0;
  std::size_t triangle = 0;
  factors.for_each_nonzero(i, [&](std::size_t l, double v) {
    form += v * (omega_diagonal[l] * v);
    const double c = v * roots[l];
    through += c * c;
    ++nonzeros;
    triangle += l + 1;
  });
  norms[i] =
      choose_form && nonzeros * nonzeros <= triangle ? std::sqrt(std::max(form, 0.0)) : std::sqrt(through);
}

// Σ_a f_a·(Σ_b Ω_ab·f_b) over the support (f: the entries there), each sum
// in support order.
double support_quadratic_form(const Matrix& omega, std::span<const std::size_t> support,
                              std::span<const double> f) {
  double s = 0.0;
  for (std::size_t a = 0; a < support.size(); ++a) {
    const auto row = omega.row(support[a]);
    double inner = 0.0;
    for (std::size_t b = 0; b < support.size(); ++b) inner += row[support[b]] * f[b];
    s += f[a] * inner;
  }
  return s;
}

// c_b += Σ_l f_l·L_lb over the support (f: the entries there) for b ≤ l,
// every c_b taking its terms in increasing l. Four rows of L share one pass
// over c, adding in that order, rather than each loading and storing it.
void add_lower_rows(const Matrix& lower, std::span<const std::size_t> support, std::span<const double> f,
                    std::span<double> c) {
  const std::size_t count = support.size();
  std::size_t e = 0;
  for (; e + 4 <= count; e += 4) {
    const std::size_t l0 = support[e], l1 = support[e + 1], l2 = support[e + 2], l3 = support[e + 3];
    const double* r0 = lower.row(l0).data();
    const double* r1 = lower.row(l1).data();
    const double* r2 = lower.row(l2).data();
    const double* r3 = lower.row(l3).data();
    const double f0 = f[e], f1 = f[e + 1], f2 = f[e + 2], f3 = f[e + 3];
    std::size_t b = 0;
    for (; b <= l0; ++b) c[b] = (((c[b] + f0 * r0[b]) + f1 * r1[b]) + f2 * r2[b]) + f3 * r3[b];
    for (; b <= l1; ++b) c[b] = ((c[b] + f1 * r1[b]) + f2 * r2[b]) + f3 * r3[b];
    for (; b <= l2; ++b) c[b] = (c[b] + f2 * r2[b]) + f3 * r3[b];
    for (; b <= l3; ++b) c[b] += f3 * r3[b];
  }
  for (; e < count; ++e) {
    const double* row = lower.row(support[e]).data();
    for (std::size_t b = 0; b <= support[e]; ++b) c[b] += f[e] * row[b];
  }
}

// Rows whose norm is the quadratic form over their support, by support
// (known by its pattern, one bit per column): the entries of Ω the rows of
// a support read are gathered once into a small dense block that four rows
// at a time run through, one lane each, each lane with the products and
// sums of support_quadratic_form for its row. A support's first row is
// taken alone, so that a support met once costs no gathering.
// general_row_norms looks for shared supports among its first this many
// rows, and keeps looking only when at least one in kGroupProbeShare of them
// shared an earlier row's.
constexpr std::size_t kGroupProbeRows = 256;
constexpr std::size_t kGroupProbeShare = 4;

class SharedSupportForms {
 public:
  // The group of rows with this pattern, new when unmet, found among the
  // groups whose patterns (as long as this one) share its FNV-1a hash.
  std::size_t group_of(std::span<const std::uint64_t> pattern) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const std::uint64_t word : pattern) h = (h ^ word) * 0x100000001b3ULL;
    std::vector<std::size_t>& met = by_hash_[h];
    for (const std::size_t g : met) {
      if (std::ranges::equal(pattern, std::span(patterns_).subspan(g * pattern.size(), pattern.size())))
        return g;
    }
    met.push_back(groups_.size());
    groups_.emplace_back();
    patterns_.insert(patterns_.end(), pattern.begin(), pattern.end());
    return groups_.size() - 1;
  }

  // Whether the rows of `group` after its first are left for write_norms
  // (their norms are the quadratic form).
  bool deferred(std::size_t group) const { return groups_[group].quadratic; }
  // Row `row` of `group`, left for write_norms.
  void defer(std::size_t group, std::size_t row) { groups_[group].rows.push_back(row); }
  // The first row of `group` had this support and took the quadratic form
  // or not.
  void settle(std::size_t group, std::span<const std::size_t> support, bool quadratic) {
    groups_[group].quadratic = quadratic;
    if (quadratic) groups_[group].support.assign(support.begin(), support.end());
  }

  // The norms of the deferred rows of F.
  void write_norms(const FactorRows& factors, const Matrix& omega, std::span<double> norms) const {
    constexpr std::size_t kLanes = detail::kFormLanes;
    std::vector<double> gathered;
    std::vector<double> values;  // row r of a group of lanes: entry b at kLanes·b + r
    for (const Group& group : groups_) {
      if (group.rows.empty()) continue;
      const std::span<const std::size_t> support = group.support;
      const std::size_t count = support.size();
      gathered.resize(count * count);
      for (std::size_t a = 0; a < count; ++a) {
        const auto row = omega.row(support[a]);
        for (std::size_t b = 0; b < count; ++b) gathered[a * count + b] = row[support[b]];
      }
      values.resize(kLanes * count);
      for (std::size_t first = 0; first < group.rows.size(); first += kLanes) {
        const std::size_t lanes = std::min(kLanes, group.rows.size() - first);
        if (lanes < kLanes) std::ranges::fill(values, 0.0);
        for (std::size_t r = 0; r < lanes; ++r) {
          const std::size_t i = group.rows[first + r];
          if (factors.recorded()) {
            // The row's nonzeros are its group's support, in order.
            std::size_t b = 0;
            factors.for_each_nonzero(i, [&](std::size_t, double v) { values[kLanes * b++ + r] = v; });
            assert(b == count);
          } else {
            for (std::size_t b = 0; b < count; ++b) values[kLanes * b + r] = factors.at(i, support[b]);
          }
        }
        double forms[kLanes];
        detail::support_forms4(gathered.data(), count, values.data(), forms);
        for (std::size_t r = 0; r < lanes; ++r)
          norms[group.rows[first + r]] = std::sqrt(std::max(forms[r], 0.0));
      }
    }
  }

 private:
  // A pattern's rows, and whether their norms are the quadratic form over
  // the support (else they go through L).
  struct Group {
    bool quadratic = false;
    std::vector<std::size_t> support;
    std::vector<std::size_t> rows;  // the deferred rows
  };

  std::vector<Group> groups_;
  std::vector<std::uint64_t> patterns_;  // group g's at g·(its length)
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_hash_;
};

}  // namespace

std::vector<double> general_row_norms(const FactorRows& factors, const Matrix& omega, const Matrix& lower) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  std::vector<double> norms(n, 0.0);
  // From F_i's nonzeros, whichever is cheaper for the row: ‖C_i‖² =
  // F_i·Ω·F_iᵀ (clamped at zero, which it is at least in exact arithmetic),
  // or ‖F_i·L‖², row l of L adding F_il·L_l,0..l.
  std::vector<double> c(k);
  std::vector<std::size_t> support(k);
  std::vector<double> values(k);  // F_il at the support
  // Rows sharing a support with an earlier quadratic-form row are deferred
  // to SharedSupportForms' batched pass, unless the probe finds too few
  // (supports scattered, or rows taking the form through L).
  SharedSupportForms forms;
  std::vector<std::uint64_t> pattern((k + 63) / 64);
  bool grouping = true;
  std::size_t deferred_rows = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (grouping && i == kGroupProbeRows) grouping = deferred_rows * kGroupProbeShare >= kGroupProbeRows;
    std::optional<std::size_t> group;
    if (grouping) {
      factors.pattern(i, pattern);
      group = forms.group_of(pattern);
    }
    if (group && forms.deferred(*group)) {
      forms.defer(*group, i);
      ++deferred_rows;
      continue;
    }
    std::size_t nonzeros = 0;
    factors.for_each_nonzero(i, [&](std::size_t l, double v) {
      support[nonzeros] = l;
      values[nonzeros++] = v;
    });
    const std::span<const std::size_t> nonzero_columns(support.data(), nonzeros);
    std::size_t triangle = 0;  // Σ (l + 1) over the nonzeros: the cost through L
    for (std::size_t l : nonzero_columns) triangle += l + 1;
    const bool quadratic = nonzeros * nonzeros <= triangle;
    if (group) forms.settle(*group, nonzero_columns, quadratic);
    if (quadratic) {
      norms[i] = std::sqrt(std::max(support_quadratic_form(omega, nonzero_columns, values), 0.0));
      continue;
    }
    std::fill(c.begin(), c.end(), 0.0);
    add_lower_rows(lower, nonzero_columns, values, c);
    double s = 0.0;
    for (double e : c) s += e * e;
    norms[i] = std::sqrt(s);
  }
  forms.write_norms(factors, omega, norms);
  return norms;
}

std::expected<std::vector<double>, SolverError> covariance_row_norms(const FactorQuad& quadratic,
                                                                     const Matrix* lower) {
  const std::size_t n = quadratic.assets();
  const std::size_t k = quadratic.factor_count();
  std::vector<double> omega_diagonal(k);
  std::vector<double> roots(k);
  if (!quadratic.omega.is_dense()) {
    // C_il = F_il·√ω_l, as covariance_columns forms it.
    omega_diagonal = quadratic.omega.diagonal_values();
    for (std::size_t l = 0; l < k; ++l) roots[l] = std::sqrt(omega_diagonal[l]);
  } else {
    const Matrix& omega = quadratic.omega.dense_matrix();
    auto factored = lower == nullptr ? semidefinite_cholesky(omega) : Matrix();
    if (!factored) return std::unexpected(factored.error());
    if (lower == nullptr) lower = &*factored;
    if (!detail::off_diagonal_zero(omega.data().data(), k)) {
      return general_row_norms(FactorRows(quadratic), omega, *lower);
    }
    for (std::size_t l = 0; l < k; ++l) {
      omega_diagonal[l] = omega(l, l);
      roots[l] = (*lower)(l, l);
    }
  }
  std::vector<double> norms(n);
  const bool choose_form = quadratic.omega.is_dense();
  if (quadratic.holds_factors_sparsely()) {
    const FactorRows rows(quadratic);
    for (std::size_t i = 0; i < n; ++i)
      diagonal_row_sparse(rows, i, omega_diagonal, roots, choose_form, norms);
    return norms;
  }
  const Matrix& factors = quadratic.factors();
  std::size_t i = 0;
  for (; i + kRowsSideBySide <= n; i += kRowsSideBySide)
    diagonal_row_group<kRowsSideBySide>(factors, i, omega_diagonal, roots, choose_form, norms);
  for (; i < n; ++i) diagonal_row_group<1>(factors, i, omega_diagonal, roots, choose_form, norms);
  return norms;
}

}  // namespace morva
