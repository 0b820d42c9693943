// The nonzero positions of constraint rows where the builder that wrote them
// knew them (an industry's membership row: its members), so that a pass over
// the rows reads those alone. LinearConstraints holds the record opaquely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "morva/matrix.hpp"
#include "morva/problem.hpp"

namespace morva {

// Every entry of a described row outside its positions is +0.
struct RowSupportRecord {
  // The rows themselves, their values shared: while the record holds them, a
  // write through any copy copies them first, so the record describes the
  // values at this address for as long as it lives.
  Matrix matrix;
  // Per row of `matrix`: its nonzero positions in increasing order, or none
  // (not known: the row is read whole).
  std::vector<std::vector<std::uint32_t>> rows;
};

// Row i of `block` as its record knows it: none without a record, or with
// one of other values (written since it was made).
inline std::span<const std::uint32_t> known_support(const LinearConstraints& block, std::size_t i) {
  const RowSupportRecord* record = block.known_supports.get();
  if (record == nullptr || !record->matrix.shares_values_with(block.matrix)) return {};
  return record->rows[i];
}

// The record of `matrix`: its first `lead` rows unknown, then `block`'s rows
// with what is known of them, then `added` (one per remaining row; a missing
// one unknown).
inline std::shared_ptr<const RowSupportRecord> record_supports(
    const Matrix& matrix, std::size_t lead, const LinearConstraints& block,
    std::vector<std::vector<std::uint32_t>> added) {
  auto record = std::make_shared<RowSupportRecord>();
  record->matrix = matrix;
  record->rows.resize(lead);
  for (std::size_t i = 0; i < block.rows(); ++i) {
    const std::span<const std::uint32_t> known = known_support(block, i);
    record->rows.emplace_back(known.begin(), known.end());
  }
  for (auto& row : added) record->rows.push_back(std::move(row));
  record->rows.resize(matrix.rows());
  return record;
}

// Per row of the problem's equality rows, then its inequality rows: what the
// block's record knows of it (known_support).
inline std::vector<std::span<const std::uint32_t>> known_supports(const QpProblem& problem) {
  std::vector<std::span<const std::uint32_t>> known;
  known.reserve(problem.m_eq() + problem.m_in());
  for (std::size_t r = 0; r < problem.m_eq(); ++r) known.push_back(known_support(problem.equalities, r));
  for (std::size_t r = 0; r < problem.m_in(); ++r) known.push_back(known_support(problem.inequalities, r));
  return known;
}

}  // namespace morva
