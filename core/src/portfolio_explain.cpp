// Certificates read in the portfolio's terms: the constraints that conflict,
// or the assets an unbounded direction loads on.
#include "morva/certificate.hpp"
#include "morva/format.hpp"
#include "morva/portfolio.hpp"
#include "morva/solution.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace morva {

namespace {

// Farkas weights are fractions of the largest one (unit infinity norm): a row
// or bound is cited when its weight reaches this share.
constexpr double kFarkasCitationThreshold = 0.05;
// Components of a unit descent direction at or above this are named.
constexpr double kDirectionCitationThreshold = 0.1;
// enumerate_indices lists this many indices before summarising the rest.
constexpr std::size_t kListedIndices = 5;

// The indices i in [0, count) whose weight weights[offset + i] `cites`.
template <class Cites>
std::vector<std::size_t> cited(const std::vector<double>& weights, std::size_t offset, std::size_t count,
                               Cites cites) {
  std::vector<std::size_t> indices;
  for (std::size_t i = 0; i < count && offset + i < weights.size(); ++i) {
    if (cites(weights[offset + i])) indices.push_back(i);
  }
  return indices;
}

// Farkas weights y (equality rows, budget first when present), z (inequality
// rows) and w (boxes) read as the constraints that jointly admit no portfolio.
std::string explain_primal(const PrimalCertificate& certificate, std::optional<double> budget,
                           std::size_t equality_rows) {
  const std::vector<double>& y = certificate.equality_dual;
  const std::vector<double>& z = certificate.inequality_dual;
  const std::vector<double>& w = certificate.bound_dual;
  const auto either_sign = [](double weight) { return std::abs(weight) >= kFarkasCitationThreshold; };
  const auto positive = [](double weight) { return weight >= kFarkasCitationThreshold; };
  const auto negative = [](double weight) { return weight <= -kFarkasCitationThreshold; };
  std::vector<std::string> phrases;
  const auto cite = [&](const char* what, const std::vector<std::size_t>& indices) {
    if (!indices.empty()) phrases.push_back(what + enumerate_indices(indices));
  };
  if (budget && !y.empty() && either_sign(y[0])) {
    phrases.push_back("the budget (sum of weights = " + format_decimal(*budget) + ")");
  }
  cite("equality row(s) ", cited(y, budget ? 1 : 0, equality_rows, either_sign));
  cite("inequality cap(s) ", cited(z, 0, z.size(), positive));
  cite("upper bounds on asset(s) ", cited(w, 0, w.size(), positive));
  cite("lower bounds on asset(s) ", cited(w, 0, w.size(), negative));
  if (phrases.empty()) return {};
  std::string text = "no portfolio satisfies these constraints simultaneously: ";
  for (std::size_t i = 0; i < phrases.size(); ++i) text += (i > 0 ? ", " : "") + phrases[i];
  return text + "; relax at least one of them (Farkas weights are on Solution::certificate)";
}

// A ray of (near) zero risk along which the return term keeps decreasing the
// objective; the largest components name the assets to look at.
std::string explain_dual(const DualCertificate& certificate) {
  const std::vector<double>& d = certificate.direction;
  std::vector<std::size_t> assets = cited(
      d, 0, d.size(), [](double component) { return std::abs(component) >= kDirectionCitationThreshold; });
  std::stable_sort(assets.begin(), assets.end(),
                   [&d](std::size_t a, std::size_t b) { return std::abs(d[a]) > std::abs(d[b]); });
  return "the objective is unbounded: expected returns reward a direction the risk model prices at (near) "
         "zero "
         "risk and no bound or constraint caps it (largest components at asset(s) " +
         enumerate_indices(assets) +
         "); check factor exposures and specific variance for missing risk, or add bounds (the direction is "
         "on "
         "Solution::certificate)";
}

}  // namespace

void append_certificate_hints(Solution& solution, std::optional<double> budget, std::size_t equality_rows) {
  if (!solution.certificate) return;
  const Certificate& certificate = *solution.certificate;
  std::string hint = certificate.is_primal() ? explain_primal(certificate.primal(), budget, equality_rows)
                                             : explain_dual(certificate.dual());
  if (hint.empty() || !solution.diagnostics) return;
  std::vector<std::string>& hints = solution.diagnostics->hints;
  hints.insert(hints.begin(), std::move(hint));
}

std::string enumerate_indices(const std::vector<std::size_t>& indices) {
  std::string text;
  const std::size_t listed = std::min(indices.size(), kListedIndices);
  for (std::size_t i = 0; i < listed; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(indices[i]);
  }
  if (indices.size() > kListedIndices) text += ", ... (" + std::to_string(indices.size()) + " total)";
  return text;
}

}  // namespace morva
