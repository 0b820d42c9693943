#include "column_sharing.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "detail/simd.hpp"

namespace morva {
namespace {

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
// kPrintSpacing-th row, each taken in row order. Equal columns and negated
// columns share it. Different columns rarely do (the leading entries part
// sparse columns, the spaced ones dense columns that part further down), and
// when they do the sharing's entry-by-entry confirmation parts them: a
// fingerprint only has to be cheap, so most of a dense column's entries are
// counted without being hashed, and no hash chain runs the column's length.
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
// the sign bit when one unit of exponent is added. Exact where Σ (v − v),
// which is 0 over finite entries and NaN from the first that is not, would
// be compared with zero.
inline std::uint64_t non_finite_bit(double v) {
  constexpr std::uint64_t kExponent = 0x7FF0000000000000ull;
  constexpr std::uint64_t kExponentUnit = 0x0010000000000000ull;
  return (std::bit_cast<std::uint64_t>(v) & kExponent) + kExponentUnit;
}
inline bool all_finite(std::uint64_t non_finite_mask) {
  return (non_finite_mask >> 63) == 0;
}

// Rows of F a sweep compares pair by pair before moving on: 32 rows of 100
// factors stay in the first-level cache.
constexpr std::size_t kSweptRows = 32;
// A constraint row with more than n / kSweptRowDivisor nonzeros that may
// repeat a column of F is compared in the sweep over F's rows: read down
// the column, each of its entries would cost a cache line of F.
constexpr std::size_t kSweptRowDivisor = 8;
// Nonzeros a column of F may hold past its share of n / kDenseColumnDivisor
// among the rows read so far before its entries stop being collected.
constexpr std::size_t kCollectSlack = 64;
// Rows of F are far apart in memory, and a comparison reads a few lines of
// each: the lines of the row this many reads ahead are asked for first.
constexpr std::size_t kPrefetchDistance = 8;

// Whether column j of [F, rows ᵀ] is ±1 times column `earlier`, for pairs
// with the same number of nonzeros: each pair's sign comes from its first
// entry, in row order, where the earlier column is nonzero, and the pair
// holds while every entry compared keeps it (entries compared as doubles,
// so ±0 match). When column j is a constraint row, matching its nonzero
// entries is enough (the earlier column has no nonzeros left over).
class PairComparison {
 public:
  PairComparison(const FactorRows& factors, std::span<const double* const> rows, std::size_t pairs)
      : factors_(factors), rows_(rows), sign_(pairs, 0.0), same_(pairs, 1) {}

  void compare(std::size_t q, double a, double b) {
    if (sign_[q] == 0.0 && b != 0.0) sign_[q] = a == b ? 1.0 : (a == -b ? -1.0 : 0.0);
    same_[q] = same_[q] && (sign_[q] != 0.0 || b == 0.0) && a == (sign_[q] < 0.0 ? -b : b);
  }

  // A constraint row against column `earlier`, through the row's nonzeros
  // (`entries`, or found in one contiguous read of the row when they were
  // not kept), F's entries asked for ahead of their use, or, where the
  // earlier column is one of F's with its nonzeros kept (`earlier_entries`),
  // taken from those in step with the row's: an entry of F not among them
  // is a zero of either sign, which compare() treats alike.
  void sparse_row(std::size_t q, const double* row, const ColumnEntries& entries, bool kept,
                  std::size_t earlier, const ColumnEntries* earlier_entries) {
    const std::size_t n = factors_.rows();
    const std::size_t k = factors_.cols();
    std::span<const std::uint32_t> support = entries.rows;
    if (!kept) {
      support_.clear();
      for (std::size_t i = 0; i < n; ++i) {
        if (row[i] != 0.0) support_.push_back(static_cast<std::uint32_t>(i));
      }
      support = support_;
    }
    if (earlier < k && earlier_entries != nullptr) {
      const std::span<const std::uint32_t> at = earlier_entries->rows;
      std::size_t t = 0;
      for (std::size_t e = 0; e < support.size() && same_[q]; ++e) {
        const std::size_t i = support[e];
        while (t < at.size() && at[t] < i) ++t;
        const double b = t < at.size() && at[t] == i ? earlier_entries->values[t] : 0.0;
        compare(q, kept ? entries.values[e] : row[i], b);
      }
      return;
    }
    const double* f = factors_.factors().data().data() + earlier;
    for (std::size_t e = 0; e < support.size() && same_[q]; ++e) {
      const std::size_t i = support[e];
      const double a = kept ? entries.values[e] : row[i];
      if (earlier >= k) {
        compare(q, a, rows_[earlier - k][i]);
        continue;
      }
      if (e + kPrefetchDistance < support.size()) __builtin_prefetch(f + support[e + kPrefetchDistance] * k);
      compare(q, a, f[i * k]);
    }
  }

