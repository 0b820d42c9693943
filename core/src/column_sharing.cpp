#include "column_sharing.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <utility>

#include "detail/simd.hpp"
#include "detail/vector_ops.hpp"

namespace morva {
namespace {

// Whether *p is nonzero (a NaN is, a zero of either sign is not), from its
// bits: ±0 differ from +0 in the sign bit alone, which the shift drops.
inline bool nonzero_at(const double* p) {
  std::uint64_t bits;
  std::memcpy(&bits, p, sizeof bits);
  return (bits << 1) != 0;
}

// visit(i) for each nonzero v[i] (NaN included), in increasing i. Runs of
// zeros (most of an indicator row) are passed over eight entries at a time
// with one branch; within eight that hold a nonzero, each entry is one test.
template <class Visit>
void for_each_nonzero(const double* v, std::size_t n, Visit visit) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t bits[8];
    std::memcpy(bits, v + i, sizeof bits);
    if (((bits[0] | bits[1] | bits[2] | bits[3] | bits[4] | bits[5] | bits[6] | bits[7]) << 1) == 0) continue;
#if defined(__clang__)
#pragma unroll
#elif defined(__GNUC__)
#pragma GCC unroll 8
#endif
    for (std::size_t j = i; j < i + 8; ++j) {
      if (nonzero_at(v + j)) visit(j);
    }
  }
  for (; i < n; ++i) {
    if (nonzero_at(v + i)) visit(i);
  }
}

// One more nonzero entry mixed into a hash: its magnitude's bits.
inline std::uint64_t mix(std::uint64_t h, double v) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  constexpr std::uint64_t kMagnitude = ~(std::uint64_t{1} << 63);
  return (h ^ (std::bit_cast<std::uint64_t>(v) & kMagnitude)) * kMultiplier;
}

// Nonzero entries a fingerprint takes from the head of its column, and the
// spacing of the rows it takes them from further on.
constexpr std::size_t kLeadingPrinted = 32;
constexpr std::size_t kPrintSpacing = 64;

// A column's fingerprint: a hash of the magnitudes, with their rows, of its
// first kLeadingPrinted nonzero entries and of its nonzero entries on every
// kPrintSpacing-th row, in row order. Equal and negated columns share it;
// different columns rarely do (the leading entries part sparse columns, the
// spaced ones dense columns), and the sharing's entry-by-entry confirmation
// parts those. So it is cheap: no hash chain runs a dense column's length.
struct Fingerprint {
  std::uint64_t leading = 0;
  std::uint64_t spaced = 0;

  // Entry (i, v), nonzero, the `ordinal`-th (from 0) of its column.
  void take(std::size_t ordinal, std::size_t i, double v) {
    if (ordinal < kLeadingPrinted) take_leading(i, v);
    if (i % kPrintSpacing == 0) spaced = mix(spaced ^ i, v);
  }
  void take_leading(std::size_t i, double v) { leading = mix(leading ^ i, v); }
  std::uint64_t value() const { return leading ^ std::rotl(spaced, 31); }
};

// Whether `v` is an infinity or NaN, as a bit to OR into a running mask
// (bit 63): its exponent field, all ones exactly for those, carries into
// the sign bit when one unit of exponent is added.
inline std::uint64_t non_finite_bit(double v) {
  constexpr std::uint64_t kExponent = 0x7FF0000000000000ull;
  constexpr std::uint64_t kExponentUnit = 0x0010000000000000ull;
  return (std::bit_cast<std::uint64_t>(v) & kExponent) + kExponentUnit;
}
inline bool all_finite(std::uint64_t non_finite_mask) {
  return (non_finite_mask >> 63) == 0;
}

// Rows a sweep compares pair by pair before moving on: the stretches of the
// columns it reads stay in the first-level cache.
constexpr std::size_t kSweptRows = 32;
// A constraint row with more than n / kSweptRowDivisor nonzeros that may
// repeat a column of F is swept: read down F, each entry costs a cache line.
constexpr std::size_t kSweptRowDivisor = 8;
constexpr std::size_t kCollectSlack = 64;  // see EntryCollector
// Rows of F are far apart in memory, and a comparison reads a few lines of
// each: the lines of the row this many reads ahead are asked for first.
constexpr std::size_t kPrefetchDistance = 8;

// Whether column j of [F, rows ᵀ] is ±1 times column `earlier`, for pairs
// with the same number of nonzeros (agrees() over their entries). So
// matching the nonzeros of column j is enough: where they match, the
// earlier column's nonzeros are at the same rows and it has no others.
class PairComparison {
 public:
  PairComparison(const FactorRows& factors, std::span<const double* const> rows, std::size_t pairs)
      : factors_(factors), rows_(rows), sign_(pairs, 0.0), same_(pairs, 1) {}

