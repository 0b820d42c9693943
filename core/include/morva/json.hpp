// JSON texts: the problem dump (both directions) and the solution dump.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "morva/portfolio.hpp"
#include "morva/solution.hpp"

namespace morva {

// Compact, fixed key order, shortest round-trip numbers, null for non-finite
// box sides. Byte-identical after a from_json round trip.
std::string problem_to_json(const PortfolioProblem& problem);

// Parse errors carry " at line {} column {}"; validation errors (the builder
// chain of construction) are the PortfolioError text without a position.
std::expected<PortfolioProblem, std::string> problem_from_json(std::string_view text);

// Compact, fixed key order; non-finite numbers as null.
std::string solution_to_json(const Solution& solution);

}  // namespace morva
