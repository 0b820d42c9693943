#include "morva/certificate.hpp"

#include <algorithm>
#include <cmath>

#include "detail/vector_ops.hpp"
#include "kkt_internal.hpp"
#include "matrix_products.hpp"

namespace morva {
namespace {

using detail::inf_norm;
using detail::negative_part;
using detail::positive_part;
using detail::raise_to;

// ---- Parts of the primal (Farkas) audit ----

std::optional<LengthMismatch> primal_length_mismatch(const QpProblem& problem, const PrimalCertificate& c) {
  return first_length_mismatch({
      {"certificate.equality_dual", problem.m_eq(), c.equality_dual.size()},
      {"certificate.inequality_dual", problem.m_in(), c.inequality_dual.size()},
      {"certificate.bound_dual", problem.n(), c.bound_dual.size()},
  });
}

// ‖w + A_eqᵀ·y + A_inᵀ·z‖∞ (lengths already checked): the combination must
// read 0·x on the left-hand side. Rows with known supports are added over
// them alone, which changes at most the sign of a zero in the sum.
double primal_stationarity(const QpProblem& problem, const PrimalCertificate& certificate,
                           RowSupports supports = {}) {
  std::vector<double> r = certificate.bound_dual;
  const std::size_t m_eq = problem.equalities.matrix.rows();
  add_transpose_product(problem.equalities.matrix, certificate.equality_dual, r,
                        supports.empty() ? supports : supports.first(m_eq));
  add_transpose_product(problem.inequalities.matrix, certificate.inequality_dual, r,
                        supports.empty() ? supports : supports.subspan(m_eq));
  return inf_norm(r);
}

// The audit's Farkas value (the bound the combination places on 0; < 0 is a
// contradiction) and its violation: weights of the wrong sign, or citing an
// infinite side, count there instead. The residual is left 0.
CertificateAudit farkas_bound(const QpProblem& problem, const PrimalCertificate& certificate) {
  const auto& y = certificate.equality_dual;
  const auto& z = certificate.inequality_dual;
  const auto& w = certificate.bound_dual;
  const auto& l = problem.lower_bounds;
  const auto& u = problem.upper_bounds;
  double value = 0.0;
  double violation = 0.0;
  const std::size_t m_eq = std::min(y.size(), problem.equalities.rhs.size());
  for (std::size_t i = 0; i < m_eq; ++i) value += problem.equalities.rhs[i] * y[i];
  const std::size_t m_in = std::min(z.size(), problem.inequalities.rhs.size());
  for (std::size_t j = 0; j < m_in; ++j) {
    value += problem.inequalities.rhs[j] * positive_part(z[j]);
    raise_to(violation, -z[j]);
  }
  const std::size_t n = std::min({w.size(), l.size(), u.size()});
  for (std::size_t i = 0; i < n; ++i) {
    const double cites_upper = positive_part(w[i]);
    const double cites_lower = negative_part(w[i]);
    if (std::isfinite(u[i])) {
      value += cites_upper * u[i];
    } else {
      raise_to(violation, cites_upper);
    }
    if (std::isfinite(l[i])) {
      value += cites_lower * l[i];
    } else {
      raise_to(violation, -cites_lower);
    }
  }
  return {0.0, value, violation};
}

// ---- Parts of the dual (descent-ray) audit ----

// Slope of the objective along d: qᵀd + Σ cᵢ|dᵢ| (the L1 term grows along any ray).
double slope(const QpProblem& problem, std::span<const double> direction) {
  const std::size_t n = problem.n();
  double l1_slope = 0.0;
  if (problem.l1) {
    const std::size_t n_c = std::min(n, problem.l1->costs.size());
    for (std::size_t i = 0; i < n_c; ++i) l1_slope += problem.l1->costs[i] * std::abs(direction[i]);
  }
  double linear_slope = 0.0;
  const std::size_t n_q = std::min(n, problem.linear.size());
  for (std::size_t i = 0; i < n_q; ++i) linear_slope += problem.linear[i] * direction[i];
  return l1_slope + linear_slope;
}

// Every constraint must stay satisfied along the ray: A_eq·d = 0, A_in·d ≤ 0,
// dᵢ ≤ 0 under a finite upper bound, dᵢ ≥ 0 over a finite lower bound. The
// violation is ‖A_eq·d‖∞ raised to every entry of A_in·d and to the box terms;
// a NaN norm stays NaN, a NaN entry is passed over.
void raise_to_inequality_violation(double& violation, const QpProblem& problem,
                                   std::span<const double> direction) {
  std::vector<double> image(problem.inequalities.matrix.rows());
  row_products(problem.inequalities.matrix, direction, image);
  for (double e : image) raise_to(violation, e);
}

void raise_to_box_violation(double& violation, const QpProblem& problem, std::span<const double> direction) {
  const std::size_t n_box =
      std::min({problem.n(), direction.size(), problem.lower_bounds.size(), problem.upper_bounds.size()});
  for (std::size_t i = 0; i < n_box; ++i) {
    if (std::isfinite(problem.upper_bounds[i])) raise_to(violation, direction[i]);
    if (std::isfinite(problem.lower_bounds[i])) raise_to(violation, -direction[i]);
  }
}

}  // namespace

// ---- Audits ----

std::expected<CertificateAudit, LengthMismatch> check_primal_certificate(
    const QpProblem& problem, const PrimalCertificate& certificate) {
  if (auto mismatch = primal_length_mismatch(problem, certificate)) return std::unexpected(*mismatch);
  CertificateAudit audit = farkas_bound(problem, certificate);
  audit.residual = primal_stationarity(problem, certificate);
  return audit;
}

std::expected<CertificateAudit, LengthMismatch> check_dual_certificate(const QpProblem& problem,
                                                                       std::span<const double> direction) {
  const std::size_t n = problem.n();
  if (direction.size() != n)
    return std::unexpected(LengthMismatch{"certificate.direction", n, direction.size()});

  // A ray of unbounded descent keeps the curvature ‖P·d‖∞ flat.
  CertificateAudit audit;
  audit.residual = inf_norm(problem.quadratic.apply(direction));
  audit.value = slope(problem, direction);
  double violation = image_inf_norm(problem.equalities.matrix, direction);
  raise_to_inequality_violation(violation, problem, direction);
  raise_to_box_violation(violation, problem, direction);
  audit.violation = violation;
  return audit;
}

// ---- Detection from iterate differences ----

std::optional<PrimalCertificate> detect_primal_infeasibility(const QpProblem& problem,
                                                             const PrimalCertificate& candidate,
                                                             double tolerance, RowSupports supports) {
  // A candidate of the wrong shape can never pass the audit; reject it before
  // the projection indexes the box with it.
  if (primal_length_mismatch(problem, candidate)) return std::nullopt;

  // One common scale over the three blocks, so the certificate is invariant
  // under positive scaling of the candidate.
  const double scale =
      inf_norm(candidate.bound_dual, inf_norm(candidate.inequality_dual, inf_norm(candidate.equality_dual)));
  if (!(scale > kMinCertificateNorm) || !std::isfinite(scale)) return std::nullopt;

  PrimalCertificate cert = candidate;
  for (auto& v : cert.equality_dual) v /= scale;
  for (auto& v : cert.inequality_dual) v /= scale;
  for (auto& v : cert.bound_dual) v /= scale;

  // Inequality weights must be non-negative; small negative noise is clamped.
  for (auto& zj : cert.inequality_dual) {
    if (zj < -tolerance) return std::nullopt;
    zj = positive_part(zj);
  }
  // A box weight may cite only a finite side: a positive part needs a finite
  // upper bound, a negative part a finite lower bound.
  for (std::size_t i = 0; i < cert.bound_dual.size(); ++i) {
    double& wi = cert.bound_dual[i];
    if (!std::isfinite(problem.upper_bounds[i])) {
      if (wi > tolerance) return std::nullopt;
      wi = negative_part(wi);
    }
    if (!std::isfinite(problem.lower_bounds[i])) {
      if (wi < -tolerance) return std::nullopt;
      wi = positive_part(wi);
    }
  }

  // The audit of check_primal_certificate, its cheap Farkas value first: the
  // certificate passes when residual ≤ tolerance and value ≤ −tolerance
  // (inclusive; any NaN fails), whichever is tested first. The lengths were
  // checked above and the projection keeps them.
  if (!(farkas_bound(problem, cert).value <= -tolerance)) return std::nullopt;
  if (!(primal_stationarity(problem, cert, supports) <= tolerance)) return std::nullopt;
  return cert;
}

std::optional<std::vector<double>> detect_dual_infeasibility(const QpProblem& problem,
                                                             std::span<const double> candidate,
                                                             double tolerance) {
  const double scale = inf_norm(candidate);
  if (!(scale > kMinCertificateNorm) || !std::isfinite(scale)) return std::nullopt;
  std::vector<double> d(candidate.begin(), candidate.end());
  for (auto& v : d) v /= scale;

  // The audit of check_dual_certificate, cheapest parts first; it passes when
  // residual ≤ tolerance, violation ≤ tolerance and value ≤ −tolerance. The
  // violation is at most the tolerance exactly when the box part, the
  // inequality part (NaN entries passed over in both) and the equality norm
  // (NaN failing) each are, so any part above it rejects on its own.
  if (d.size() != problem.n()) return std::nullopt;
  double box = 0.0;
  raise_to_box_violation(box, problem, d);
  if (!(box <= tolerance)) return std::nullopt;
  if (!(slope(problem, d) <= -tolerance)) return std::nullopt;
  double inequality = 0.0;
  raise_to_inequality_violation(inequality, problem, d);
  if (!(inequality <= tolerance)) return std::nullopt;
  if (!(image_inf_norm(problem.equalities.matrix, d) <= tolerance)) return std::nullopt;
  if (!(inf_norm(problem.quadratic.apply(d)) <= tolerance)) return std::nullopt;
  return d;
}

}  // namespace morva
