// The rows of a constraint block as equilibration keeps them.
#include "equilibration.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "column_sharing.hpp"
#include "detail/simd.hpp"
#include "morva/large_storage.hpp"
#include "morva/matrix.hpp"

namespace morva {

CompactRows::CompactRows(const Matrix& a, std::span<const std::optional<RowRepeat>> repeated,
                         std::span<const std::vector<std::uint32_t>> supports)
    : support(a.rows()), values(a.rows()), dense_offset(a.rows(), 0), repeats(a.rows()), width(a.cols()) {
  const std::size_t n = a.cols();
  std::vector<std::size_t> dense_rows;
  for (std::size_t i = 0; i < a.rows(); ++i) {
    if (!repeated.empty() && repeated[i]) {
      repeats[i] = repeated[i];
      continue;
    }
    const auto row = a.row(i);
    if (!supports.empty() && !supports[i].empty()) {
      // The stored columns kept this row's nonzeros: no read of the row.
      support[i] = supports[i];
      values[i].resize(support[i].size());
      for (std::size_t e = 0; e < support[i].size(); ++e) values[i][e] = row[support[i][e]];
      continue;
    }
    const auto nonzeros =
        static_cast<std::size_t>(std::ranges::count_if(row, [](double v) { return v != 0.0; }));
    // A row is kept through its nonzeros where the stored columns keep it
    // compressed (and can name them): at most n / kDenseColumnDivisor.
    if (nonzeros == 0 || nonzeros * kDenseColumnDivisor > n) {
      dense_rows.push_back(i);
      continue;
    }
    support[i].reserve(nonzeros);
    values[i].reserve(nonzeros);
    for (std::size_t j = 0; j < n; ++j) {
      if (row[j] == 0.0) continue;
      support[i].push_back(static_cast<std::uint32_t>(j));
      values[i].push_back(row[j]);
    }
  }
  // The dense rows in one block. With no sparse row, the block is a copy of
  // `a` whole, each row in its place, so that its scaled matrix is the block
  // once the repeated rows are written in.
  if (std::ranges::none_of(support, [](const auto& s) { return !s.empty(); })) {
    dense = large_storage(a.data().size());
    dense.assign(a.data().begin(), a.data().end());
    for (std::size_t i = 0; i < a.rows(); ++i) dense_offset[i] = i * n;
    return;
  }
  dense = large_storage(dense_rows.size() * n);
  for (const std::size_t i : dense_rows) {
    dense_offset[i] = dense.size();
    dense.insert(dense.end(), a.row(i).begin(), a.row(i).end());
  }
}

namespace {

// row_j ← s·source_j wherever row_j is nonzero, for j < n, two entries at a
// time as selects.
void write_signed_nonzeros(const double* source, std::size_t n, double sign, double* row) {
  std::size_t j = 0;
#if defined(__GNUC__)
  const detail::Lanes2 zero = {0.0, 0.0};
  const detail::Lanes2 s = {sign, sign};
  for (; j + 2 <= n; j += 2) {
    const detail::Lanes2 kept = detail::load2(row + j);
    const detail::Lanes2 scaled = s * detail::load2(source + j);
    detail::store2(row + j, kept == zero ? kept : scaled);
  }
#endif
  for (; j < n; ++j) row[j] = row[j] == 0.0 ? row[j] : sign * source[j];
}

// `row` (repeated row i, unscaled's entries there) with s times the earlier
// row's scaled entries written over it; a zero keeps its own sign, as
// scaling by a positive factor would.
void write_repeat(const CompactRows& block, std::size_t i, double* row) {
  const auto [earlier, sign] = *block.repeats[i];
  const auto source = block.entries(earlier);
  if (block.sparse(earlier)) {
    for (std::size_t e = 0; e < source.size(); ++e) row[block.support[earlier][e]] = sign * source[e];
  } else {
    write_signed_nonzeros(source.data(), block.width, sign, row);
  }
}

}  // namespace

Matrix CompactRows::written_over(const Matrix& unscaled) const& {
  const std::size_t n = unscaled.cols();
  // Each row written once, in order: a dense row from its kept entries, any
  // other from unscaled's row with the kept entries written over it.
  std::vector<double> data = large_storage(unscaled.data().size());
  for (std::size_t i = 0; i < rows(); ++i) {
    if (!repeats[i] && !sparse(i)) {
      const auto kept = entries(i);
      data.insert(data.end(), kept.begin(), kept.end());
      continue;
    }
    const auto from = unscaled.row(i);
    data.insert(data.end(), from.begin(), from.end());
    double* row = data.data() + i * n;
    if (repeats[i]) {
      write_repeat(*this, i, row);
    } else {
      for (std::size_t e = 0; e < values[i].size(); ++e) row[support[i][e]] = values[i][e];
    }
  }
  // The shape is unscaled's own.
  return *Matrix::create(unscaled.rows(), n, std::move(data));
}

Matrix CompactRows::written_over(const Matrix& unscaled) && {
  if (dense.size() != unscaled.data().size() || rows() != unscaled.rows()) return written_over(unscaled);
  // The block holds every row in its place, a repeated row still unscaled's:
  // each repeat is written in (after its earlier row, which is final).
  for (std::size_t i = 0; i < rows(); ++i) {
    if (repeats[i]) write_repeat(*this, i, dense.data() + i * width);
  }
  return *Matrix::create(unscaled.rows(), unscaled.cols(), std::move(dense));
}

}  // namespace morva
