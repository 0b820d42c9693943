#include "support/dense.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace morva::dense {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Largest finite magnitude (infinite entries ignored).
double max_finite_abs(std::span<const double> v) {
  double m = 0.0;
  for (double e : v) {
    if (std::isfinite(e)) m = std::max(m, std::abs(e));
  }
  return m;
}

double row_dot(const Matrix& a, std::size_t row, std::span<const double> x) {
  double s = 0.0;
  for (std::size_t j = 0; j < a.cols(); ++j) s += a(row, j) * x[j];
  return s;
}

// Ω as a dense k×k array.
DenseMatrix dense_omega(const FactorCovariance& omega, std::size_t k) {
  DenseMatrix out(k, std::vector<double>(k, 0.0));
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b < k; ++b) {
      out[a][b] = omega.is_dense() ? omega.dense_matrix()(a, b) : (a == b ? omega.diagonal_values()[a] : 0.0);
    }
  }
  return out;
}

Matrix random_matrix(Random& random, std::size_t rows, std::size_t cols, double zero_fraction) {
  Matrix m = Matrix::zeros(rows, cols);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) {
      m(i, j) = random.chance(zero_fraction) ? 0.0 : random.uniform(-1.0, 1.0);
    }
  }
  return m;
}

}  // namespace

std::uint64_t Random::next() {
  // splitmix64
  state_ += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double Random::uniform(double low, double high) {
  const double unit = static_cast<double>(next() >> 11) * 0x1.0p-53;
  return low + (high - low) * unit;
}

bool Random::chance(double probability) {
  return uniform(0.0, 1.0) < probability;
}

std::size_t Random::below(std::size_t count) {
  return count == 0 ? 0 : static_cast<std::size_t>(next() % count);
}

double max_abs(std::span<const double> v) {
  double m = 0.0;
  for (double e : v) {
    if (std::isnan(e)) return kNaN;
    m = std::max(m, std::abs(e));
  }
  return m;
}

double max_abs_difference(std::span<const double> a, std::span<const double> b) {
  EXPECT_EQ(a.size(), b.size());
  double m = 0.0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    const double d = std::abs(a[i] - b[i]);
    if (std::isnan(d)) return kNaN;
    m = std::max(m, d);
  }
  return m;
}

std::vector<double> dense_apply(const DenseMatrix& p, std::span<const double> x) {
  std::vector<double> y(p.size(), 0.0);
  for (std::size_t i = 0; i < p.size(); ++i) {
    for (std::size_t j = 0; j < p.size(); ++j) y[i] += p[i][j] * x[j];
  }
  return y;
}

std::vector<double> dense_solve(DenseMatrix a, std::vector<double> b) {
  const std::size_t n = b.size();
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < n; ++r) {
      if (std::abs(a[r][c]) > std::abs(a[pivot][c])) pivot = r;
    }
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (std::size_t r = c + 1; r < n; ++r) {
      const double f = a[r][c] / a[c][c];
      for (std::size_t j = c; j < n; ++j) a[r][j] -= f * a[c][j];
      b[r] -= f * b[c];
    }
  }
  std::vector<double> x(n);
  for (std::size_t r = n; r-- > 0;) {
    double s = b[r];
    for (std::size_t j = r + 1; j < n; ++j) s -= a[r][j] * x[j];
    x[r] = s / a[r][r];
  }
  return x;
}

Matrix matrix(std::uint64_t rows, std::uint64_t cols, std::vector<double> data) {
  auto m = Matrix::create(rows, cols, std::move(data));
  EXPECT_TRUE(m.has_value()) << (m ? "" : m.error().message());
  return m ? std::move(*m) : Matrix{};
}

FactorScan compressed_factors(const Matrix& f) {
  std::vector<std::int64_t> starts{0}, columns;
  std::vector<double> values;
  for (std::size_t i = 0; i < f.rows(); ++i) {
    for (std::size_t c = 0; c < f.cols(); ++c) {
      if (f(i, c) == 0.0) continue;
      columns.push_back(static_cast<std::int64_t>(c));
      values.push_back(f(i, c));
    }
    starts.push_back(static_cast<std::int64_t>(values.size()));
  }
  return FactorScan::compressed(f.rows(), f.cols(), starts, columns, values).value();
}

