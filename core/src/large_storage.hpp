// Storage for the values of large matrices (internal to the core): blocks
// readied for their first writes, and blocks that released matrices leave
// behind, kept for the next large_storage (morva/large_storage.hpp).
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

// `count` doubles whose values are unspecified until written: a kept block
// with what it held (a block of at least kKeptBlockBytes), else new zeros.
// For storage that every read follows a write to, such as a record filled in
// one pass: the block is neither zeroed nor, kept, faulted in again.
std::vector<double> storage_for_overwrite(std::size_t count);

inline constexpr std::size_t kKeptBlockBytes = std::size_t{256} << 10;
inline constexpr std::size_t kKeptBlocks = 16;
inline constexpr std::size_t kKeptBytes = std::size_t{64} << 20;

}  // namespace morva
