// Equilibration as a solve keeps it (internal to the core).
//
// The iteration reads F and the equality rows only through the stored
// columns, which carry their scaling (r = D, κ = √c or E), and the
// inequality rows also densely (the penalty rule's dual residual and the
// starting point). So the workspace's scaled problem keeps F and A_eq as the
// unscaled problem's own (shared values) and A_in scaled; what completes it
// to the ScaledProblem is kept compact beside it and written out on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/matrix.hpp"
#include "morva/problem.hpp"
#include "stored_columns.hpp"

namespace morva {

struct ScaledProblem;

// The rows of a constraint block as the equilibration passes visit them: a
// sparse row (at most n/4 nonzeros, at least one) through its nonzero
// entries alone, any other row densely, and a repeated row not at all. A zero
// entry leaves every maximum the passes take where it is (a running maximum
// that is not NaN is non-negative) and stays zero when rescaled, so skipping
// it changes no bit of the result. A row s·a of an earlier row a has a's
// magnitudes, so takes a's factor ε at every pass and stays s times a's
// scaled entries (c·(s·a) = s·(c·a) exactly): the passes scale a alone.
//
// The dense rows' entries lie in one block, row after row, so that a block
// of dense rows alone becomes its scaled matrix without a copy.
struct CompactRows {
  std::vector<std::vector<std::uint32_t>> support;  // a sparse row's nonzero columns; empty: dense
  std::vector<std::vector<double>> values;          // a sparse row's entries there
  std::vector<double> dense;                        // the dense rows' n entries each, in row order
  std::vector<std::size_t> dense_offset;            // per row: where its entries start in `dense`
  std::vector<std::optional<RowRepeat>> repeats;    // per row: the row it repeats (nothing kept for it)
  std::size_t width = 0;                            // n

  // `repeats` empty: no row is taken for a repeat. `supports` (empty, or
  // one per row) gives the nonzero positions of rows that have at most n/4
  // nonzeros, when known (empty: the row is read for them).
  explicit CompactRows(const Matrix& a, std::span<const std::optional<RowRepeat>> repeats = {},
                       std::span<const std::vector<std::uint32_t>> supports = {});

  std::size_t rows() const { return support.size(); }
  bool sparse(std::size_t i) const { return !support[i].empty(); }
  // Row i's kept entries: a sparse row's at its support, a dense row's n
  // (empty for a repeated row).
  std::span<double> entries(std::size_t i) {
    if (sparse(i)) return values[i];
    if (repeats[i]) return {};
    return {dense.data() + dense_offset[i], width};
  }
  std::span<const double> entries(std::size_t i) const { return const_cast<CompactRows&>(*this).entries(i); }
  // `unscaled` with every kept entry written over it: a sparse row keeps
  // unscaled's zeros (and their signs) elsewhere. The consuming form hands
  // over the dense block when every row is dense.
  Matrix written_over(const Matrix& unscaled) const&;
  Matrix written_over(const Matrix& unscaled) &&;
};

// What completes the workspace's scaled problem: F_s = √c·D·F and A_eq_s.
struct ScaledCompletion {
  double root_cost = 1.0;  // √c
  CompactRows equalities;
};

// The ScaledProblem of `problem` (ScaledProblem::equilibrate's), except that
// its F and A_eq are problem's own, and what completes it. Fails, like the
// covariance columns, on a dense Ω that is not positive semidefinite.
// `lower`, when given, is the caller's L of a dense Ω.
// `repeats` (of the equality rows, then the inequality rows; empty: none)
// names rows that repeat earlier rows of their block, and `supports` (in
// the same order; empty: none) the nonzero positions of sparse rows
// (ReducedColumns::compressed_rows).
std::expected<std::pair<ScaledProblem, ScaledCompletion>, SolverError> equilibrate_for_iteration(
    const QpProblem& problem, std::uint64_t iterations, const Matrix* lower = nullptr,
    std::span<const std::optional<RowRepeat>> repeats = {},
    std::span<const std::vector<std::uint32_t>> supports = {});

// The ScaledProblem that `partial` (F and A_eq unscaled) stands for.
ScaledProblem completed(const ScaledProblem& partial, const ScaledCompletion& completion);

}  // namespace morva
