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

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += separator;
    text += parts[i];
  }
  return text;
}

// Farkas weights y (equality rows, budget first when present), z (inequality
// rows) and w (boxes) read as the constraints that jointly admit no portfolio.
std::string explain_primal(const PrimalCertificate& certificate, std::optional<double> budget,
                           std::size_t equality_rows) {
  const std::vector<double>& y = certificate.equality_dual;
  std::vector<std::string> phrases;
  if (budget && !y.empty() && std::abs(y[0]) >= kFarkasCitationThreshold) {
    phrases.push_back("the budget (sum of weights = " + format_decimal(*budget) + ")");
  }

  const std::size_t offset = budget ? 1 : 0;
  std::vector<std::size_t> cited;
  for (std::size_t i = 0; i < equality_rows && offset + i < y.size(); ++i) {
    if (std::abs(y[offset + i]) >= kFarkasCitationThreshold) cited.push_back(i);
  }
  if (!cited.empty()) phrases.push_back("equality row(s) " + enumerate_indices(cited));

  cited.clear();
  const std::vector<double>& z = certificate.inequality_dual;
  for (std::size_t j = 0; j < z.size(); ++j) {
    if (z[j] >= kFarkasCitationThreshold) cited.push_back(j);
  }
  if (!cited.empty()) phrases.push_back("inequality cap(s) " + enumerate_indices(cited));

  const std::vector<double>& w = certificate.bound_dual;
  cited.clear();
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (w[i] >= kFarkasCitationThreshold) cited.push_back(i);
  }
  if (!cited.empty()) phrases.push_back("upper bounds on asset(s) " + enumerate_indices(cited));
  cited.clear();
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (w[i] <= -kFarkasCitationThreshold) cited.push_back(i);
  }
  if (!cited.empty()) phrases.push_back("lower bounds on asset(s) " + enumerate_indices(cited));

  if (phrases.empty()) return {};
  return "no portfolio satisfies these constraints simultaneously: " + join(phrases, ", ") +
         "; relax at least one of them (Farkas weights are on Solution::certificate)";
}

// A ray of (near) zero risk along which the return term keeps decreasing the
// objective; the largest components name the assets to look at.
std::string explain_dual(const DualCertificate& certificate) {
  const std::vector<double>& d = certificate.direction;
  std::vector<std::size_t> assets;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (std::abs(d[i]) >= kDirectionCitationThreshold) assets.push_back(i);
  }
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
