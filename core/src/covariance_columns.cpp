#include "covariance_columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
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

// Rows whose sums run side by side in the diagonal case: each row's sums are
// chains of their own, so the group overlaps their latencies.
constexpr std::size_t kRowsSideBySide = 4;

// Row norms where L is diagonal: `omega_diagonal` holds Ω_ll and `roots` L_ll.
// Every row sums both forms of the general path below over all l,
//   form = Σ_l f_l·(Ω_ll·f_l),  through = Σ_l (f_l·L_ll)²,
// and takes the one the general path's rule picks for it (only `through`
// unless `choose_form`). The bits are the general path's. There Ω's
// off-diagonal entries are zeros, so every other product in an inner sum or
// in c = F_i·L is a zero of either sign (f finite). A sum that starts at +0
// and adds such zeros keeps its value (x + ±0 = x for x ≠ 0, +0 + ±0 = +0:
// it is never −0), so the inner sum of a is Ω_aa·f_a and c_b = f_b·L_bb, up
// to the sign of a zero; a zero inner sum adds a zero f_a·0 to the outer one,
// and squares drop the sign of zero. What is left are the terms above in
// increasing l over the support, and an entry f_l = ±0 off the support adds
// only a zero to either sum, so the sums may run over every l.
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

void diagonal_row_norms(const Matrix& factors, std::span<const double> omega_diagonal,
                        std::span<const double> roots, bool choose_form, std::span<double> norms) {
  const std::size_t n = factors.rows();
  std::size_t i = 0;
  for (; i + kRowsSideBySide <= n; i += kRowsSideBySide)
    diagonal_row_group<kRowsSideBySide>(factors, i, omega_diagonal, roots, choose_form, norms);
  for (; i < n; ++i) diagonal_row_group<1>(factors, i, omega_diagonal, roots, choose_form, norms);
}

