// One read of a dense row-major block for its finiteness and its rows'
// nonzero column groups [4g, 4g + 4) (internal to the core).
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva::detail {

// What scan_groups found.
struct GroupScan {
  bool finite = true;     // every entry finite
  bool recorded = false;  // groups and row_end hold the record
};

// Reads the rows×len block at `values` (row i at values + i·len) once.
// Finiteness covers every entry. While the nonzero groups found so far fit
// in `room`, group g of row i is appended to `groups` when any of its four
// entries is nonzero (a NaN is; a zero of either sign is not), and
// row_end[i] is one past row i's last one; the columns past the last whole
// group are not grouped. `groups` has room + len / 4 slots, row_end rows.
// A portable form and, on processors with AVX2, a four-lane one; both give
// the same record.
GroupScan scan_groups(const double* values, std::size_t rows, std::size_t len, std::size_t room,
                      std::uint32_t* groups, std::size_t* row_end);

}  // namespace morva::detail