QpProblem open_qp(std::vector<double> diagonal) {
  const std::size_t n = diagonal.size();
  QpProblem p;
  p.quadratic = FactorQuad{Matrix::zeros(n, 0), FactorCovariance::diagonal({}), std::move(diagonal)};
  p.linear.assign(n, 0.0);
  p.equalities = LinearConstraints::empty(n);
  p.inequalities = LinearConstraints::empty(n);
  p.lower_bounds.assign(n, -kInf);
  p.upper_bounds.assign(n, kInf);
  return p;
}

RandomQpShape shape(std::size_t n, std::size_t k, std::size_t m_eq, std::size_t m_in, bool dense_omega,
                    bool l1) {
  RandomQpShape s;
  s.n = n;
  s.k = k;
  s.m_eq = m_eq;
  s.m_in = m_in;
  s.dense_omega = dense_omega;
  s.l1 = l1;
  return s;
}

QpProblem random_qp(std::uint64_t seed, const RandomQpShape& shape) {
  Random random(seed);
  const std::size_t n = shape.n;
  const std::size_t k = shape.k;

  Matrix factors = random_matrix(random, n, k, 0.0);
  FactorCovariance omega;
  if (shape.dense_omega) {
    // Ω = B·Bᵀ + 0.1·I: (B·Bᵀ)_ab and (B·Bᵀ)_ba sum the same products in the
    // same order, so Ω is exactly symmetric.
    Matrix b = random_matrix(random, k, k, 0.0);
    Matrix o = Matrix::zeros(k, k);
    for (std::size_t a = 0; a < k; ++a) {
      for (std::size_t c = 0; c < k; ++c) {
        double s = a == c ? 0.1 : 0.0;
        for (std::size_t l = 0; l < k; ++l) s += b(a, l) * b(c, l);
        o(a, c) = s;
      }
    }
    omega = FactorCovariance::dense(std::move(o));
  } else {
    std::vector<double> w(k);
    for (double& e : w) e = random.uniform(0.1, 1.0);
    omega = FactorCovariance::diagonal(std::move(w));
  }
  std::vector<double> diagonal(n);
  for (double& e : diagonal) e = random.uniform(0.05, 0.5);

  QpProblem problem;
  problem.quadratic = FactorQuad{std::move(factors), std::move(omega), std::move(diagonal)};

  std::vector<double> reference(n);
  for (double& e : reference) e = random.uniform(-1.0, 1.0);

  problem.linear.resize(n);
  for (double& e : problem.linear) e = random.uniform(-1.0, 1.0);

  Matrix a_eq = random_matrix(random, shape.m_eq, n, 0.3);
  if (shape.m_eq > 0) {
    for (std::size_t j = 0; j < n; ++j) a_eq(0, j) = 1.0;
  }
  std::vector<double> b_eq(shape.m_eq);
  for (std::size_t i = 0; i < shape.m_eq; ++i) b_eq[i] = row_dot(a_eq, i, reference);
  problem.equalities = {std::move(a_eq), std::move(b_eq)};

  Matrix a_in = random_matrix(random, shape.m_in, n, 0.3);
  std::vector<double> b_in(shape.m_in);
  for (std::size_t i = 0; i < shape.m_in; ++i) {
    const double slack = random.chance(shape.tight_inequality_fraction) ? 0.0 : random.uniform(0.0, 1.0);
    b_in[i] = row_dot(a_in, i, reference) + slack;
  }
  problem.inequalities = {std::move(a_in), std::move(b_in)};

  problem.lower_bounds.resize(n);
  problem.upper_bounds.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (random.chance(shape.pinned_fraction)) {
      problem.lower_bounds[i] = problem.upper_bounds[i] = reference[i];
      continue;
    }
    problem.lower_bounds[i] =
        random.chance(shape.infinite_side_fraction) ? -kInf : reference[i] - random.uniform(0.05, 1.0);
    problem.upper_bounds[i] =
        random.chance(shape.infinite_side_fraction) ? kInf : reference[i] + random.uniform(0.05, 1.0);
  }

  if (shape.l1) {
    L1Term l1;
    l1.costs.resize(n);
    l1.anchor.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      l1.costs[i] = random.uniform(0.0, 0.3);
      l1.anchor[i] = random.chance(1.0 / 3.0) ? reference[i] : reference[i] + random.uniform(-0.3, 0.3);
    }
    problem.l1 = std::move(l1);
  }
  return problem;
}

