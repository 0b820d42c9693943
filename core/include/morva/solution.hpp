// What a solve hands back: its status, the solution with its duals,
// residuals and counts, the diagnosis of a solve that did not end Solved, and
// the warm start that the solution gives a later solve.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morva/certificate.hpp"
#include "morva/kkt.hpp"

namespace morva {

enum class SolveStatus { Solved, MaxIterations, NumericalFailure, PrimalInfeasible, DualInfeasible };

// Display string ("solved", "maximum iterations reached", ...).
constexpr std::string_view to_string(SolveStatus status) {
  switch (status) {
    case SolveStatus::Solved: return "solved";
    case SolveStatus::MaxIterations: return "maximum iterations reached";
    case SolveStatus::NumericalFailure: return "numerical failure";
    case SolveStatus::PrimalInfeasible: return "primal infeasible";
    case SolveStatus::DualInfeasible: return "dual infeasible";
  }
  return "unknown";
}

// Enumerator name, as the result JSON writes it ("Solved", "MaxIterations", ...).
constexpr std::string_view status_name(SolveStatus status) {
  switch (status) {
    case SolveStatus::Solved: return "Solved";
    case SolveStatus::MaxIterations: return "MaxIterations";
    case SolveStatus::NumericalFailure: return "NumericalFailure";
    case SolveStatus::PrimalInfeasible: return "PrimalInfeasible";
    case SolveStatus::DualInfeasible: return "DualInfeasible";
  }
  return "Unknown";
}

struct WarmStart {
  std::vector<double> x;  // n, required
  std::optional<std::vector<double>> equality_dual;
  std::optional<std::vector<double>> inequality_dual;
  std::optional<std::vector<double>> bound_dual;
  std::optional<std::vector<double>> l1_dual;

  bool operator==(const WarmStart&) const = default;
};

struct ConvergenceDiagnostics {
  double primal_tolerance = 0.0;
  double dual_tolerance = 0.0;
  double coefficient_spread_decades = 0.0;
  bool rho_at_limit = false;
  std::vector<std::string> hints;

  bool operator==(const ConvergenceDiagnostics&) const = default;
};

struct SolveTime {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // 0 … 999 999 999

  double seconds() const { return static_cast<double>(secs) + static_cast<double>(nanos) / 1e9; }
  bool operator==(const SolveTime&) const = default;
};

struct Solution {
  SolveStatus status = SolveStatus::Solved;
  std::vector<double> x;
  DualVariables dual;
  double objective = 0.0;
  KktResiduals residuals;
  std::uint64_t iterations = 0;
  SolveTime solve_time;
  double final_rho = 0.0;
  std::uint64_t rho_updates = 0;
  bool polished = false;
  std::optional<ConvergenceDiagnostics> diagnostics;  // exactly when status ≠ Solved
  std::optional<Certificate> certificate;             // only when infeasible

  // x and all four dual blocks, every block present (possibly empty).
  WarmStart warm_start() const;

  bool operator==(const Solution&) const = default;
};

}  // namespace morva
