// One read of a dense row-major block for its finiteness and its rows'
// nonzero column groups [4g, 4g + 4) (internal to the core).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "simd.hpp"

namespace morva::detail {

// What scan_groups found so far: a scan of a block's rows in several calls
// hands each call's result to the next.
struct GroupScan {
  bool finite = true;     // every entry finite
  bool recorded = false;  // groups and row_end hold the record (while scanning: still recording)
  std::size_t used = 0;   // groups recorded
};

// Reads the rows×len block at `values` (row i at values + i·len) once.
// Finiteness covers every entry. While the nonzero groups found so far fit
// in `room`, group g of row i is appended to `groups` when any of its four
// entries is nonzero (a NaN is; a zero of either sign is not), and
// row_end[i] is one past row i's last one, and the group's four entries go
// to `packed` (four per group, in the order of `groups`); the columns past
// the last whole group are not grouped. `groups` has room + len / 4 slots,
// `packed` four times as many, row_end rows.
//
// `so_far` is what the scan of the rows before these found (their groups
// already in `groups` and `packed`, row_end indexed from these rows); the
// first call passes recorded = true to record, or null `groups` not to.
// A portable form and, on processors with AVX2, a four-lane one; both give
// the same record.
GroupScan scan_groups(const double* values, std::size_t rows, std::size_t len, std::size_t room,
                      std::uint32_t* groups, double* packed, std::size_t* row_end, GroupScan so_far);

// visit(c, row[c]) for each column c of a row of len entries where row[c]
// is nonzero (a NaN is, a zero of either sign is not), in increasing c,
// given the row's nonzero groups as scan_groups records them and their
// entries at `values` (four per group): the columns and entries a plain
// scan of the row would visit, reading the row itself only past its last
// whole group.
template <class Visit>
inline void for_each_group_nonzero(const double* values, const double* row, std::size_t len,
                                   std::span<const std::uint32_t> groups, Visit visit) {
  for (std::size_t e = 0; e < groups.size(); ++e) {
    const std::size_t first = 4 * std::size_t{groups[e]};
    for (std::size_t j = 0; j < 4; ++j) {
      const double v = values[4 * e + j];
      if (v != 0.0) visit(first + j, v);
    }
  }
  for (std::size_t c = len / 4 * 4; c < len; ++c) {
    if (row[c] != 0.0) visit(c, row[c]);
  }
}

// The row's nonzero pattern, bit c of pattern[c / 64] set where row[c] is
// nonzero, from its recorded groups (entries at `values`, four per group)
// four bits at a time and the columns past the last whole group: the bits a
// plain scan of the row would set. `pattern` has (len + 63) / 64 words.
inline void group_pattern(const double* values, const double* row, std::size_t len,
                          std::span<const std::uint32_t> groups, std::span<std::uint64_t> pattern) {
  std::ranges::fill(pattern, std::uint64_t{0});
  for (std::size_t e = 0; e < groups.size(); ++e) {
    const std::size_t first = 4 * std::size_t{groups[e]};
    pattern[first / 64] |= nonzero_mask4(values + 4 * e) << (first % 64);
  }
  for (std::size_t c = len / 4 * 4; c < len; ++c) pattern[c / 64] |= std::uint64_t{row[c] != 0.0} << (c % 64);
}

// Columns of a len-column block that a pass copies out of the record, by
// whole group of four: each wanted column c < len / 4 · 4 with its target (a
// place the caller chooses), kept as (lane c % 4, target) under group c / 4.
// Columns past the last whole group are never recorded: the caller reads
// those from the block.
class GroupColumns {
 public:
  using Entry = std::pair<std::uint32_t, std::size_t>;  // (lane, target)

  GroupColumns(std::size_t len, std::span<const std::pair<std::size_t, std::size_t>> wanted)
      : first_(len / 4 + 2, 0) {
    const std::size_t whole = len / 4;
    for (const auto& [c, target] : wanted) {
      if (c / 4 < whole) ++first_[c / 4 + 2];
    }
    for (std::size_t g = 2; g < first_.size(); ++g) first_[g] += first_[g - 1];
    entries_.resize(first_.back());
    for (const auto& [c, target] : wanted) {
      if (c / 4 < whole) entries_[first_[c / 4 + 1]++] = {static_cast<std::uint32_t>(c % 4), target};
    }
  }

  // The wanted columns of group g.
  std::span<const Entry> group(std::size_t g) const {
    return {entries_.data() + first_[g], first_[g + 1] - first_[g]};
  }
  // How many wanted columns lie in whole groups.
  std::size_t size() const { return entries_.size(); }

  // write(target, value) for each wanted column of a row's recorded groups
  // (their entries at `values`, four per group); returns how many.
  template <class Write>
  std::size_t write_row(std::span<const std::uint32_t> groups, const double* values, Write write) const {
    std::size_t written = 0;
    for (std::size_t e = 0; e < groups.size(); ++e) {
      for (const auto& [lane, target] : group(groups[e])) write(target, values[4 * e + lane]);
      written += first_[groups[e] + 1] - first_[groups[e]];
    }
    return written;
  }

 private:
  std::vector<std::size_t> first_;  // group g's entries: [first_[g], first_[g + 1])
  std::vector<Entry> entries_;
};

}  // namespace morva::detail
