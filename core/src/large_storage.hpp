// Storage for the values of large matrices (internal to the core): blocks
// readied for their first writes, and blocks that released matrices leave
// behind, kept for the next large_storage (morva/matrix.hpp).
#pragma once

#include <cstddef>
#include <vector>

namespace morva {

// Readies the `count` doubles at `block` for their first writes: huge pages
// where the system backs memory with them on request, and, for memory fresh
// from the system, every page in one call.
void ready_for_writing(const double* block, std::size_t count);

// Offers the values of a matrix no longer held to later large_storage calls:
// a block that large_storage handed out (at least kKeptBlockBytes) is moved
// out of `values` and kept, displacing the least recently kept ones beyond
// kKeptBlocks blocks or kKeptBytes in all; any other is left where it is.
// Never throws.
void keep_storage(std::vector<double>& values) noexcept;

inline constexpr std::size_t kKeptBlockBytes = std::size_t{256} << 10;
inline constexpr std::size_t kKeptBlocks = 16;
inline constexpr std::size_t kKeptBytes = std::size_t{64} << 20;

}  // namespace morva
