// Infeasibility certificates: detection from iterate differences and the
// independent audits a caller can re-run against the problem data.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "morva/error_types.hpp"
#include "morva/problem.hpp"

namespace morva {

// A candidate whose infinity norm is not above this is numerically zero.
inline constexpr double kMinCertificateNorm = 1e-12;

// Farkas weights: for every feasible x, 0 = (yᵀA_eq + zᵀA_in + wᵀ)·x ≤ value < 0.
struct PrimalCertificate {
  std::vector<double> equality_dual;    // m_eq, free sign (budget row first)
  std::vector<double> inequality_dual;  // m_in, ≥ 0
  std::vector<double> bound_dual;       // n; > 0 cites uᵢ, < 0 cites lᵢ

  bool operator==(const PrimalCertificate&) const = default;
};

// A ray d with P·d ≈ 0, every constraint kept, and qᵀd + Σ cᵢ|dᵢ| < 0.
struct DualCertificate {
  std::vector<double> direction;  // n

  bool operator==(const DualCertificate&) const = default;
};

struct Certificate {
  std::variant<PrimalCertificate, DualCertificate> value;

  bool is_primal() const { return value.index() == 0; }
  const PrimalCertificate& primal() const { return std::get<0>(value); }
  const DualCertificate& dual() const { return std::get<1>(value); }

  bool operator==(const Certificate&) const = default;
};

struct CertificateAudit {
  double residual = 0.0;   // primal: ‖A_eqᵀy + A_inᵀz + w‖∞;  dual: ‖P·d‖∞
  double value = 0.0;      // primal: Farkas value;            dual: slope qᵀd + Σ cᵢ|dᵢ|
  double violation = 0.0;  // primal: sign violation;          dual: constraint violation

  bool operator==(const CertificateAudit&) const = default;
};

// The candidate is the change of the unscaled dual iterate since the previous
// termination check. Normalised jointly to unit infinity norm, projected onto
// the admissible signs, audited; returned only when the audit passes.
// `supports` (none, or the nonzero positions of every constraint row, an
// empty one for a row read whole) lets the audit's Aᵀ·y skip the rows'
// zeros: the same residual.
std::optional<PrimalCertificate> detect_primal_infeasibility(
    const QpProblem& problem, const PrimalCertificate& candidate, double tolerance,
    std::span<const std::vector<std::uint32_t>> supports = {});

// The candidate is the change of the unscaled x over the same interval.
std::optional<std::vector<double>> detect_dual_infeasibility(const QpProblem& problem,
                                                             std::span<const double> candidate,
                                                             double tolerance);

// Lengths checked in the order certificate.equality_dual, .inequality_dual, .bound_dual.
std::expected<CertificateAudit, LengthMismatch> check_primal_certificate(
    const QpProblem& problem, const PrimalCertificate& certificate);

// Length checked against n, named "certificate.direction".
std::expected<CertificateAudit, LengthMismatch> check_dual_certificate(const QpProblem& problem,
                                                                       std::span<const double> direction);

}  // namespace morva