  void compare(std::size_t q, double a, double b) { same_[q] = same_[q] && agrees(sign_[q], a, b); }

  // A constraint row against column `earlier` through the row's nonzero
  // `entries`: F's entries asked for ahead of their use or, where the
  // earlier column is one of F's with its nonzeros kept (`earlier_entries`),
  // taken from those in step with the row's (an entry of F not among them is
  // a zero of either sign, which compare() treats alike).
  void sparse_row(std::size_t q, const ColumnEntries& entries, std::size_t earlier,
                  const ColumnEntries* earlier_entries) {
    const std::size_t k = factors_.cols();
    const std::span<const std::uint32_t> support = entries.rows;
    if (earlier_entries != nullptr) {
      const std::span<const std::uint32_t> at = earlier_entries->rows;
      std::size_t t = 0;
      for (std::size_t e = 0; e < support.size() && same_[q]; ++e) {
        while (t < at.size() && at[t] < support[e]) ++t;
        compare(q, entries.values[e],
                t < at.size() && at[t] == support[e] ? earlier_entries->values[t] : 0.0);
      }
      return;
    }
    for (std::size_t e = 0; e < support.size() && same_[q]; ++e) {
      const std::size_t i = support[e];
      if (earlier < k && e + kPrefetchDistance < support.size())
        factors_.prefetch(support[e + kPrefetchDistance], earlier);
      compare(q, entries.values[e], earlier < k ? factors_.at(i, earlier) : rows_[earlier - k][i]);
    }
  }
  // Constraint rows a and b entry by entry.
  void dense_rows(std::size_t q, const double* a, const double* b) {
    for (std::size_t i = 0; i < factors_.rows() && same_[q]; ++i) compare(q, a[i], b[i]);
  }

  // Pairs against F's columns (`swept`), read through
  // FactorRows::DownColumns, block of rows by block. compare() over a
  // pair's entries yields +1 exactly when every a equals b, else −1 exactly
  // when every a equals −b, else 0: conjunctions, taken here without
  // branches and in any order.
  void sweep(std::span<const std::pair<std::size_t, std::size_t>> pairs, std::span<const std::size_t> swept) {
    const std::size_t n = factors_.rows();
    const std::size_t k = factors_.cols();
    if (swept.empty()) return;
    std::vector<char> needed(k, 0);
    for (std::size_t q : swept) {
      needed[pairs[q].second] = 1;
      if (pairs[q].first < k) needed[pairs[q].first] = 1;
    }
    std::vector<std::size_t> read;
    for (std::size_t c = 0; c < k; ++c) {
      if (needed[c] != 0) read.push_back(c);
    }
    const FactorRows::DownColumns columns(factors_, read);
    const std::size_t stride = columns.stride();
    std::vector<char> plus(sign_.size(), 1), minus(sign_.size(), 1);
    const auto compare_block = [&](std::size_t q, std::size_t i0, std::size_t i1) {
      if (!plus[q] && !minus[q]) return;
      const auto [j, earlier] = pairs[q];
      const double* a = j < k ? columns.column(j) : rows_[j - k];
      const std::size_t a_stride = j < k ? stride : 1;
      const double* b = columns.column(earlier);
      bool same = true, opposite = true;
      std::size_t i = i0;
#if defined(__GNUC__)
      // Two rows at a time: the same conjunctions, lane by lane.
      using Bits2 = long long __attribute__((vector_size(16)));
      Bits2 same2 = ~Bits2{}, opposite2 = ~Bits2{};
      for (; i + 2 <= i1; i += 2) {
        const detail::Lanes2 ai = {a[i * a_stride], a[(i + 1) * a_stride]};
        const detail::Lanes2 bi = {b[i * stride], b[(i + 1) * stride]};
        same2 &= ai == bi;
        opposite2 &= ai == -bi;
      }
      same = (same2[0] & same2[1]) != 0;
      opposite = (opposite2[0] & opposite2[1]) != 0;
#endif
      for (; i < i1; ++i) {
        same &= a[i * a_stride] == b[i * stride];
        opposite &= a[i * a_stride] == -b[i * stride];
      }
      plus[q] &= same;
      minus[q] &= opposite;
    };
    for (std::size_t i0 = 0; i0 < n; i0 += kSweptRows) {
      for (std::size_t q : swept) compare_block(q, i0, std::min(n, i0 + kSweptRows));
    }
    for (std::size_t q : swept) {
      same_[q] = plus[q] || minus[q];
      sign_[q] = plus[q] ? 1.0 : -1.0;
    }
  }