  // Pairs of F's columns (`factor_pairs`) and constraint rows against F's
  // columns (`row_pairs`), over blocks of F's rows that stay in the
  // first-level cache, each pair down its two columns there.
  //
  // compare() taken over a pair's entries in row order yields +1 exactly
  // when every compared a equals b, else −1 exactly when every compared a
  // equals −b, else 0: the first nonzero b fixes the sign that every later
  // entry must keep, and a zero b only admits a zero a. Both conditions are
  // conjunctions over the entries, so they are taken without branches and in
  // any order. A constraint row compares its nonzero entries alone.
  //
  // The columns of F the pairs read are read through
  // FactorRows::DownColumns.
  void sweep(std::span<const std::pair<std::size_t, std::size_t>> pairs,
             std::span<const std::size_t> factor_pairs, std::span<const std::size_t> row_pairs) {
    const std::size_t n = factors_.rows();
    const std::size_t k = factors_.cols();
    if (factor_pairs.empty() && row_pairs.empty()) return;
    std::vector<char> needed(k, 0);
    for (std::size_t q : factor_pairs) needed[pairs[q].first] = 1;
    for (const auto list : {factor_pairs, row_pairs}) {
      for (std::size_t q : list) needed[pairs[q].second] = 1;
    }
    std::vector<std::size_t> read;
    for (std::size_t c = 0; c < k; ++c) {
      if (needed[c] != 0) read.push_back(c);
    }
    const FactorRows::DownColumns columns(factors_, read);
    const std::size_t stride = columns.stride();
    std::vector<char> plus(sign_.size(), 1), minus(sign_.size(), 1);
    const auto compare_block = [&](std::size_t q, const double* a, std::size_t a_stride, bool row,
                                   std::size_t i0, std::size_t i1) {
      if (!plus[q] && !minus[q]) return;
      const double* b = columns.column(pairs[q].second);
      bool same = true, opposite = true;
      std::size_t i = i0;
#if defined(__GNUC__)
      // Two rows at a time: the same conjunctions, lane by lane.
      using Bits2 = long long __attribute__((vector_size(16)));
      Bits2 same2 = ~Bits2{}, opposite2 = ~Bits2{};
      const Bits2 skip_zeros = row ? ~Bits2{} : Bits2{};
      for (; i + 2 <= i1; i += 2) {
        const detail::Lanes2 ai = {a[i * a_stride], a[(i + 1) * a_stride]};
        const detail::Lanes2 bi = {b[i * stride], b[(i + 1) * stride]};
        const Bits2 skipped = skip_zeros & (ai == 0.0);
        same2 &= skipped | (ai == bi);
        opposite2 &= skipped | (ai == -bi);
      }
      same = (same2[0] & same2[1]) != 0;
      opposite = (opposite2[0] & opposite2[1]) != 0;
#endif
      for (; i < i1; ++i) {
        const double ai = a[i * a_stride];
        const double bi = b[i * stride];
        const bool skipped = row && ai == 0.0;
        same &= skipped | (ai == bi);
        opposite &= skipped | (ai == -bi);
      }
      plus[q] &= same;
      minus[q] &= opposite;
    };
    for (std::size_t i0 = 0; i0 < n; i0 += kSweptRows) {
      const std::size_t i1 = std::min(n, i0 + kSweptRows);
      for (std::size_t q : factor_pairs)
        compare_block(q, columns.column(pairs[q].first), stride, false, i0, i1);
      for (std::size_t q : row_pairs) compare_block(q, rows_[pairs[q].first - k], 1, true, i0, i1);
    }
    for (const auto list : {factor_pairs, row_pairs}) {
      for (std::size_t q : list) {
        same_[q] = plus[q] || minus[q];
        sign_[q] = plus[q] ? 1.0 : -1.0;
      }
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
  std::vector<std::uint32_t> support_;  // scratch: a row's nonzero positions
};

// For each pair (j, earlier) of columns of [F, rows ᵀ] with the same number
// of nonzeros (`nonzeros`, per column): +1 or −1 when column j is that times
// column `earlier`, else 0. A constraint row is read contiguously; pairs of
// F's columns, and dense rows against F's columns, go in the sweep over F.
// Every pair meets the same entries in row order wherever it is compared.
std::vector<double> signs_against(const FactorRows& factors, std::span<const double* const> rows,
                                  std::span<const std::pair<std::size_t, std::size_t>> pairs,
                                  const ColumnProfile& profile) {
  const std::span<const double> nonzeros = profile.nonzeros;
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  PairComparison comparison(factors, rows, pairs.size());
  std::vector<std::size_t> factor_pairs, swept_rows;
  for (std::size_t q = 0; q < pairs.size(); ++q) {
    const auto [j, earlier] = pairs[q];
    if (j < k) {
      factor_pairs.push_back(q);
    } else if (earlier < k && nonzeros[j] * static_cast<double>(kSweptRowDivisor) > static_cast<double>(n)) {
      swept_rows.push_back(q);
    } else {
      const ColumnEntries* earlier_entries =
          earlier < k && profile.compressed(earlier, n) ? &profile.column_entries(earlier) : nullptr;
      comparison.sparse_row(q, rows[j - k], profile.column_entries(j), profile.compressed(j, n), earlier,
                            earlier_entries);
    }
  }
  comparison.sweep(pairs, factor_pairs, swept_rows);
  return std::move(comparison).signs();
}

// The bits of *p, and whether *p is nonzero (a NaN is): zeros of either sign
// differ from +0 in the sign bit alone, which the shift drops. Tested as
// integers, a NaN needs no branch of its own.
inline std::uint64_t bits_of(const double* p) {
  std::uint64_t bits;
  std::memcpy(&bits, p, sizeof bits);
  return bits;
}
using detail::for_each_nonzero;
using detail::nonzero_at;

// Collects a column's nonzero entries while there are at most `limit`
// (n / kDenseColumnDivisor) of them, and drops them once there are more, or
// once the rows read so far hold more than their share of the limit by
// kCollectSlack: a dense column then costs no more than that. A column
// dropped early that ends with few nonzeros after all is read again
// (complete() false). It holds at least min(limit, kCollectSlack + 1)
// entries when it drops them, and first hashes its leading ones as a
// Fingerprint would.
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

// F's counts, finiteness, fingerprints and collected entries read group by
// group (the recorded groups alone, where F's structure is recorded): each
// group's four entries counted and tested without a branch, the nonzeros visited only where their column
// still collects entries or the row is one the fingerprints sample, and each fingerprint's leading part taken
// from its collector (limit ≥ kLeadingPrinted). The same profile as visiting every nonzero.
void grouped_factor_profile(const FactorRows& factors, std::span<std::size_t> count,
                            std::uint64_t& not_finite, std::span<EntryCollector> collectors,
                            std::span<Fingerprint> print) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
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
  for (std::size_t l = 0; l < k; ++l) print[l].leading = collectors[l].leading();
}

// The nonzero entries among v[0, len) (NaN included), added to `found`, and
// their non_finite_bit mask, ORed into `not_finite`, from every entry's bits
// (a zero is finite), without a branch: the compiler widens the loop.
void count_nonzeros(const double* v, std::size_t len, std::size_t& found, std::uint64_t& not_finite) {
  std::uint64_t count = 0;
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const std::uint64_t magnitude = bits_of(v + i) << 1;  // nonzero exactly when the entry is
    count += (magnitude | (0 - magnitude)) >> 63;
    mask |= non_finite_bit(v[i]);
  }
  found += static_cast<std::size_t>(count);
  not_finite |= mask;
}

// One constraint row's nonzero count, finiteness (non_finite_bit's mask,
// ORed into `not_finite`), fingerprint and, when they are few, entries.
// Zero entries are finite and add nothing to the count, so the nonzeros
// alone decide both (the count is a whole number, exact in doubles).
//
// A row with a known support (every other entry +0) is read at those
// positions alone: the same nonzeros, met in the same order. Any other row
// is first counted in bulk. One with at most `limit` nonzeros is then read
// nonzero by nonzero, their positions kept as its entries (`positions`
// has limit + 1 slots); of a denser one only the head, up to its leading
// printed entries, and its spaced rows are read again, for the fingerprint.
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
  } else {
    count_nonzeros(row, n, found, row_not_finite);
    if (found <= limit) {
      found = 0;
      for_each_nonzero(row, n, visit);
    } else {
      std::size_t j = 0;
      for (std::size_t taken = 0; j < n && taken < kLeadingPrinted; ++j) {
        if (nonzero_at(row + j)) print.take(taken++, j, row[j]);
      }
      for (j = (j + kPrintSpacing - 1) / kPrintSpacing * kPrintSpacing; j < n; j += kPrintSpacing) {
        if (nonzero_at(row + j)) print.spaced = mix(print.spaced ^ j, row[j]);
      }
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
// every other column is stored, in order of first appearance (`primary`,
// with `read` marking those a constraint column reads).
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

// F's counts, finiteness, fingerprints and collected entries in one read
// of F, row by row, visiting the nonzero entries alone.
void visit_factor_nonzeros(const FactorRows& factors, std::span<std::size_t> count, std::uint64_t& not_finite,
                           std::span<EntryCollector> collectors, std::span<Fingerprint> print) {
  for (std::size_t i = 0; i < factors.rows(); ++i) {
    // Inlined: a call per nonzero would cost more than its work.
    factors.for_each_nonzero(i, [&](std::size_t l, double v) MORVA_ALWAYS_INLINE {
      print[l].take(count[l]++, i, v);
      not_finite |= non_finite_bit(v);
      collectors[l].take(i, v);
    });
  }
}

}  // namespace

// Zero entries are finite, add nothing to a count and are not mixed into a
// fingerprint, so each column's count (a whole number, exact in doubles),
// fingerprint and entries, and F's finiteness, are those of every entry.
ColumnProfile factor_profile(const FactorRows& rows) {
  const Matrix& factors = rows.factors();
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  ColumnProfile profile{std::vector<double>(k, 0.0), std::vector<std::uint64_t>(k, 0), true,
                        std::vector<ColumnEntries>(k), nullptr};
  std::vector<std::size_t> count(k, 0);
  std::uint64_t not_finite = 0;
  std::vector<EntryCollector> collectors;
  collectors.reserve(k);
  for (std::size_t l = 0; l < k; ++l) collectors.emplace_back(profile.entries[l], n / kDenseColumnDivisor);
  std::vector<Fingerprint> print(k);
  if (n / kDenseColumnDivisor >= kLeadingPrinted) {
    grouped_factor_profile(rows, count, not_finite, collectors, print);
  } else {
    visit_factor_nonzeros(rows, count, not_finite, collectors, print);
  }
  for (std::size_t l = 0; l < k; ++l) {
    profile.nonzeros[l] = static_cast<double>(count[l]);
    profile.fingerprint[l] = print[l].value();
    if (collectors[l].complete() || !profile.compressed(l, n)) continue;
    for (std::size_t i = 0; i < n; ++i) {
      if (factors(i, l) == 0.0) continue;
      profile.entries[l].rows.push_back(static_cast<std::uint32_t>(i));
      profile.entries[l].values.push_back(factors(i, l));
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

ColumnProfile column_profile(const Matrix& factors, std::span<const double* const> rows) {
  return column_profile(std::make_shared<const ColumnProfile>(factor_profile(factors)), factors.rows(), rows);
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
  std::vector<std::uint32_t> order;
  for (const char reader : {char{0}, char{1}}) {
    for (std::size_t s = 0; s < read.size(); ++s) {
      if (read[s] == reader) order.push_back(static_cast<std::uint32_t>(s));
    }
  }
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
