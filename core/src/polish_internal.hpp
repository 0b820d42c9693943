// The polish module's entry for a caller that has formed the products of the
// iterate already (internal to the core): the workspace, whose termination
// check formed them through its stored columns.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kkt_internal.hpp"
#include "morva/kkt.hpp"
#include "morva/problem.hpp"
#include "morva/settings.hpp"

namespace morva {

class ReducedColumns;
struct Polished;

// polish (the problem's V at hand) with the products of the iterate x
// (iterate_products of x): the adaptive profile's guard reads its stopping
// tolerances and its objective from them instead of forming them again.
// `supports` is data.compressed_rows().
std::optional<Polished> polish_with_products(const QpProblem& problem, const ReducedColumns& data,
                                             std::span<const double> x, const DualVariables& duals,
                                             const KktResiduals& residuals, const SolverSettings& settings,
                                             const IterateProducts& products,
                                             std::span<const std::vector<std::uint32_t>> supports);

}  // namespace morva