  // +1 or −1 for a pair that holds (+1 when the columns are zero), else 0.
  std::vector<double> signs() && {
    for (std::size_t q = 0; q < sign_.size(); ++q)
      sign_[q] = !same_[q] ? 0.0 : (sign_[q] == 0.0 ? 1.0 : sign_[q]);
    return std::move(sign_);
  }

 private:
  const FactorRows& factors_;
  std::span<const double* const> rows_;
  std::vector<double> sign_;
  std::vector<char> same_;
};

// For each pair (j, earlier) of columns of [F, rows ᵀ] with the same number
// of nonzeros (`nonzeros`, per column): +1 or −1 when column j is that times
// column `earlier`, else 0. Pairs of F's columns, and dense rows against
// F's columns, go in the sweep over F; other rows are compared through
// their kept nonzeros, or whole where they have many.
std::vector<double> signs_against(const FactorRows& factors, std::span<const double* const> rows,
                                  std::span<const std::pair<std::size_t, std::size_t>> pairs,
                                  const ColumnProfile& profile) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  PairComparison comparison(factors, rows, pairs.size());
  std::vector<std::size_t> swept;
  for (std::size_t q = 0; q < pairs.size(); ++q) {
    const auto [j, earlier] = pairs[q];
    if (j < k || (earlier < k &&
                  profile.nonzeros[j] * static_cast<double>(kSweptRowDivisor) > static_cast<double>(n))) {
      swept.push_back(q);
    } else if (!profile.compressed(j, n)) {  // then `earlier` is a constraint row too
      comparison.dense_rows(q, rows[j - k], rows[earlier - k]);
    } else {
      const ColumnEntries* earlier_entries =
          earlier < k && profile.compressed(earlier, n) ? &profile.column_entries(earlier) : nullptr;
      comparison.sparse_row(q, profile.column_entries(j), earlier, earlier_entries);
    }
  }
  comparison.sweep(pairs, swept);
  return std::move(comparison).signs();
}

// Collects a column's nonzero entries while there are at most `limit`, and
// drops them once there are more or the rows read so far hold more than
// their share of n / kDenseColumnDivisor by kCollectSlack, so that a dense
// column costs no more than that; one dropped early that ends with few
// after all is read again (complete() false). Dropping them, it holds at
// least min(limit, kCollectSlack + 1) and first hashes the leading ones.
class EntryCollector {
 public:
  EntryCollector(ColumnEntries& out, std::size_t limit) : out_(out), limit_(limit) {}
  // Takes entry (i, v), nonzero; returns whether it still collects.
  bool take(std::size_t i, double v) {
    if (!open_) return false;
    const std::size_t kept = out_.rows.size();
    if (kept == limit_ || kept > i / kDenseColumnDivisor + kCollectSlack) {
      leading_ = leading();
      open_ = false;
      out_ = ColumnEntries{};
      return false;
    }
    out_.rows.push_back(static_cast<std::uint32_t>(i));
    out_.values.push_back(v);
    return true;
  }
  bool complete() const { return open_; }
  // Fingerprint::leading of the column, once at least kLeadingPrinted
  // entries have been taken or every nonzero has.
  std::uint64_t leading() const {
    if (!open_) return leading_;
    Fingerprint print;
    for (std::size_t e = 0; e < std::min(kLeadingPrinted, out_.rows.size()); ++e)
      print.take_leading(out_.rows[e], out_.values[e]);
    return print.leading;
  }

 private:
  ColumnEntries& out_;
  std::size_t limit_;
  bool open_ = true;
  std::uint64_t leading_ = 0;
};

