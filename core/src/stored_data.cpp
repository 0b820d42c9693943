// What the stored columns of a problem's own data (ReducedColumns::of_data)
// tell the steps around the iteration: the constraint rows that repeat one
// another and the nonzeros of the rows kept compressed, so that the
// equilibration and the KKT checks need not read the dense rows again.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "stored_columns.hpp"

namespace morva {

std::vector<std::optional<RowRepeat>> ReducedColumns::repeated_rows(std::size_t equality_rows) const {
  const std::size_t m = h_ - k_;
  std::vector<std::optional<RowRepeat>> repeats(m);
  if (stores_plainly()) return repeats;
  for (const auto& [begin, end] :
       {std::pair<std::size_t, std::size_t>{0, equality_rows}, {equality_rows, m}}) {
    std::vector<std::size_t> first_row(stored(), m);  // per stored column: its first row in the group
    for (std::size_t r = begin; r < end; ++r) {
      const std::uint32_t s = source_[k_ + r];
      if (first_row[s] == m) {
        first_row[s] = r;
      } else {
        repeats[r] = RowRepeat{first_row[s] - begin, multiplier_[k_ + r] * multiplier_[k_ + first_row[s]]};
      }
    }
  }
  return repeats;
}

std::vector<std::vector<std::uint32_t>> ReducedColumns::compressed_rows() const {
  std::vector<std::vector<std::uint32_t>> rows(h_ - k_);
  if (stores_plainly()) return rows;
  // The rows of each compressed stored column a constraint column reads, in
  // increasing order.
  const Storage& w = *storage_;
  const std::size_t first = w.first_constraint_column;
  std::vector<std::vector<std::uint32_t>> by_column(w.width - first);
  for (std::size_t i = 0; i < n_; ++i) {
    for (std::size_t e = w.constraint_entries(i); e < w.row_start[i + 1]; ++e)
      by_column[w.sparse_column[e] - first].push_back(static_cast<std::uint32_t>(i));
  }
  for (std::size_t r = 0; r < rows.size(); ++r) rows[r] = by_column[source_[k_ + r] - first];
  return rows;
}

}  // namespace morva