// Σ_a f_a·(Σ_b Ω_ab·f_b) over the support (f: the entries there), each sum
// in support order. Four inner sums run side by side, each its own chain of
// additions, so that none waits on another; the outer sum takes them in
// order.
double support_quadratic_form(const Matrix& omega, std::span<const std::size_t> support,
                              std::span<const double> f) {
  const std::size_t count = support.size();
  double s = 0.0;
  std::size_t a = 0;
  for (; a + 4 <= count; a += 4) {
    const double* r0 = omega.row(support[a]).data();
    const double* r1 = omega.row(support[a + 1]).data();
    const double* r2 = omega.row(support[a + 2]).data();
    const double* r3 = omega.row(support[a + 3]).data();
    double i0 = 0.0, i1 = 0.0, i2 = 0.0, i3 = 0.0;
    for (std::size_t b = 0; b < count; ++b) {
      const std::size_t column = support[b];
      i0 += r0[column] * f[b];
      i1 += r1[column] * f[b];
      i2 += r2[column] * f[b];
      i3 += r3[column] * f[b];
    }
    s += f[a] * i0;
    s += f[a + 1] * i1;
    s += f[a + 2] * i2;
    s += f[a + 3] * i3;
  }
  for (; a + 2 <= count; a += 2) {
    const double* r0 = omega.row(support[a]).data();
    const double* r1 = omega.row(support[a + 1]).data();
    double i0 = 0.0, i1 = 0.0;
    for (std::size_t b = 0; b < count; ++b) {
      i0 += r0[support[b]] * f[b];
      i1 += r1[support[b]] * f[b];
    }
    s += f[a] * i0;
    s += f[a + 1] * i1;
  }
  if (a < count) {
    const auto row = omega.row(support[a]);
    double inner = 0.0;
    for (std::size_t b = 0; b < count; ++b) inner += row[support[b]] * f[b];
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

// √max(F_i·Ω·F_iᵀ, 0) over the support of row i (f: its entries there).
double support_norm(const Matrix& omega, std::span<const std::size_t> support, std::span<const double> f) {
  return std::sqrt(std::max(support_quadratic_form(omega, support, f), 0.0));
}

// Rows whose norm is the quadratic form over their support, by support:
// rows with the same support read the same entries of Ω, which are gathered
// once into a small dense block that four rows at a time run through, one
// lane each. Every lane takes the products and sums support_quadratic_form
// takes for its row, in the same order (the block holds the entries Ω(s_a,
// s_b) it reads, and a product is the same whichever factor comes first),
// so the norms keep their bits. A support is known by its pattern of
// nonzeros, one bit per column; its first row is taken alone, as every row
// of a support whose norm goes through L, so that a support met once costs
// no gathering.
// general_row_norms looks for shared supports among its first this many
// rows, and keeps looking only when at least one in kGroupProbeShare of them
// shared an earlier row's.
constexpr std::size_t kGroupProbeRows = 256;
constexpr std::size_t kGroupProbeShare = 4;

class SharedSupportForms {
 public:
  explicit SharedSupportForms(std::size_t k) : words_((k + 63) / 64) {}

  std::size_t words() const { return words_; }

  // The group of rows with this pattern (`words()` words), new when unmet.
  // Patterns are found through a table of group numbers, open addressing
  // with linear probing, kept at most half full.
  std::size_t group_of(const std::uint64_t* pattern) {
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a over the words
    for (std::size_t w = 0; w < words_; ++w) h = (h ^ pattern[w]) * 0x100000001b3ULL;
    if (2 * (groups_.size() + 1) > table_.size()) grow();
    const std::size_t mask = table_.size() - 1;
    for (std::size_t slot = spread(h) & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t entry = table_[slot];
      if (entry == 0) {
        table_[slot] = static_cast<std::uint32_t>(groups_.size() + 1);
        groups_.push_back(Group{patterns_.size(), 0, 0, false, {}, {}, h});
        patterns_.insert(patterns_.end(), pattern, pattern + words_);
        return groups_.size() - 1;
      }
      const Group& group = groups_[entry - 1];
      if (group.hash == h && same_pattern(pattern, patterns_.data() + group.pattern)) return entry - 1;
    }
  }

  // Whether the rows of `group` after its first are left for write_norms
  // (their norms are the quadratic form).
  bool deferred(std::size_t group) const { return groups_[group].quadratic; }
  // Row `row` of `group`, left for write_norms.
  void defer(std::size_t group, std::size_t row) { groups_[group].rows.push_back(row); }
  // Row `row` of `factors`, the first of `group`, had this support and took
  // the quadratic form or not: every row of the pattern holds its entries
  // at the support in the same places.
  void settle(std::size_t group, std::span<const std::size_t> support, bool quadratic,
              const FactorRows& factors, std::size_t row) {
    Group& g = groups_[group];
    g.quadratic = quadratic;
    g.support = supports_.size();
    g.count = support.size();
    if (!quadratic) return;
    supports_.insert(supports_.end(), support.begin(), support.end());
    g.places = std::make_unique<const FactorRows::Places>(factors, row, support);
  }

  // The norms of the deferred rows of F.
  void write_norms(const Matrix& omega, std::span<double> norms) const {
    constexpr std::size_t kLanes = detail::kFormLanes;
    std::vector<double> gathered;
    std::vector<double> values;  // row r of a group of lanes: entry b at kLanes·b + r
    for (const Group& group : groups_) {
      if (group.rows.empty()) continue;
      const std::span<const std::size_t> support(supports_.data() + group.support, group.count);
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
        const std::span<const std::size_t> places = group.places->offsets();
        for (std::size_t r = 0; r < lanes; ++r) {
          const double* f = group.places->row(group.rows[first + r]);
          for (std::size_t b = 0; b < count; ++b) values[kLanes * b + r] = f[places[b]];
        }
        double forms[kLanes];
        detail::support_forms4(gathered.data(), count, values.data(), forms);
        for (std::size_t r = 0; r < lanes; ++r)
          norms[group.rows[first + r]] = std::sqrt(std::max(forms[r], 0.0));
      }
    }
  }

 private:
  struct Group {
    std::size_t pattern;            // offset of its pattern in patterns_
    std::size_t support;            // offset of its support in supports_ (a quadratic group's)
    std::size_t count;              // the support's length
    bool quadratic;                 // its rows' norms are the quadratic form
    std::vector<std::size_t> rows;  // the deferred rows
    std::unique_ptr<const FactorRows::Places> places;  // of the support's entries (a quadratic group's)
    std::uint64_t hash;                                // its pattern's
  };

  // A table slot from a hash: its high bits, mixed by a multiplication.
  static std::size_t spread(std::uint64_t h) {
    return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ULL) >> 32);
  }
  bool same_pattern(const std::uint64_t* a, const std::uint64_t* b) const {
    std::uint64_t differ = 0;
    for (std::size_t w = 0; w < words_; ++w) differ |= a[w] ^ b[w];
    return differ == 0;
  }
  // Twice the slots (at least 64), every group placed again.
  void grow() {
    std::vector<std::uint32_t> table(std::max<std::size_t>(64, 2 * table_.size()), 0);
    const std::size_t mask = table.size() - 1;
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      std::size_t slot = spread(groups_[g].hash) & mask;
      while (table[slot] != 0) slot = (slot + 1) & mask;
      table[slot] = static_cast<std::uint32_t>(g + 1);
    }
    table_ = std::move(table);
  }

  std::size_t words_;
  std::vector<Group> groups_;
  std::vector<std::uint64_t> patterns_;
  std::vector<std::size_t> supports_;
  std::vector<std::uint32_t> table_;  // group + 1 per slot, 0 for none
};

}  // namespace