// One constraint row's nonzero count (exact in doubles), finiteness
// (non_finite_bit's mask, ORed into `not_finite`), fingerprint and, when at
// most `limit` (`positions` has limit + 1 slots), entries: all from its
// nonzeros, as zeros are finite and count for nothing. A row with a known
// support (every other entry +0) is read there alone: the same nonzeros.
// Any other row is counted in bulk first; of a denser one only the head,
// up to its leading printed entries, and the spaced rows are read again.
void profile_row(const double* row, std::size_t n, std::span<const std::uint32_t> known, double& nonzeros,
                 std::uint64_t& not_finite, std::uint64_t& fingerprint, std::span<std::uint32_t> positions,
                 ColumnEntries& entries) {
  const std::size_t limit = positions.size() - 1;
  Fingerprint print;
  std::uint64_t row_not_finite = 0;
  std::size_t found = 0;
  const auto visit = [&](std::size_t j) MORVA_ALWAYS_INLINE {
    const double v = row[j];
    row_not_finite |= non_finite_bit(v);
    print.take(found, j, v);
    positions[std::min(found, limit)] = static_cast<std::uint32_t>(j);
    ++found;
  };
  if (!known.empty()) {
    for (const std::uint32_t j : known) {
      if (nonzero_at(row + j)) visit(j);
    }
  } else if (const std::size_t count = detail::count_nonzeros(row, n); count <= limit) {
    for_each_nonzero(row, n, visit);
  } else {
    found = count;
    for (std::size_t j = 0; j < n; ++j) row_not_finite |= non_finite_bit(row[j]);
    for (std::size_t j = 0, taken = 0; j < n && taken < kLeadingPrinted; ++j) {
      if (!nonzero_at(row + j)) continue;
      print.take_leading(j, row[j]);
      ++taken;
    }
    for (std::size_t j = 0; j < n; j += kPrintSpacing) {
      if (nonzero_at(row + j)) print.spaced = mix(print.spaced ^ j, row[j]);
    }
  }
  nonzeros = static_cast<double>(found);
  not_finite |= row_not_finite;
  fingerprint = print.value();
  if (found > limit) return;
  entries.rows.assign(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(found));
  entries.values.resize(found);
  for (std::size_t e = 0; e < found; ++e) entries.values[e] = row[entries.rows[e]];
}

// Which columns of [F, rows ᵀ] share a distinct column: each column that
// `confirm(j, e)` finds to be ±1 times an earlier stored column e (among
// those with its fingerprint and nonzero count) reads it with that sign;
// every other column is stored, in order of first appearance.
template <class Confirm>
Sharing share_columns(const ColumnProfile& profile, std::size_t k, bool share, Confirm confirm) {
  const std::size_t h = profile.nonzeros.size();
  Sharing out{{}, {}, std::vector<std::uint32_t>(h), std::vector<double>(h, 1.0)};
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> seen;  // fingerprint → stored columns
  for (std::size_t j = 0; j < h; ++j) {
    const std::uint64_t key = profile.fingerprint[j] ^ std::bit_cast<std::uint64_t>(profile.nonzeros[j]);
    std::optional<std::uint32_t> shared;
    if (share) {
      for (std::uint32_t s : seen[key]) {
        if (profile.nonzeros[out.primary[s]] != profile.nonzeros[j]) continue;
        if (const double sign = confirm(j, out.primary[s]); sign != 0.0) {
          shared = s;
          out.multiplier[j] = sign;
          break;
        }
      }
    }
    if (!shared) {
      shared = static_cast<std::uint32_t>(out.primary.size());
      out.primary.push_back(j);
      out.read.push_back(0);
      if (share) seen[key].push_back(*shared);
    }
    out.source[j] = *shared;
    if (j >= k) out.read[*shared] = 1;
  }
  return out;
}

}  // namespace

// F's counts, finiteness, fingerprints and entries in one read, group by
// group (the recorded groups alone, where F's structure is recorded): each
// group's four entries counted and tested without a branch, its nonzeros
// visited only where their column still collects entries, and the rows the
// fingerprints sample read again. Zeros are finite, count for nothing and
// are not hashed, so skipping them changes nothing.
ColumnProfile factor_profile(const FactorRows& factors) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  ColumnProfile profile{std::vector<double>(k, 0.0), std::vector<std::uint64_t>(k, 0), true,
                        std::vector<ColumnEntries>(k), nullptr};
  std::vector<std::size_t> count(k, 0);
  std::uint64_t not_finite = 0;
  // At least kLeadingPrinted entries each, for the fingerprints' leading
  // parts; a column with more than n / kDenseColumnDivisor keeps none.
  std::vector<EntryCollector> collectors;
  collectors.reserve(k);
  for (std::size_t l = 0; l < k; ++l)
    collectors.emplace_back(profile.entries[l], std::max(n / kDenseColumnDivisor, kLeadingPrinted));
  std::vector<Fingerprint> print(k);
  std::vector<std::uint64_t> open((k + 63) / 64, ~std::uint64_t{0});  // bit l: column l collects
  const auto collect = [&](std::size_t l, std::size_t i, double v) {
    if (!collectors[l].take(i, v)) open[l / 64] &= ~(std::uint64_t{1} << (l % 64));
  };
  for (std::size_t i = 0; i < n; ++i) {
    factors.for_each_group(
        i,
        [&](std::size_t first, const double* v) MORVA_ALWAYS_INLINE {
          for (std::size_t j = 0; j < 4; ++j) {
            count[first + j] += v[j] != 0.0 ? 1 : 0;
            not_finite |= non_finite_bit(v[j]);
          }
          // Four bits of one word: `first` is a multiple of four.
          std::uint64_t collecting = detail::nonzero_mask4(v) & (open[first / 64] >> (first % 64)) & 0xF;
          for (; collecting != 0; collecting &= collecting - 1) {
            const std::size_t j = static_cast<std::size_t>(std::countr_zero(collecting));
            collect(first + j, i, v[j]);
          }
        },
        [&](std::size_t c, double v) MORVA_ALWAYS_INLINE {
          if (v == 0.0) return;
          ++count[c];
          not_finite |= non_finite_bit(v);
          collect(c, i, v);
        });
    if (i % kPrintSpacing != 0) continue;
    factors.for_each_nonzero(i, [&](std::size_t l, double v)
                                    MORVA_ALWAYS_INLINE { print[l].spaced = mix(print[l].spaced ^ i, v); });
  }
  for (std::size_t l = 0; l < k; ++l) {
    profile.nonzeros[l] = static_cast<double>(count[l]);
    print[l].leading = collectors[l].leading();
    profile.fingerprint[l] = print[l].value();
    if (!profile.compressed(l, n)) {
      profile.entries[l] = {};
      continue;
    }
    // Dropped early, yet few after all: read down the column again.
    for (std::size_t i = 0; i < n && !collectors[l].complete(); ++i) {
      const double v = factors.at(i, l);
      if (v == 0.0) continue;
      profile.entries[l].rows.push_back(static_cast<std::uint32_t>(i));
      profile.entries[l].values.push_back(v);
    }
  }
  profile.finite = all_finite(not_finite);
  return profile;
}