DenseMatrix dense_quadratic(const QpProblem& problem) {
  const FactorQuad& quad = problem.quadratic;
  const std::size_t n = quad.assets();
  const std::size_t k = quad.factor_count();
  const auto omega = dense_omega(quad.omega, k);
  DenseMatrix p(n, std::vector<double>(n, 0.0));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double s = i == j ? quad.diagonal[i] : 0.0;
      for (std::size_t a = 0; a < k; ++a) {
        for (std::size_t b = 0; b < k; ++b) s += quad.factors()(i, a) * omega[a][b] * quad.factors()(j, b);
      }
      p[i][j] = s;
    }
  }
  return p;
}

double dense_objective(const QpProblem& problem, std::span<const double> x) {
  const auto p = dense_quadratic(problem);
  const auto px = dense_apply(p, x);
  double value = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) value += 0.5 * x[i] * px[i] + problem.linear[i] * x[i];
  if (problem.l1) {
    for (std::size_t i = 0; i < x.size(); ++i)
      value += problem.l1->costs[i] * std::abs(x[i] - problem.l1->anchor[i]);
  }
  return value;
}

double data_scale(const QpProblem& problem) {
  double s = 1.0;
  for (const auto& row : dense_quadratic(problem)) s = std::max(s, max_finite_abs(row));
  s = std::max({s, max_finite_abs(problem.linear), max_finite_abs(problem.equalities.matrix.data()),
                max_finite_abs(problem.equalities.rhs), max_finite_abs(problem.inequalities.matrix.data()),
                max_finite_abs(problem.inequalities.rhs), max_finite_abs(problem.lower_bounds),
                max_finite_abs(problem.upper_bounds)});
  if (problem.l1) s = std::max({s, max_finite_abs(problem.l1->costs), max_finite_abs(problem.l1->anchor)});
  return s;
}

double KktReport::worst_relative() const {
  const double values[] = {relative_stationarity(), relative_primal(), relative_sign(),
                           relative_complementarity()};
  double worst = 0.0;
  for (double v : values) {
    if (std::isnan(v)) return kNaN;
    worst = std::max(worst, v);
  }
  return worst;
}

KktReport dense_kkt(const QpProblem& problem, std::span<const double> x, const DualVariables& duals) {
  const std::size_t n = problem.n();
  const std::size_t m_eq = problem.m_eq();
  const std::size_t m_in = problem.m_in();
  const std::size_t n_l1 = problem.l1 ? n : 0;
  KktReport report;
  if (x.size() != n || duals.equalities.size() != m_eq || duals.inequalities.size() != m_in ||
      duals.bounds.size() != n || duals.l1.size() != n_l1) {
    report.stationarity = report.primal = report.sign = report.complementarity = kNaN;
    return report;
  }
  const auto& a_eq = problem.equalities.matrix;
  const auto& a_in = problem.inequalities.matrix;

  // Stationarity: g = P·x + q + A_eqᵀy + A_inᵀz + y_box + y_l1.
  std::vector<double> g = dense_apply(dense_quadratic(problem), x);
  for (std::size_t j = 0; j < n; ++j) {
    g[j] += problem.linear[j] + duals.bounds[j] + (n_l1 ? duals.l1[j] : 0.0);
    for (std::size_t i = 0; i < m_eq; ++i) g[j] += a_eq(i, j) * duals.equalities[i];
    for (std::size_t i = 0; i < m_in; ++i) g[j] += a_in(i, j) * duals.inequalities[i];
  }
  report.stationarity = max_abs(g);

  auto raise = [](double& target, double v) { target = std::isnan(v) ? kNaN : std::max(target, v); };
  for (std::size_t i = 0; i < m_eq; ++i)
    raise(report.primal, std::abs(row_dot(a_eq, i, x) - problem.equalities.rhs[i]));
  for (std::size_t i = 0; i < m_in; ++i) {
    const double slack = problem.inequalities.rhs[i] - row_dot(a_in, i, x);
    const double z = duals.inequalities[i];
    raise(report.primal, -slack);
    raise(report.sign, -z);
    raise(report.complementarity, std::abs(slack) * std::max(z, 0.0));
  }
  for (std::size_t j = 0; j < n; ++j) {
    const double l = problem.lower_bounds[j];
    const double u = problem.upper_bounds[j];
    const double y = duals.bounds[j];
    if (std::isfinite(l)) {
      raise(report.primal, l - x[j]);
      raise(report.complementarity, std::abs(x[j] - l) * std::max(-y, 0.0));
    } else {
      raise(report.sign, -y);  // a lower-side (negative) multiplier needs a finite l
    }
    if (std::isfinite(u)) {
      raise(report.primal, x[j] - u);
      raise(report.complementarity, std::abs(u - x[j]) * std::max(y, 0.0));
    } else {
      raise(report.sign, y);
    }
  }
  if (problem.l1) {
    for (std::size_t j = 0; j < n; ++j) {
      const double c = problem.l1->costs[j];
      const double off = x[j] - problem.l1->anchor[j];
      const double y = duals.l1[j];
      raise(report.sign, std::abs(y) - c);
      const double expected = off > 0.0 ? c : (off < 0.0 ? -c : y);
      raise(report.complementarity, std::abs(off) * std::abs(expected - y));
    }
  }

  double point = std::max(1.0, max_abs(x));
  point = std::max({point, max_abs(duals.equalities), max_abs(duals.inequalities), max_abs(duals.bounds),
                    max_abs(duals.l1)});
  report.point_scale = point;
  report.scale = data_scale(problem) * point;
  return report;
}