std::vector<double> general_row_norms(const FactorRows& factors, const Matrix& omega, const Matrix& lower) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  std::vector<double> norms(n, 0.0);
  // From the nonzero entries of F_i only, whichever is cheaper for the row:
  // ‖C_i‖² = F_i·Ω·F_iᵀ, a double sum over them (clamped at zero, which it
  // is at least in exact arithmetic), or ‖F_i·L‖², row l of L adding
  // F_il·L_l,0..l.
  std::vector<double> c(k);
  std::vector<std::size_t> support(k);
  std::vector<double> values(k);  // F_il at the support
  // Rows sharing a support with an earlier quadratic-form row are deferred
  // to one batched pass; when the first kGroupProbeRows rows find fewer than
  // one in kGroupProbeShare such an earlier row (supports scattered at
  // random, or rows taking the form through L), the rest skip the pattern
  // and its hashing. Either way a row's norm is the same sum.
  SharedSupportForms forms(k);
  std::vector<std::uint64_t> pattern(forms.words());
  bool grouping = true;
  std::size_t deferred_rows = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (grouping && i == kGroupProbeRows) grouping = deferred_rows * kGroupProbeShare >= kGroupProbeRows;
    std::optional<std::size_t> group;
    if (grouping) {
      factors.pattern(i, pattern);
      group = forms.group_of(pattern.data());
    }
    if (group && forms.deferred(*group)) {
      forms.defer(*group, i);
      ++deferred_rows;
      continue;
    }
    const std::size_t nonzeros = factors.nonzeros(i, support.data(), values.data());
    const std::span<const std::size_t> nonzero_columns(support.data(), nonzeros);
    std::size_t triangle = 0;  // Σ (l + 1) over the nonzeros: the cost through L
    for (std::size_t l : nonzero_columns) triangle += l + 1;
    const bool quadratic = nonzeros * nonzeros <= triangle;
    if (group) forms.settle(*group, nonzero_columns, quadratic, factors, i);
    if (quadratic) {
      norms[i] = support_norm(omega, nonzero_columns, values);
      continue;
    }
    std::fill(c.begin(), c.end(), 0.0);
    add_lower_rows(lower, nonzero_columns, values, c);
    double s = 0.0;
    for (double e : c) s += e * e;
    norms[i] = std::sqrt(s);
  }
  forms.write_norms(omega, norms);
  return norms;
}

std::expected<std::vector<double>, SolverError> covariance_row_norms(const FactorQuad& quadratic,
                                                                     const Matrix* lower) {
  const Matrix& factors = quadratic.factors;
  const std::size_t k = factors.cols();
  if (!quadratic.omega.is_dense()) {
    // C_il = F_il·√ω_l, as covariance_columns forms it.
    std::vector<double> norms(factors.rows());
    const auto& omega = quadratic.omega.diagonal_values();
    std::vector<double> roots(k);
    for (std::size_t l = 0; l < k; ++l) roots[l] = std::sqrt(omega[l]);
    diagonal_row_norms(factors, omega, roots, false, norms);
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
  if (!detail::off_diagonal_zero(omega.data().data(), k)) {
    return general_row_norms(FactorRows(quadratic), omega, *lower);
  }
  std::vector<double> norms(factors.rows());
  std::vector<double> omega_diagonal(k);
  std::vector<double> roots(k);
  for (std::size_t l = 0; l < k; ++l) {
    omega_diagonal[l] = omega(l, l);
    roots[l] = (*lower)(l, l);
  }
  diagonal_row_norms(factors, omega_diagonal, roots, true, norms);
  return norms;
}

}  // namespace morva