ColumnProfile column_profile(std::shared_ptr<const ColumnProfile> factor_part, std::size_t n,
                             std::span<const double* const> rows, KnownSupports known) {
  const std::size_t k = factor_part->nonzeros.size();
  const std::size_t h = k + rows.size();
  ColumnProfile profile{factor_part->nonzeros, factor_part->fingerprint, factor_part->finite,
                        std::vector<ColumnEntries>(rows.size()), factor_part};
  profile.nonzeros.resize(h, 0.0);
  profile.fingerprint.resize(h, 0);
  std::uint64_t not_finite = 0;
  std::vector<std::uint32_t> positions(n / kDenseColumnDivisor + 1);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    profile_row(rows[r], n, known.empty() ? std::span<const std::uint32_t>{} : known[r],
                profile.nonzeros[k + r], not_finite, profile.fingerprint[k + r], positions,
                profile.entries[r]);
  }
  profile.finite = profile.finite && all_finite(not_finite);
  return profile;
}

// share_columns with the sharing confirmed: first taking every fingerprint
// match as a repeat and confirming them all in one sweep, then, if one fails
// (two different columns with one fingerprint), column by column.
Sharing shared_columns(const FactorRows& factors, std::span<const double* const> rows,
                       const ColumnProfile& profile, bool share) {
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  Sharing guess = share_columns(profile, factors.cols(), share, [&](std::size_t j, std::size_t earlier) {
    pairs.emplace_back(j, earlier);
    return 1.0;
  });
  const std::vector<double> signs = signs_against(factors, rows, pairs, profile);
  if (std::ranges::find(signs, 0.0) == signs.end()) {
    for (std::size_t q = 0; q < pairs.size(); ++q) guess.multiplier[pairs[q].first] = signs[q];
    return guess;
  }
  return share_columns(profile, factors.cols(), share, [&](std::size_t j, std::size_t earlier) {
    const std::pair<std::size_t, std::size_t> pair{j, earlier};
    return signs_against(factors, rows, {&pair, 1}, profile).front();
  });
}

std::size_t order_by_reader(Sharing& sharing) {
  std::vector<std::size_t>& primary = sharing.primary;
  std::vector<char>& read = sharing.read;
  std::vector<std::uint32_t>& source = sharing.source;
  std::vector<std::uint32_t> order(read.size());
  std::iota(order.begin(), order.end(), 0u);
  std::ranges::stable_partition(order, [&](std::uint32_t s) { return read[s] == 0; });
  std::vector<std::uint32_t> renumber(read.size());
  std::vector<std::size_t> new_primary(read.size());
  std::vector<char> new_read(read.size());
  for (std::size_t t = 0; t < order.size(); ++t) {
    renumber[order[t]] = static_cast<std::uint32_t>(t);
    new_primary[t] = primary[order[t]];
    new_read[t] = read[order[t]];
  }
  for (auto& s : source) s = renumber[s];
  primary = std::move(new_primary);
  read = std::move(new_read);
  return static_cast<std::size_t>(std::ranges::count(read, char{0}));
}

}  // namespace morva
