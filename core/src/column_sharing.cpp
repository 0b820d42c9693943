#include "column_sharing.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <unordered_map>
#include <utility>

namespace morva {
namespace {

// The fingerprint of one more nonzero entry: its magnitude's bits, mixed in.
inline std::uint64_t mix(std::uint64_t h, double v) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  constexpr std::uint64_t kMagnitude = ~(std::uint64_t{1} << 63);
  return (h ^ (std::bit_cast<std::uint64_t>(v) & kMagnitude)) * kMultiplier;
}

// For each pair (j, earlier) of columns of [F, rows ᵀ] with the same number
// of nonzeros: +1 or −1 when column j is that times column `earlier`, else 0
// (entries compared as doubles, so ±0 match). When column j is a constraint
// row, matching its nonzero entries is enough (the earlier column has no
// nonzeros left over), and its row is read contiguously; pairs of F's
// columns go in one sweep over the rows of F, not down its columns, one
// stride per entry.
std::vector<double> signs_against(const Matrix& factors, std::span<const double* const> rows,
                                  std::span<const std::pair<std::size_t, std::size_t>> pairs) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  const auto value = [&](std::size_t column, std::size_t i) {
    return column < k ? factors(i, column) : rows[column - k][i];
  };
  std::vector<double> sign(pairs.size(), 0.0);
  std::vector<char> same(pairs.size(), 1);
  // The sign a pair takes from its first nonzero, and whether entry (a, b) keeps it.
  const auto compare = [&](std::size_t q, double a, double b) {
    if (sign[q] == 0.0 && b != 0.0) sign[q] = a == b ? 1.0 : (a == -b ? -1.0 : 0.0);
    same[q] = same[q] && (sign[q] != 0.0 || b == 0.0) && a == (sign[q] < 0.0 ? -b : b);
  };
  std::vector<std::size_t> factor_pairs;
  for (std::size_t q = 0; q < pairs.size(); ++q) {
    const auto [j, earlier] = pairs[q];
    if (j < k) {
      factor_pairs.push_back(q);
      continue;
    }
    const double* row = rows[j - k];
    for (std::size_t i = 0; i < n && same[q]; ++i) {
      if (row[i] != 0.0) compare(q, row[i], value(earlier, i));
    }
  }
  for (std::size_t i = 0; i < n && !factor_pairs.empty(); ++i) {
    const double* f = factors.row(i).data();
    for (std::size_t q : factor_pairs) compare(q, f[pairs[q].first], f[pairs[q].second]);
  }
  for (std::size_t q = 0; q < pairs.size(); ++q) sign[q] = !same[q] ? 0.0 : (sign[q] == 0.0 ? 1.0 : sign[q]);
  return sign;
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

}  // namespace

// Finiteness goes through Σ (v − v), 0 for finite entries and NaN once an
// infinity or NaN occurs.
ColumnProfile column_profile(const Matrix& factors, std::span<const double* const> rows) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  const std::size_t h = k + rows.size();
  ColumnProfile profile{std::vector<double>(h, 0.0), std::vector<std::uint64_t>(h, 0), true};
  std::vector<double> not_finite(h, 0.0);
  // The fingerprint mixes each nonzero entry with its row: zero entries need
  // no work, and columns with the same magnitudes in the same places match.
  for (std::size_t i = 0; i < n; ++i) {
    const double* f = factors.row(i).data();
    for (std::size_t l = 0; l < k; ++l) {
      profile.nonzeros[l] += f[l] != 0.0 ? 1.0 : 0.0;
      not_finite[l] += f[l] - f[l];
      if (f[l] != 0.0) profile.fingerprint[l] = mix(profile.fingerprint[l] ^ i, f[l]);
    }
  }
  // Along a constraint row the count and Σ (v − v) are exact in any order (a
  // count of whole numbers; zeros, or NaN once an entry is not finite), so
  // four of each run side by side rather than as one chain of additions; the
  // fingerprint takes the entries in order.
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double* row = rows[r];
    double count[4] = {0.0, 0.0, 0.0, 0.0};
    double residue[4] = {0.0, 0.0, 0.0, 0.0};
    std::uint64_t print = 0;
    const auto take = [&](std::size_t lane, std::size_t i) {
      const double v = row[i];
      count[lane] += v != 0.0 ? 1.0 : 0.0;
      residue[lane] += v - v;
      if (v != 0.0) print = mix(print ^ i, v);
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      for (std::size_t lane = 0; lane < 4; ++lane) take(lane, i + lane);
    }
    for (; i < n; ++i) take(0, i);
    profile.nonzeros[k + r] = (count[0] + count[1]) + (count[2] + count[3]);
    not_finite[k + r] = (residue[0] + residue[1]) + (residue[2] + residue[3]);
    profile.fingerprint[k + r] = print;
  }
  profile.finite = std::all_of(not_finite.begin(), not_finite.end(), [](double e) { return e == 0.0; });
  return profile;
}

// share_columns with the sharing confirmed: first taking every fingerprint
// match as a repeat and confirming them all in one sweep, then, if one fails
// (two different columns with one fingerprint), column by column.
Sharing shared_columns(const Matrix& factors, std::span<const double* const> rows,
                       const ColumnProfile& profile, bool share) {
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  Sharing guess = share_columns(profile, factors.cols(), share, [&](std::size_t j, std::size_t earlier) {
    pairs.emplace_back(j, earlier);
    return 1.0;
  });
  const std::vector<double> signs = signs_against(factors, rows, pairs);
  if (std::ranges::find(signs, 0.0) == signs.end()) {
    for (std::size_t q = 0; q < pairs.size(); ++q) guess.multiplier[pairs[q].first] = signs[q];
    return guess;
  }
  return share_columns(profile, factors.cols(), share, [&](std::size_t j, std::size_t earlier) {
    const std::pair<std::size_t, std::size_t> pair{j, earlier};
    return signs_against(factors, rows, {&pair, 1}).front();
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
