// The stored columns of a polishing system: the factor columns and some
// constraint rows with a scale multiplied into their entries, built from
// what the problem's V already holds rather than from scaled copies of the
// rows.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "column_sharing.hpp"
#include "stored_columns.hpp"

namespace morva {
namespace {

constexpr std::uint32_t kUnnumbered = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kNoSlot = std::numeric_limits<std::size_t>::max();

}  // namespace

// A column of W as create's sharing compares it: n entries `stride` apart,
// or its nonzero entries.
struct ReducedColumns::ScaledColumn {
  const double* dense = nullptr;
  std::size_t stride = 0;
  std::span<const std::uint32_t> rows;
  std::span<const double> values;
  double nonzeros = 0.0;

  // Whether this = ±b as create's sharing finds it: the sign from the first
  // entry where b is nonzero, every entry compared as doubles (so ±0 match).
  bool repeats(const ScaledColumn& b, std::size_t n) const {
    if (nonzeros != b.nonzeros) return false;
    double sign = 0.0;
    if (dense == nullptr || b.dense == nullptr) {
      if (dense != b.dense || !std::ranges::equal(rows, b.rows)) return false;
      for (std::size_t e = 0; e < values.size(); ++e) {
        if (!agrees(sign, values[e], b.values[e])) return false;
      }
      return true;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!agrees(sign, dense[i * stride], b.dense[i * b.stride])) return false;
    }
    return true;
  }
};

// Reading the scaled rows, create would find F's columns shared as this V
// found them, and each scaled row sharing with the first kept row of its
// stored column (relative sign κ_r·κ_first), so long as scaling keeps every
// entry finite and every nonzero nonzero, and no scaled column equals a
// column it did not equal unscaled (rounding could merge them). Those are
// checked; where one fails, or this V is not of_data's, create reads them.
std::expected<ReducedColumns, SolverError> ReducedColumns::scaled_selection(
    const FactorQuad& quadratic, std::span<const std::size_t> kept, std::span<const double* const> kept_rows,
    double scale, std::span<const std::vector<std::uint32_t>> supports, const Matrix* lower) const {
  ReducedColumns out;
  if (out.take_scaled(*this, quadratic, kept, kept_rows, scale, supports)) {
    if (auto transform = out.set_transform(quadratic, lower); !transform)
      return std::unexpected(transform.error());
    return out;
  }
  const std::size_t n = n_;
  // Every entry is written below.
  const auto scaled = std::make_unique_for_overwrite<double[]>(kept_rows.size() * n);
  std::vector<const double*> scaled_rows(kept_rows.size());
  for (std::size_t r = 0; r < kept_rows.size(); ++r) {
    double* row = scaled.get() + r * n;
    for (std::size_t i = 0; i < n; ++i) row[i] = kept_rows[r][i] * scale;
    scaled_rows[r] = row;
  }
  return create(quadratic, scaled_rows, this);
}

// The column map of the scaled selection (see scaled_selection): F's stored
// columns first, in order of first appearance, then one column per stored
// column the kept rows read, numbered at its first kept row (`first`).
// False where the shortcut does not apply.
bool ReducedColumns::scaled_map(const ReducedColumns& data, std::span<const std::size_t> kept,
                                std::vector<std::size_t>& primary, std::vector<std::size_t>& first) {
  const std::size_t k = data.k_;
  const bool ascending = std::adjacent_find(kept.begin(), kept.end(), std::greater_equal<>()) == kept.end();
  if (data.stores_plainly() || !ascending || (!kept.empty() && kept.back() >= data.h_ - k)) return false;
  if (std::ranges::any_of(data.row_scale_, [](double r) { return r != 1.0; })) return false;
  for (std::size_t j = k; j < data.h_; ++j) {
    if (std::abs(data.multiplier_[j]) != 1.0) return false;
  }
  std::vector<std::uint32_t> number(data.stored(), kUnnumbered);
  source_.resize(k + kept.size());
  multiplier_.assign(k + kept.size(), 1.0);
  for (std::size_t j = 0; j < k; ++j) {
    std::uint32_t& t = number[data.source_[j]];
    if (t == kUnnumbered) {
      t = static_cast<std::uint32_t>(primary.size());
      primary.push_back(j);
    }
    source_[j] = t;
    multiplier_[j] = data.multiplier_[j];
  }
  std::ranges::fill(number, kUnnumbered);
  for (std::size_t r = 0; r < kept.size(); ++r) {
    std::uint32_t& t = number[data.source_[k + kept[r]]];
    if (t == kUnnumbered) {
      t = static_cast<std::uint32_t>(primary.size() + first.size());
      first.push_back(r);
    } else {
      multiplier_[k + r] =
          data.multiplier_[k + kept[r]] * data.multiplier_[k + kept[first[t - primary.size()]]];
    }
    source_[k + r] = t;
  }
  return true;
}

