// Products of an unscaled iterate with the problem's matrices through the
// stored columns V = [F, A_eqᵀ, A_inᵀ] of the problem (ReducedColumns::of_data)
// instead of its dense blocks: the same sums over the nonzero entries only,
// each stored column once.
#pragma once

#include <algorithm>
#include <span>
#include <vector>

#include "kkt_internal.hpp"
#include "morva/kkt.hpp"
#include "morva/matrix.hpp"
#include "morva/problem.hpp"
#include "stored_columns.hpp"

namespace morva {

// s = Ω·t, or t itself when the columns hold C (P = diag(d) + C·Cᵀ).
inline std::vector<double> factor_weights(const FactorQuad& quadratic, const ReducedColumns& columns,
                                          std::span<const double> t) {
  std::vector<double> s(t.begin(), t.end());
  if (!columns.holds_covariance_columns()) quadratic.omega.times(t, s);
  return s;
}

// The first stream of stored_products over the problem's V: t = Fᵀx and
// image = [A_eq·x; A_in·x], as transpose_products forms them.
struct TransposeImage {
  std::vector<double> t;
  std::vector<double> image;
};

inline TransposeImage transpose_image(const QpProblem& problem, const ReducedColumns& data,
                                      std::span<const double> x) {
  TransposeImage first{std::vector<double>(data.factors()),
                       std::vector<double>(problem.m_eq() + problem.m_in())};
  data.transpose_products(x, first.t, first.image);
  return first;
}

// stored_products with its first stream given (transpose_image of the same
// x and data): the second stream alone.
inline IterateProducts stored_products(const QpProblem& problem, const ReducedColumns& data,
                                       std::span<const double> x, const DualVariables& duals,
                                       const TransposeImage& first) {
  const std::size_t n = problem.n();
  const auto m_eq = static_cast<std::ptrdiff_t>(problem.m_eq());
  std::vector<double> y(first.image.size());
  std::copy(duals.equalities.begin(), duals.equalities.end(), y.begin());
  std::copy(duals.inequalities.begin(), duals.inequalities.end(), y.begin() + m_eq);
  const std::vector<double> s = factor_weights(problem.quadratic, data, first.t);
  IterateProducts products;
  products.px.resize(n);
  products.multiplier_rows.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) products.px[i] = problem.quadratic.diagonal[i] * x[i];
  data.add_products(s, y, products.px, products.multiplier_rows);
  products.eq_image.assign(first.image.begin(), first.image.begin() + m_eq);
  products.in_image.assign(first.image.begin() + m_eq, first.image.end());
  return products;
}

// P·x, A_eq·x, A_in·x and A_eqᵀy_eq + A_inᵀy_in through the problem's V.
inline IterateProducts stored_products(const QpProblem& problem, const ReducedColumns& data,
                                       std::span<const double> x, const DualVariables& duals) {
  return stored_products(problem, data, x, duals, transpose_image(problem, data, x));
}

}  // namespace morva
