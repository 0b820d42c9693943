#include "group_scan.hpp"

#include <cstring>

#include "simd.hpp"

namespace morva::detail {
namespace {

// v·0 is ±0 for a finite v and NaN otherwise: a sum of them stays zero
// exactly while every entry is finite. The portable form keeps such sums in
// lanes.
//
// Groups are written unconditionally and kept by advancing the count, so a
// row's unpredictable industry column costs no branch; once a row leaves
// the count past `room` the record is given up and finiteness goes on.

GroupScan scan_groups_narrow(const double* values, std::size_t rows, std::size_t len, std::size_t room,
                             std::uint32_t* groups, double* packed, std::size_t* row_end, GroupScan so_far) {
  const std::size_t whole = len / 4;
  double zero[4] = {0.0, 0.0, 0.0, 0.0};
  bool recording = groups != nullptr && so_far.recorded;
  std::size_t used = so_far.used;
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = values + i * len;
    for (std::size_t g = 0; g < whole; ++g) {
      const double* p = row + 4 * g;
      for (std::size_t j = 0; j < 4; ++j) zero[j] += p[j] * 0.0;
      if (recording) {
        groups[used] = static_cast<std::uint32_t>(g);
        std::memcpy(packed + 4 * used, p, 4 * sizeof(double));
        used += any_nonzero4(p) ? 1 : 0;
      }
    }
    for (std::size_t c = 4 * whole; c < len; ++c) zero[c % 4] += row[c] * 0.0;
    if (recording) {
      row_end[i] = used;
      recording = used <= room;
    }
  }
  return {so_far.finite && zero[0] == 0.0 && zero[1] == 0.0 && zero[2] == 0.0 && zero[3] == 0.0, recording,
          used};
}

#if defined(__GNUC__) && defined(__x86_64__)
// Here the test is v·0 ≠ 0, OR-ed into a mask: a chain of one-cycle ORs
// rather than of additions, so a block read from cache is scanned at the
// rate of its loads.
[[gnu::target("avx2")]] GroupScan scan_groups_wide(const double* values, std::size_t rows, std::size_t len,
                                                   std::size_t room, std::uint32_t* groups, double* packed,
                                                   std::size_t* row_end, GroupScan so_far) {
  using Mask4 = long long __attribute__((vector_size(32)));
  const std::size_t whole = len / 4;
  const Lanes4 nil = splat4(0.0);
  Mask4 infinite = Mask4{0, 0, 0, 0};
  double tail = 0.0;
  bool recording = groups != nullptr && so_far.recorded;
  std::size_t used = so_far.used;
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = values + i * len;
    if (recording) {
      for (std::size_t g = 0; g < whole; ++g) {
        const Lanes4 v = load4(row + 4 * g);
        infinite |= v * nil != nil;
        groups[used] = static_cast<std::uint32_t>(g);
        store4(packed + 4 * used, v);
        used += __builtin_ia32_movmskpd256(reinterpret_cast<Lanes4>(v != nil)) != 0 ? 1 : 0;
      }
      row_end[i] = used;
      recording = used <= room;
    } else {
      for (std::size_t g = 0; g < whole; ++g) infinite |= load4(row + 4 * g) * nil != nil;
    }
    for (std::size_t c = 4 * whole; c < len; ++c) tail += row[c] * 0.0;
  }
  const bool finite = (infinite[0] | infinite[1] | infinite[2] | infinite[3]) == 0 && tail == 0.0;
  return {so_far.finite && finite, recording, used};
}
#endif

using ScanKernel = GroupScan (*)(const double*, std::size_t, std::size_t, std::size_t, std::uint32_t*,
                                 double*, std::size_t*, GroupScan);

}  // namespace

GroupScan scan_groups(const double* values, std::size_t rows, std::size_t len, std::size_t room,
                      std::uint32_t* groups, double* packed, std::size_t* row_end, GroupScan so_far) {
  static const ScanKernel kernel = [] {
#if defined(__GNUC__) && defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return ScanKernel{scan_groups_wide};
#endif
    return ScanKernel{scan_groups_narrow};
  }();
  return kernel(values, rows, len, room, groups, packed, row_end, so_far);
}

}  // namespace morva::detail