FarkasReport dense_farkas(const QpProblem& problem, const PrimalCertificate& certificate) {
  const std::size_t n = problem.n();
  FarkasReport report;
  if (certificate.equality_dual.size() != problem.m_eq() ||
      certificate.inequality_dual.size() != problem.m_in() || certificate.bound_dual.size() != n) {
    report.combination = report.value = report.sign_violation = report.norm = kNaN;
    return report;
  }
  std::vector<double> r(certificate.bound_dual);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i < problem.m_eq(); ++i)
      r[j] += problem.equalities.matrix(i, j) * certificate.equality_dual[i];
    for (std::size_t i = 0; i < problem.m_in(); ++i)
      r[j] += problem.inequalities.matrix(i, j) * certificate.inequality_dual[i];
  }
  report.combination = max_abs(r);
  for (std::size_t i = 0; i < problem.m_eq(); ++i)
    report.value += problem.equalities.rhs[i] * certificate.equality_dual[i];
  for (std::size_t i = 0; i < problem.m_in(); ++i) {
    const double z = certificate.inequality_dual[i];
    report.value += problem.inequalities.rhs[i] * z;
    report.sign_violation = std::max(report.sign_violation, -z);
  }
  for (std::size_t j = 0; j < n; ++j) {
    const double w = certificate.bound_dual[j];
    if (w > 0.0) {
      if (std::isfinite(problem.upper_bounds[j]))
        report.value += problem.upper_bounds[j] * w;
      else
        report.sign_violation = std::max(report.sign_violation, w);
    } else if (w < 0.0) {
      if (std::isfinite(problem.lower_bounds[j]))
        report.value += problem.lower_bounds[j] * w;
      else
        report.sign_violation = std::max(report.sign_violation, -w);
    }
  }
  report.norm = std::max({max_abs(certificate.equality_dual), max_abs(certificate.inequality_dual),
                          max_abs(certificate.bound_dual)});
  return report;
}

RayReport dense_ray(const QpProblem& problem, std::span<const double> direction) {
  const std::size_t n = problem.n();
  RayReport report;
  if (direction.size() != n) {
    report.curvature = report.slope = report.violation = report.norm = kNaN;
    return report;
  }
  report.curvature = max_abs(dense_apply(dense_quadratic(problem), direction));
  for (std::size_t j = 0; j < n; ++j) {
    report.slope += problem.linear[j] * direction[j];
    if (problem.l1) report.slope += problem.l1->costs[j] * std::abs(direction[j]);
  }
  for (std::size_t i = 0; i < problem.m_eq(); ++i)
    report.violation = std::max(report.violation, std::abs(row_dot(problem.equalities.matrix, i, direction)));
  for (std::size_t i = 0; i < problem.m_in(); ++i)
    report.violation = std::max(report.violation, row_dot(problem.inequalities.matrix, i, direction));
  for (std::size_t j = 0; j < n; ++j) {
    if (std::isfinite(problem.upper_bounds[j])) report.violation = std::max(report.violation, direction[j]);
    if (std::isfinite(problem.lower_bounds[j])) report.violation = std::max(report.violation, -direction[j]);
  }
  report.norm = max_abs(direction);
  return report;
}

}  // namespace morva::dense