// W of the scaled selection, its columns numbered by scaled_map: F's from
// this V's storage, the rows' from the rows times `scale` at the positions
// `supports` gives for a compressed row. False where scaling loses an entry
// or makes two columns equal that were not.
bool ReducedColumns::take_scaled(const ReducedColumns& data, const FactorQuad& quadratic,
                                 std::span<const std::size_t> kept, std::span<const double* const> kept_rows,
                                 double scale, std::span<const std::vector<std::uint32_t>> supports) {
  const std::size_t n = data.n_;
  const std::size_t k = data.k_;
  if (quadratic.factor_count() != k || quadratic.assets() != n || supports.size() != data.h_ - k)
    return false;
  std::vector<std::size_t> primary, first;
  if (!scaled_map(data, kept, primary, first)) return false;
  const Storage& w = *data.storage_;
  const ColumnProfile& factor_profile = *w.factor_profile;
  const std::size_t nf = primary.size();
  auto storage = std::make_shared<Storage>();
  Storage& out = *storage;
  out.width = nf + first.size();
  out.first_constraint_column = out.factor_width = nf;
  out.read_by_constraint.assign(out.width, 1);
  std::fill_n(out.read_by_constraint.begin(), nf, char{0});
  out.factor_profile = w.factor_profile;
  // The stored column of the data each column copies, and its dense slot.
  std::vector<std::size_t> data_slot(w.width, kNoSlot), origin(out.width);
  for (std::size_t a = 0; a < w.dense_column.size(); ++a) data_slot[w.dense_column[a]] = a;
  for (std::size_t t = 0; t < out.width; ++t)
    origin[t] = data.source_[t < nf ? primary[t] : k + kept[first[t - nf]]];
  for (std::size_t t = 0; t < out.width; ++t) {
    if (data_slot[origin[t]] == kNoSlot) continue;
    out.dense_column.push_back(t);
    if (t < nf) out.leading = out.factor_end = out.dense_column.size();
  }

  const std::size_t p = out.dense_column.size();
  const std::size_t pw = w.dense_column.size();
  std::vector<ScaledColumn> views(out.width);
  std::vector<std::vector<double>> values(first.size());
  bool exact = true;
  const auto scaled = [&exact, scale](double v) {
    const double s = v * scale;
    exact = exact && std::isfinite(s) && (s != 0.0 || v == 0.0);
    return s;
  };
  // The dense block row by row: F's slots (the leading ones) copied from this
  // V's, the rows' scaled, with their nonzeros counted.
  std::vector<const double*> from(p);
  for (std::size_t a = 0; a < p; ++a) {
    const std::size_t t = out.dense_column[a];
    from[a] = t < nf ? w.dense.data() + data_slot[origin[t]] : kept_rows[first[t - nf]];
  }
  std::vector<double> nonzeros(p, 0.0);
  out.dense.reserve(n * p);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t a = 0; a < out.leading; ++a) out.dense.push_back(from[a][i * pw]);
    for (std::size_t a = out.leading; a < p; ++a) {
      out.dense.push_back(scaled(from[a][i]));
      nonzeros[a] += out.dense.back() != 0.0 ? 1.0 : 0.0;
    }
  }
  for (std::size_t t = 0; t < out.width; ++t) {
    const auto a =
        static_cast<std::size_t>(std::ranges::find(out.dense_column, t) - out.dense_column.begin());
    if (a < p) {
      const double count = t < nf ? factor_profile.nonzeros[primary[t]] : nonzeros[a];
      views[t] = {out.dense.data() + a, p, {}, {}, count};
    } else if (t < nf) {
      const ColumnEntries& entries = factor_profile.column_entries(primary[t]);
      views[t] = {nullptr, 0, entries.rows, entries.values, factor_profile.nonzeros[primary[t]]};
    } else {
      const std::vector<std::uint32_t>& rows = supports[kept[first[t - nf]]];
      std::vector<double>& v = values[t - nf];
      v.resize(rows.size());
      for (std::size_t e = 0; e < rows.size(); ++e) v[e] = scaled(kept_rows[first[t - nf]][rows[e]]);
      views[t] = {nullptr, 0, rows, v, static_cast<double>(rows.size())};
    }
  }
  if (!exact) return false;
  for (std::size_t t = nf; t < out.width; ++t) {
    for (std::size_t earlier = 0; earlier < t; ++earlier) {
      if (views[t].repeats(views[earlier], n)) return false;
    }
  }
  fill_scaled_sparse(n, views, out);
  n_ = n;
  k_ = k;
  h_ = k + kept.size();
  row_scale_.assign(n, 1.0);
  storage_ = std::move(storage);
  return true;
}

// The compressed rows of W from its compressed columns (`views` of the
// others dense), each row's entries in increasing stored column.
void ReducedColumns::fill_scaled_sparse(std::size_t n, std::span<const ScaledColumn> views, Storage& w) {
  w.row_start.assign(n + 1, 0);
  for (const ScaledColumn& view : views) {
    if (view.dense != nullptr) continue;
    for (const std::uint32_t i : view.rows) ++w.row_start[i + 1];
  }
  for (std::size_t i = 0; i < n; ++i) w.row_start[i + 1] += w.row_start[i];
  w.sparse_column.resize(w.row_start[n]);
  w.sparse_value.resize(w.row_start[n]);
  std::vector<std::size_t> next(w.row_start.begin(), w.row_start.end() - 1);
  for (std::size_t t = 0; t < views.size(); ++t) {
    if (views[t].dense != nullptr) continue;
    for (std::size_t e = 0; e < views[t].rows.size(); ++e) {
      const std::uint32_t i = views[t].rows[e];
      w.sparse_column[next[i]] = static_cast<std::uint32_t>(t);
      w.sparse_value[next[i]++] = views[t].values[e];
    }
  }
}

}  // namespace morva
