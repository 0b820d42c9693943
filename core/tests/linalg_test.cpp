#include "morva/linalg.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "column_sharing.hpp"
#include "covariance_columns.hpp"
#include "detail/dense_cholesky.hpp"
#include "detail/equilibration_kernels.hpp"
#include "detail/simd.hpp"
#include "detail/vector_ops.hpp"
#include "stored_columns.hpp"
#include "support/allocation_counter.hpp"
#include "support/dense.hpp"
#include "support/named_case.hpp"

namespace morva {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using dense::dense_solve;
using dense::DenseMatrix;
using dense::max_abs;
using dense::max_abs_difference;
using dense::shape;
using named_case::PrintTo;

FactorQuad dense_form(Matrix factors, Matrix omega) {
  const std::size_t n = factors.rows();
  return FactorQuad{std::move(factors), FactorCovariance::dense(std::move(omega)),
                    std::vector<double>(n, 0.0)};
}

// The finite nonzero magnitudes' extremes for every placement of the
// extremes, of NaN, ±inf and −0 among the two lanes and the odd tail: those
// of the plain scalar loop.
TEST(VectorOps, MagnitudeExtremesPassOverNonFiniteAndZeros) {
  const double kInf = std::numeric_limits<double>::infinity();
  const std::vector<double> pool = {-0.0, 0.0, 3e-7, -2.5, kInf, std::nan(""), -kInf, 1e5, -4e-9, 7.0};
  for (std::size_t len = 0; len <= pool.size(); ++len) {
    for (std::size_t shift = 0; shift < pool.size(); ++shift) {
      std::vector<double> values(len);
      for (std::size_t j = 0; j < len; ++j) values[j] = pool[(j + shift) % pool.size()];
      double largest = 0.0, smallest = kInf;
      for (double v : values) {
        const double m = std::abs(v);
        if (std::isfinite(m) && m != 0.0) largest = std::max(largest, m), smallest = std::min(smallest, m);
      }
      double hi = 0.0, lo = kInf;
      detail::narrow_to_magnitudes(values, hi, lo);
      EXPECT_EQ(hi, largest) << len << " " << shift;
      EXPECT_EQ(lo, smallest) << len << " " << shift;
    }
  }
}

// ‖v‖∞ taken in lanes, for every placement of two distinct NaNs, −0 and
// the largest among the lanes and the tail: the plain loop's value, the first
// NaN's bits where there is one.
TEST(VectorOps, InfNormInLanesIsThePlainLoop) {
  const double first_nan = std::nan("1"), second_nan = -std::nan("2");
  const std::vector<double> pool = {-0.0, 3e-7, -2.5, first_nan, 1e5, -4e-9, second_nan, 7.0, -1e5};
  const auto plain = [](std::span<const double> v, double start) {
    double norm = start;
    for (double e : v) {
      if (std::isnan(e)) return e;
      norm = std::max(norm, std::abs(e));
    }
    return norm;
  };
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  for (std::size_t len = 0; len <= pool.size(); ++len) {
    for (std::size_t shift = 0; shift < pool.size(); ++shift) {
      std::vector<double> v(len);
      for (std::size_t j = 0; j < len; ++j) v[j] = pool[(j + shift) % pool.size()];
      for (const double start : {0.0, -0.0, 2.0}) {
        EXPECT_EQ(bits(detail::inf_norm(v, start)), bits(plain(v, start))) << len << " " << shift;
      }
    }
  }
}

// ---- Covariance columns ----

struct ColumnsCase {
  std::string name;
  std::size_t n;
  std::size_t k;
  std::vector<double> omega;  // dense k×k when `dense`, else the diagonal
  bool dense;
};

class CovarianceColumnsTest : public ::testing::TestWithParam<ColumnsCase> {};

// C·Cᵀ must reproduce F·Ω·Fᵀ, including for rank-deficient Ω.
TEST_P(CovarianceColumnsTest, ReproducesTheLowRankTerm) {
  const ColumnsCase& c = GetParam();
  dense::Random random(11);
  Matrix f = Matrix::zeros(c.n, c.k);
  for (double& e : f.data()) e = random.uniform(-1.0, 1.0);
  FactorQuad form{f,
                  c.dense ? FactorCovariance::dense(dense::matrix(c.k, c.k, c.omega))
                          : FactorCovariance::diagonal(c.omega),
                  std::vector<double>(c.n, 0.0)};
  ASSERT_TRUE(form.validate().has_value());

  const auto columns = covariance_columns(form);
  ASSERT_TRUE(columns.has_value()) << columns.error().message();
  ASSERT_EQ(columns->rows(), c.n);
  ASSERT_EQ(columns->cols(), c.k);

  QpProblem holder;
  holder.quadratic = form;
  const DenseMatrix expected = dense::dense_quadratic(holder);
  for (std::size_t i = 0; i < c.n; ++i) {
    for (std::size_t j = 0; j < c.n; ++j) {
      double s = 0.0;
      for (std::size_t l = 0; l < c.k; ++l) s += (*columns)(i, l) * (*columns)(j, l);
      EXPECT_NEAR(s, expected[i][j], 1e-12 * std::max(1.0, std::abs(expected[i][j]))) << i << "," << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CovarianceColumnsTest,
    ::testing::Values(
        ColumnsCase{"diagonal", 9, 3, {0.5, 2.0, 0.0}, false}, ColumnsCase{"no_factors", 4, 0, {}, true},
        ColumnsCase{"dense_definite", 7, 3, {2.0, 0.3, -0.4, 0.3, 1.0, 0.2, -0.4, 0.2, 1.5}, true},
        // [[1,1],[1,1]]: second pivot exactly zero, off-diagonal consistent.
        ColumnsCase{"dense_singular", 5, 2, {1.0, 1.0, 1.0, 1.0}, true},
        // v·vᵀ with v = (1, 2, −1): rank one, two zero pivots.
        ColumnsCase{"dense_rank_one", 6, 3, {1.0, 2.0, -1.0, 2.0, 4.0, -2.0, -1.0, -2.0, 1.0}, true},
        // A zero leading pivot followed by a positive one.
        ColumnsCase{"dense_zero_first", 5, 2, {0.0, 0.0, 0.0, 3.0}, true},
        // −5e-13 is within the tolerance 1e-12 of a zero pivot.
        ColumnsCase{"dense_tiny_negative", 4, 2, {1.0, 0.0, 0.0, -5e-13}, true},
        // The tolerance scales with max|Ω|: g = 1e-6 covers −5e-7.
        ColumnsCase{"dense_scaled_tolerance", 4, 2, {1e6, 0.0, 0.0, -5e-7}, true}),
    [](const auto& info) { return info.param.name; });

// Ω = [[1, 1], [1, 1]] with F = I: L = [[1, 0], [1, 0]], the zero pivot
// leaving its column empty.
TEST(CovarianceColumns, SingularFactorHasZeroColumn) {
  const auto columns =
      covariance_columns(dense_form(dense::matrix(2, 2, {1, 0, 0, 1}), dense::matrix(2, 2, {1, 1, 1, 1})));
  ASSERT_TRUE(columns.has_value());
  EXPECT_EQ(*columns, dense::matrix(2, 2, {1, 0, 1, 0}));
}

struct IndefiniteCase {
  std::string name;
  std::size_t k;
  std::vector<double> omega;
};

class IndefiniteCovarianceTest : public ::testing::TestWithParam<IndefiniteCase> {};

TEST_P(IndefiniteCovarianceTest, IsRejected) {
  const IndefiniteCase& c = GetParam();
  Matrix identity = Matrix::zeros(c.k, c.k);
  for (std::size_t i = 0; i < c.k; ++i) identity(i, i) = 1.0;
  const FactorQuad form = dense_form(identity, dense::matrix(c.k, c.k, c.omega));
  const auto columns = covariance_columns(form);
  ASSERT_FALSE(columns.has_value());
  EXPECT_EQ(columns.error().kind, SolverError::Kind::CovarianceNotPositiveSemidefinite);
  EXPECT_EQ(columns.error().message(), "dense factor covariance is not positive semidefinite");

  // Every factorisation goes through the same columns.
  QpProblem problem;
  problem.quadratic = form;
  problem.equalities = LinearConstraints::empty(c.k);
  problem.inequalities = LinearConstraints::empty(c.k);
  const auto system = FactorizedSystem::create(problem, 1.0, 1e-6);
  ASSERT_FALSE(system.has_value());
  EXPECT_EQ(system.error().kind, SolverError::Kind::CovarianceNotPositiveSemidefinite);
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, IndefiniteCovarianceTest,
    ::testing::Values(IndefiniteCase{"indefinite", 2, {1.0, 2.0, 2.0, 1.0}},
                      // Zero first pivot, off-diagonal 1e-3 beyond the tolerance.
                      IndefiniteCase{"zero_pivot_coupled", 2, {0.0, 1e-3, 1e-3, 0.0}},
                      IndefiniteCase{"negative_diagonal", 1, {-1e-3}},
                      IndefiniteCase{"beyond_tolerance", 2, {1.0, 0.0, 0.0, -2e-12}},
                      // The tolerance scales with max|Ω| = 1e6 (g = 1e-6).
                      IndefiniteCase{"beyond_scaled_tolerance", 2, {1e6, 0.0, 0.0, -2e-6}},
                      // Singular leading block, then an inconsistent coupling.
                      IndefiniteCase{"rank_one_then_coupled", 3, {1, 1, 0, 1, 1, 1e-3, 0, 1e-3, 1}}),
    [](const auto& info) { return info.param.name; });

// ---- Row norms of C ----

std::vector<std::uint64_t> bits(std::span<const double> v) {
  std::vector<std::uint64_t> out(v.size());
  if (!v.empty()) std::memcpy(out.data(), v.data(), v.size() * sizeof(double));  // no null pointers to memcpy
  return out;
}

// F (n×k) with entries of both signs, and zeros of both signs: each row has
// `count` nonzeros at random positions and ±0 elsewhere, count cycling
// through 0 … k so that every support size (and every size mod 4) occurs.
Matrix sparse_rows(std::size_t n, std::size_t k, std::uint64_t seed) {
  dense::Random random(seed);
  Matrix f = Matrix::zeros(n, k);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t l = 0; l < k; ++l) f(i, l) = random.chance(0.5) ? -0.0 : 0.0;
    for (std::size_t placed = 0; placed < i % (k + 1); ++placed) {
      f(i, random.below(k)) = random.uniform(-2.0, 2.0);
    }
  }
  return f;
}

// A diagonal Ω given densely: its zeros off the diagonal alternate in sign.
struct DiagonalCase {
  std::string name;
  std::vector<double> diagonal;
};

class DiagonalCovarianceTest : public ::testing::TestWithParam<DiagonalCase> {};

// Its factor is the general semidefinite Cholesky's, bit for bit (or both
// fail), and the row norms are the general path's, on rows of every support
// size, so both of its per-row forms are taken.
TEST_P(DiagonalCovarianceTest, FactorAndRowNormsAreTheGeneralOnes) {
  const std::vector<double>& diagonal = GetParam().diagonal;
  const std::size_t k = diagonal.size();
  Matrix omega = Matrix::zeros(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) omega(r, c) = r == c ? diagonal[r] : ((r + c) % 2 ? -0.0 : 0.0);
  }
  Matrix general = Matrix::zeros(k, k);
  const bool factors =
      detail::semidefinite_cholesky(omega.data().data(), k, kCovariancePivotTolerance, general.data().data());
  const auto lower = semidefinite_cholesky(omega);
  ASSERT_EQ(lower.has_value(), factors);
  if (!factors) return;
  EXPECT_EQ(bits(lower->data()), bits(general.data()));

  const FactorQuad form = dense_form(sparse_rows(160, k, 5), omega);
  const auto expected = bits(general_row_norms(form.factors(), omega, general));
  EXPECT_EQ(bits(covariance_row_norms(form).value()), expected);
  EXPECT_EQ(bits(covariance_row_norms(form, &general).value()), expected);

  // Given as ω, the norms are those of the formed C = F·diag(√ω).
  if (std::any_of(diagonal.begin(), diagonal.end(), [](double w) { return w < 0.0; })) return;
  FactorQuad vector_form = form;
  vector_form.omega = FactorCovariance::diagonal(diagonal);
  const Matrix columns = covariance_columns(vector_form).value();
  std::vector<double> formed(columns.rows());
  for (std::size_t i = 0; i < formed.size(); ++i) {
    double s = 0.0;
    for (double e : columns.row(i)) s += e * e;
    formed[i] = std::sqrt(s);
  }
  EXPECT_EQ(bits(covariance_row_norms(vector_form).value()), bits(formed));
}

INSTANTIATE_TEST_SUITE_P(
    Diagonals, DiagonalCovarianceTest,
    ::testing::Values(DiagonalCase{"regular", {2.0, 0.5, 3.0, 1.0, 0.25, 4.0, 1.5}},
                      DiagonalCase{"signed_zero_pivots", {1.0, 0.0, -0.0, 2.0, 0.0, 1.0, 0.5}},
                      // Pivots within ±g = 1e-12 of zero leave their column empty.
                      DiagonalCase{"within_tolerance", {1.0, 5e-13, -5e-13, 3.0, 1e-13, 2.0, 0.5}},
                      DiagonalCase{"scaled_tolerance", {1e6, 5e-7, -5e-7, 1.0, 2.0, 3.0, 0.5}},
                      DiagonalCase{"not_semidefinite", {1.0, 2.0, -2e-12, 1.0, 1.0, 1.0, 0.5}}),
    [](const auto& info) { return info.param.name; });

// Ω = B·Bᵀ for a random k×k B: dense, symmetric positive semidefinite.
Matrix random_gram(dense::Random& random, std::size_t k) {
  Matrix b = Matrix::zeros(k, k);
  for (double& e : b.data()) e = random.uniform(-1.0, 1.0);
  Matrix omega = Matrix::zeros(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) omega(r, c) = detail::row_dot(b.row(r), b.row(c));
  }
  return omega;
}

// A dense Ω: per row, F_i·Ω·F_iᵀ as Σ_a f_a·(Σ_b Ω_ab·f_b) over the support
// in increasing order while nonzeros² ≤ Σ (l + 1) over them, else the norm
// of row i of the formed C = F·L; every support size from 0 to k, and then
// rows that share their supports as industry exposures do (a market column,
// one of three industries, eight styles at the end: ten entries, summed in
// blocks of eight and two; 13, 12 and 12 rows per support, interleaved),
// placed first, across the rows where the search for
// shared supports gives up on scattered ones, and after them.
TEST(CovarianceRowNorms, DenseOmegaTakesTheCheaperFormPerRow) {
  const std::size_t k = 20;
  dense::Random random(3);
  const Matrix omega = random_gram(random, k);
  for (const std::size_t scattered : {std::size_t{0}, std::size_t{240}, std::size_t{300}}) {
    const std::size_t shared = 37;
    const Matrix rows = sparse_rows(scattered, k, 9);
    Matrix factors = Matrix::zeros(scattered + shared, k);
    std::copy(rows.data().begin(), rows.data().end(), factors.data().begin());
    for (std::size_t i = 0; i < shared; ++i) {
      factors(scattered + i, 0) = random.uniform(-2.0, 2.0);
      factors(scattered + i, 1 + i % 3) = random.uniform(-2.0, 2.0);
      for (std::size_t l = k - 8; l < k; ++l) factors(scattered + i, l) = random.uniform(-2.0, 2.0);
    }
    const FactorQuad form = dense_form(std::move(factors), omega);
    const Matrix columns = covariance_columns(form).value();
    std::vector<double> expected(form.assets());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const auto f = form.factors().row(i);
      std::vector<std::size_t> support;
      std::size_t triangle = 0;
      for (std::size_t l = 0; l < k; ++l) {
        if (f[l] != 0.0) support.push_back(l), triangle += l + 1;
      }
      double s = 0.0;
      if (support.size() * support.size() <= triangle) {
        for (std::size_t a : support) {
          double inner = 0.0;
          for (std::size_t c : support) inner += omega(a, c) * f[c];
          s += f[a] * inner;
        }
        s = std::max(s, 0.0);
      } else {
        for (double e : columns.row(i)) s += e * e;
      }
      expected[i] = std::sqrt(s);
    }
    EXPECT_EQ(bits(covariance_row_norms(form).value()), bits(expected)) << scattered;
  }
}

// An industry-like F (a market column, one of eight industry columns, a
// style past the last whole group; now and then a denser row) whose nonzero groups the
// form's create() records: the row norms and F's column profile read from
// the record must be those of the plain reads, bit for bit.
TEST(CovarianceRowNorms, RecordedGroupsGiveThePlainReads) {
  // k = 41 leaves the style past the last whole group; k = 64 packs it too.
  for (const std::size_t k : {std::size_t{41}, std::size_t{64}}) {
    SCOPED_TRACE(k);
    const std::size_t n = 300;
    dense::Random random(5);
    const Matrix omega = random_gram(random, k);
    Matrix factors = Matrix::zeros(n, k);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t l : {std::size_t{0}, 4 + 4 * (i % 8) + i % 3, k - 1})
        factors(i, l) = random.uniform(-2.0, 2.0);
      if (i % 23 == 5) factors(i, 17) = -0.0, factors(i, 21) = random.uniform(-2.0, 2.0);
      // The dense last style's group left unrecorded now and then (k = 64).
      if (i % 29 == 7) factors(i, k - 1) = -0.0;
    }
    const FactorQuad plain = dense_form(factors, omega);
    auto recorded = FactorQuad::create(factors, plain.omega, plain.diagonal);
    ASSERT_TRUE(recorded.has_value());
    ASSERT_NE(recorded->row_groups(), nullptr);
    // The same F from its nonzeros' compressed rows, held by its record
    // alone (its zeros +0): every read below agrees with the plain one too.
    auto held = FactorQuad::create(dense::compressed_factors(factors), plain.omega, plain.diagonal);
    ASSERT_TRUE(held.has_value() && held->holds_factors_sparsely());
    const ColumnProfile read = factor_profile(factors);
    for (const FactorQuad* form : {&*recorded, &*held}) {
      EXPECT_EQ(bits(covariance_row_norms(*form).value()), bits(covariance_row_norms(plain).value()));
      const ColumnProfile grouped = factor_profile(FactorRows(*form));
      EXPECT_EQ(bits(grouped.nonzeros), bits(read.nonzeros));
      EXPECT_EQ(grouped.fingerprint, read.fingerprint);
      for (std::size_t l = 0; l < k; ++l) {
        EXPECT_EQ(grouped.entries[l].rows, read.entries[l].rows) << l;
        EXPECT_EQ(bits(grouped.entries[l].values), bits(read.entries[l].values)) << l;
      }
    }
    // Constraint rows that repeat F's columns (the market, the negated tail
    // style) or nearly do (one entry off): compared against columns gathered
    // from the record, they share exactly the columns the plain read shares.
    // (Read through the form's F: a write access to `factors` would copy it.)
    const Matrix& f = recorded->factors();
    // Rows 3 and 4 hold a sparse industry column and its negation, compared
    // through the column's kept entries.
    std::vector<std::vector<double>> rows(5, std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i) {
      rows[0][i] = f(i, 0);
      rows[1][i] = -f(i, k - 1);
      rows[2][i] = f(i, k - 1);
      rows[3][i] = f(i, 4);
      rows[4][i] = -f(i, 4);
    }
    rows[2][n - 1] += 1.0;
    const std::vector<const double*> pointers = {rows[0].data(), rows[1].data(), rows[2].data(),
                                                 rows[3].data(), rows[4].data()};
    ASSERT_TRUE(recorded->row_groups()->describes(f));
    const ReducedColumns plain_data = ReducedColumns::of_data(f, pointers);
    EXPECT_EQ(plain_data.source(k), plain_data.source(0));
    EXPECT_EQ(plain_data.multiplier(k + 1), -1.0);
    for (const std::size_t j : {k + 3, k + 4}) {
      EXPECT_EQ(plain_data.source(j), plain_data.source(4)) << j;
      EXPECT_EQ(plain_data.multiplier(j), j == k + 3 ? 1.0 : -1.0) << j;
    }
    for (std::size_t earlier = 0; earlier < k + 2; ++earlier)
      EXPECT_NE(plain_data.source(k + 2), plain_data.source(earlier)) << earlier;
    for (const FactorQuad* form : {&*recorded, &*held}) {
      const ReducedColumns grouped_data = ReducedColumns::of_data(FactorRows(*form), pointers);
      for (std::size_t j = 0; j < k + rows.size(); ++j) {
        EXPECT_EQ(grouped_data.source(j), plain_data.source(j)) << j;
        EXPECT_EQ(grouped_data.multiplier(j), plain_data.multiplier(j)) << j;
      }
      // The stored columns (the dense market and style among them) hold F's
      // bits, up to the sign of a zero where the record holds F alone.
      for (std::size_t part = 0; part < 2; ++part) {
        std::vector<double> stored(grouped_data.stored_values()[part].begin(),
                                   grouped_data.stored_values()[part].end());
        std::vector<double> expected(plain_data.stored_values()[part].begin(),
                                     plain_data.stored_values()[part].end());
        if (form == &*held) {
          for (auto* v : {&stored, &expected}) std::ranges::for_each(*v, [](double& e) { e += 0.0; });
        }
        EXPECT_EQ(bits(stored), bits(expected)) << part;
      }
    }
  }
}

// ---- Reduced system against a dense solve ----

struct SystemCase {
  std::string name;
  dense::RandomQpShape shape;
  double rho;
  double sigma;
};

// L_K·L_Kᵀ = G + U·Uᵀ for a system that works in the n-space, L_K lower
// triangular with a positive diagonal.
void expect_factor_of_full_system(const SmwSystem& smw, const Matrix& u) {
  const std::size_t n = u.rows();
  const Matrix& l = smw.capacitance_factor();
  ASSERT_EQ(l.rows(), n);
  ASSERT_EQ(l.cols(), n);
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) {
      double k = a == b ? 1.0 / smw.inverse_diagonal()[a] : 0.0;
      for (std::size_t m = 0; m < u.cols(); ++m) k += u(a, m) * u(b, m);
      double product = 0.0;
      for (std::size_t m = 0; m < n; ++m) product += l(a, m) * l(b, m);
      EXPECT_NEAR(product, k, 1e-12 * std::max(1.0, std::abs(k))) << a << ", " << b;
      if (b > a) {
        EXPECT_EQ(l(a, b), 0.0);
      }
    }
    EXPECT_GT(l(a, a), 0.0);
  }
}

class FactorizedSystemTest : public ::testing::TestWithParam<SystemCase> {};

// K = P + σI + ρ(A_eqᵀA_eq + A_inᵀA_in + I + [L1]I), formed densely.
DenseMatrix dense_system(const QpProblem& problem, double rho, double sigma) {
  const std::size_t n = problem.n();
  DenseMatrix k = dense::dense_quadratic(problem);
  const double identity = sigma + rho + (problem.l1 ? rho : 0.0);
  for (std::size_t i = 0; i < n; ++i) k[i][i] += identity;
  for (const Matrix* a : {&problem.equalities.matrix, &problem.inequalities.matrix}) {
    for (std::size_t r = 0; r < a->rows(); ++r) {
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) k[i][j] += rho * (*a)(r, i) * (*a)(r, j);
      }
    }
  }
  return k;
}

TEST_P(FactorizedSystemTest, SolveMatchesDenseSolve) {
  const SystemCase& c = GetParam();
  const QpProblem problem = dense::random_qp(21, c.shape);
  ASSERT_TRUE(problem.validate().has_value());

  const auto system = FactorizedSystem::create(problem, c.rho, c.sigma);
  ASSERT_TRUE(system.has_value()) << system.error().message();
  EXPECT_EQ(system->rho, c.rho);
  EXPECT_EQ(system->smw.columns().factors(), c.shape.k);
  EXPECT_EQ(system->smw.rank(), c.shape.k + c.shape.m_eq + c.shape.m_in);
  const Matrix u = system->smw.columns().materialize(std::sqrt(c.rho));
  EXPECT_EQ(u.rows(), c.shape.n);
  EXPECT_EQ(system->smw.in_asset_space(), system->smw.rank() >= c.shape.n);

  // U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ], whatever the storage.
  const Matrix columns = covariance_columns(problem.quadratic).value();
  const double root = std::sqrt(c.rho);
  for (std::size_t i = 0; i < c.shape.n; ++i) {
    for (std::size_t l = 0; l < c.shape.k; ++l)
      EXPECT_NEAR(u(i, l), columns(i, l), 1e-14 * (1.0 + std::abs(columns(i, l))));
    for (std::size_t r = 0; r < c.shape.m_eq; ++r)
      EXPECT_EQ(u(i, c.shape.k + r), root * problem.equalities.matrix(r, i));
    for (std::size_t r = 0; r < c.shape.m_in; ++r)
      EXPECT_EQ(u(i, c.shape.k + c.shape.m_eq + r), root * problem.inequalities.matrix(r, i));
  }

  dense::Random random(5);
  for (int trial = 0; trial < 3; ++trial) {
    std::vector<double> r(c.shape.n);
    for (double& e : r) e = random.uniform(-10.0, 10.0);
    const std::vector<double> expected = dense_solve(dense_system(problem, c.rho, c.sigma), r);

    std::vector<double> x = r;
    system->smw.solve_in_place(x);
    EXPECT_LE(max_abs_difference(x, expected), 1e-10 * max_abs(expected));

    // The scratch form is the same arithmetic.
    std::vector<double> y = r;
    std::vector<double> scratch(system->smw.solve_scratch() + 2, kNaN);
    system->smw.solve_in_place(y, scratch);
    EXPECT_EQ(x, y);
  }
}

TEST_P(FactorizedSystemTest, CapacitanceFactorReproducesCapacitance) {
  const SystemCase& c = GetParam();
  const QpProblem problem = dense::random_qp(22, c.shape);
  const auto system = FactorizedSystem::create(problem, c.rho, c.sigma);
  ASSERT_TRUE(system.has_value());
  const SmwSystem& smw = system->smw;
  const std::size_t h = smw.rank();
  const Matrix u = smw.columns().materialize(std::sqrt(c.rho));
  const Matrix& l = smw.capacitance_factor();

  // G⁻¹ = 1/(d + σ + ρ + [L1]ρ).
  for (std::size_t i = 0; i < c.shape.n; ++i) {
    const double g = problem.quadratic.diagonal[i] + c.sigma + c.rho + (problem.l1 ? c.rho : 0.0);
    EXPECT_NEAR(smw.inverse_diagonal()[i], 1.0 / g, 1e-15 / g);
  }
  if (smw.in_asset_space()) {
    // h ≥ n: the factor is that of K = G + U·Uᵀ itself.
    ASSERT_GE(h, c.shape.n);
    expect_factor_of_full_system(smw, u);
    return;
  }
  ASSERT_EQ(l.rows(), h);
  ASSERT_EQ(l.cols(), h);
  // S = I + UᵀG⁻¹U = L_S·L_Sᵀ, L_S lower triangular with a positive diagonal.
  DenseMatrix s(h, std::vector<double>(h, 0.0));
  for (std::size_t a = 0; a < h; ++a) {
    for (std::size_t b = 0; b < h; ++b) {
      double sum = a == b ? 1.0 : 0.0;
      for (std::size_t i = 0; i < c.shape.n; ++i) sum += u(i, a) * smw.inverse_diagonal()[i] * u(i, b);
      s[a][b] = sum;
      double product = 0.0;
      for (std::size_t m = 0; m < h; ++m) product += l(a, m) * l(b, m);
      EXPECT_NEAR(product, sum, 1e-12 * std::max(1.0, std::abs(sum)));
      if (b > a) {
        EXPECT_EQ(l(a, b), 0.0);
      }
    }
    EXPECT_GT(l(a, a), 0.0);
  }
  std::vector<double> t(h);
  for (std::size_t a = 0; a < h; ++a) t[a] = 1.0 + static_cast<double>(a);
  const std::vector<double> expected = dense_solve(s, t);
  detail::cholesky_solve_in_place(l.data().data(), h, t.data());
  EXPECT_LE(max_abs_difference(t, expected), 1e-12 * std::max(1.0, max_abs(expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FactorizedSystemTest,
    ::testing::Values(SystemCase{"diagonal_omega", shape(30, 3, 2, 3, false, false), 0.1, 1e-6},
                      SystemCase{"dense_omega_l1", shape(30, 3, 2, 3, true, true), 1.0, 1e-6},
                      SystemCase{"large_rho", shape(30, 4, 1, 3, true, false), 1e6, 1e-6},
                      SystemCase{"small_rho", shape(30, 4, 1, 3, false, true), 1e-6, 1e-3},
                      SystemCase{"factors_only", shape(25, 5, 0, 0, true, false), 1.0, 1e-6},
                      SystemCase{"rows_only", shape(25, 0, 2, 4, false, false), 0.5, 1e-6},
                      SystemCase{"more_rank_than_assets", shape(5, 3, 2, 3, true, true), 2.0, 1e-6}),
    [](const auto& info) { return info.param.name; });

// No factors and no rows: h = 0 and the solve is r/G.
TEST(FactorizedSystem, WithoutLowRankIsDiagonalScaling) {
  for (const bool l1 : {false, true}) {
    const QpProblem problem = dense::random_qp(3, shape(8, 0, 0, 0, false, l1));
    const auto system = FactorizedSystem::create(problem, 0.25, 1e-6);
    ASSERT_TRUE(system.has_value());
    EXPECT_EQ(system->smw.rank(), 0U);
    std::vector<double> r{1, -2, 3, -4, 5, -6, 7, -8};
    std::vector<double> x = r;
    system->smw.solve_in_place(x, {});
    for (std::size_t i = 0; i < r.size(); ++i) {
      const double g = problem.quadratic.diagonal[i] + 1e-6 + 0.25 + (l1 ? 0.25 : 0.0);
      EXPECT_NEAR(x[i], r[i] / g, 1e-15 * std::abs(r[i] / g));
    }
  }
}

// The tiled Gram product against the plain sum of each entry, in the same
// order, over widths that end inside a tile and row counts that end inside
// a chunk: every entry of the lower triangle equal bit for bit.
TEST(DenseGram, TilesSumEachEntryAsThePlainLoop) {
  for (const std::size_t width : {1, 2, 3, 4, 5, 7, 8, 13, 51}) {
    const std::size_t n = 700;
    std::vector<double> rows(n * width), g(n);
    for (std::size_t i = 0; i < n; ++i) {
      g[i] = 0.5 + static_cast<double>(i % 11) / 7.0;
      for (std::size_t a = 0; a < width; ++a)
        rows[i * width + a] = std::sin(static_cast<double>(3 * i + 5 * a + 1));
    }
    std::size_t padded = 0;
    const std::vector<double> block = detail::dense_gram(rows.data(), n, width, g.data(), padded);
    ASSERT_GE(padded, width);
    for (std::size_t a = 0; a < width; ++a) {
      for (std::size_t b = 0; b <= a; ++b) {
        double want = 0.0;
        for (std::size_t i = 0; i < n; ++i) want += (rows[i * width + a] * g[i]) * rows[i * width + b];
        EXPECT_EQ(block[a * padded + b], want) << "width " << width << " entry " << a << ", " << b;
      }
    }
  }
}

// The factor taken four entries (and two rows) at a time is the one taken
// entry by entry, each entry dot4's sum, bit for bit, across sizes around
// multiples of four.
TEST(DenseCholesky, FourEntriesAtATimeKeepEachSum) {
  for (const std::size_t h : {1, 3, 4, 5, 8, 9, 30, 67}) {
    std::vector<double> a(h * h);
    for (std::size_t i = 0; i < h; ++i) {
      for (std::size_t j = 0; j <= i; ++j)
        a[i * h + j] = a[j * h + i] = std::cos(static_cast<double>(i + 2 * j));
      a[i * h + i] += static_cast<double>(h);
    }
    std::vector<double> got(h * h, 0.0), want(h * h, 0.0);
    ASSERT_TRUE(detail::cholesky_lower(a.data(), h, 0.0, got.data()));
    for (std::size_t j = 0; j < h; ++j) {
      for (std::size_t c = 0; c <= j; ++c) {
        const double v = a[j * h + c] - detail::dot4(&want[j * h], &want[c * h], c);
        want[j * h + c] = c < j ? v / want[c * h + c] : std::sqrt(v);
      }
    }
    for (std::size_t j = 0; j < h; ++j) {
      for (std::size_t c = 0; c <= j; ++c)
        EXPECT_EQ(got[j * h + c], want[j * h + c]) << h << ": " << j << ", " << c;
    }
    // The semidefinite factor, several rows' sums at a time, against each
    // entry's serial sum Σ_{l<c} L_jl·L_cl.
    std::vector<double> semidefinite(h * h, 0.0), serial(h * h, 0.0);
    ASSERT_TRUE(detail::semidefinite_cholesky(a.data(), h, 1e-14, semidefinite.data()));
    for (std::size_t c = 0; c < h; ++c) {
      for (std::size_t j = c; j < h; ++j) {
        double explained = 0.0;
        for (std::size_t l = 0; l < c; ++l) explained += serial[j * h + l] * serial[c * h + l];
        const double v = a[j * h + c] - explained;
        serial[j * h + c] = j == c ? std::sqrt(v) : v / serial[c * h + c];
      }
    }
    EXPECT_EQ(bits(semidefinite), bits(serial)) << h;
  }
}

// The row kernel (long rows eight at a time, four otherwise, AVX2 where
// present) against the generic loop: rows against one vector each dot4's
// sum, bit for bit, for counts and lengths on both sides of multiples of four.
TEST(DenseCholesky, RowKernelsKeepEachSum) {
  constexpr std::size_t kStride = 37;
  std::vector<double> rows(13 * kStride), x(kStride);
  for (std::size_t e = 0; e < rows.size(); ++e) rows[e] = std::sin(static_cast<double>(7 * e + 3));
  for (std::size_t c = 0; c < x.size(); ++c) x[c] = std::cos(static_cast<double>(5 * c)) * 1e3;
  for (const std::size_t count : {1, 3, 4, 5, 8, 9, 13}) {
    for (const std::size_t len : {0, 1, 4, 6, 13, 23, 37}) {
      std::vector<double> got(count, -1.0);
      detail::dot4_rows(x.data(), rows.data(), kStride, count, len, got.data());
      for (std::size_t r = 0; r < count; ++r)
        EXPECT_EQ(got[r], detail::dot4(rows.data() + r * kStride, x.data(), len)) << count << ", " << len;
    }
  }
}

// Two rows rescaled and measured in one pass are the two rows taken one
// after the other: the same entries, column maxima and row maxima, bit for bit.
TEST(EquilibrationKernels, TwoRowsAtOnceAreTwoPasses) {
  for (const std::size_t len : {0, 1, 3, 4, 7, 13}) {
    std::vector<double> a(len), b(len), delta(len), together(len, 0.25);
    for (std::size_t j = 0; j < len; ++j) {
      a[j] = std::sin(static_cast<double>(3 * j + 1)) * 3.0;
      b[j] = std::cos(static_cast<double>(5 * j + 2)) * 0.7;
      delta[j] = 0.5 + std::abs(std::sin(static_cast<double>(j)));
    }
    std::vector<double> a_alone = a, b_alone = b, apart = together;
    const double top_a =
        detail::rescale_raise_magnitudes(a_alone.data(), len, 1.3, delta.data(), apart.data());
    const double top_b =
        detail::rescale_raise_magnitudes(b_alone.data(), len, 0.6, delta.data(), apart.data());
    double tops[2];
    detail::rescale_raise_two(a.data(), b.data(), len, 1.3, 0.6, delta.data(), together.data(), tops);
    EXPECT_EQ(bits(a), bits(a_alone)) << len;
    EXPECT_EQ(bits(b), bits(b_alone)) << len;
    EXPECT_EQ(bits(together), bits(apart)) << len;
    EXPECT_EQ(tops[0], top_a) << len;
    EXPECT_EQ(tops[1], top_b) << len;
  }
}

TEST(SmwSystem, ScratchSolveDoesNotAllocate) {
  const QpProblem problem = dense::random_qp(4, shape(200, 6, 2, 4, true, true));
  const auto system = FactorizedSystem::create(problem, 1.0, 1e-6);
  ASSERT_TRUE(system.has_value());
  std::vector<double> r(200, 1.0);
  std::vector<double> scratch(system->smw.solve_scratch());
  const std::size_t before = allocation::count();
  system->smw.solve_in_place(r, scratch);
  EXPECT_EQ(allocation::count(), before);
  EXPECT_TRUE(std::all_of(r.begin(), r.end(), [](double e) { return std::isfinite(e) && e != 1.0; }));
}

// ---- Sparse columns ----

// U with one letter per column: 'd' a dense column, 's' a sparse one (one row
// in seven), '0' an all-zero column. Exactly the 'd' columns are stored densely.
struct PatternCase {
  std::string name;
  std::size_t n;
  std::string columns;
};

Matrix patterned(const PatternCase& c) {
  const std::size_t h = c.columns.size();
  dense::Random random(13 + c.n);
  Matrix u = Matrix::zeros(c.n, h);
  for (std::size_t i = 0; i < c.n; ++i) {
    for (std::size_t j = 0; j < h; ++j) {
      const char kind = c.columns[j];
      if (kind == 'd' || (kind == 's' && i % 7 == j % 7)) u(i, j) = random.uniform(-2.0, 2.0);
      if (kind == 'r') u(i, j) = u(i, j - 1);
      if (kind == 'n') u(i, j) = -u(i, j - 1);
      if (kind == 'm') u(i, j) = (i % 2 == 0 ? 1.0 : -1.0) * u(i, j - 1);  // same magnitudes, mixed signs
    }
  }
  return u;
}

// K = diag(g) + U·Uᵀ, dense.
DenseMatrix dense_system(std::span<const double> g, const Matrix& u) {
  const std::size_t n = u.rows();
  DenseMatrix k(n, std::vector<double>(n, 0.0));
  for (std::size_t i = 0; i < n; ++i) {
    k[i][i] = g[i];
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t m = 0; m < u.cols(); ++m) k[i][j] += u(i, m) * u(j, m);
    }
  }
  return k;
}

// U of the case's pattern and G drawn from [0.5, 3), factored.
class SparseTailTest : public ::testing::TestWithParam<PatternCase> {
 protected:
  void SetUp() override {
    u_ = patterned(GetParam());
    g_.resize(u_.rows());
    for (double& e : g_) e = random_.uniform(0.5, 3.0);
    auto system = SmwSystem::factor(
        g_, std::make_shared<const ReducedColumns>(ReducedColumns::from_matrix(u_, u_.cols())), 1.0);
    ASSERT_TRUE(system.has_value());
    system_ = std::move(*system);
  }

  dense::Random random_{29};
  Matrix u_;
  std::vector<double> g_;
  std::optional<SmwSystem> system_;
};

// The zero entries of sparse columns are skipped in the capacitance product
// and in both products of the solve; the system must still be G + U·Uᵀ.
TEST_P(SparseTailTest, FactorsAndSolvesTheFullSystem) {
  const PatternCase& c = GetParam();
  const Matrix& u = u_;
  const std::size_t n = c.n;
  const std::size_t h = u.cols();
  dense::Random& random = random_;
  const std::vector<double>& g = g_;
  const auto& system = system_;

  // A repeated ('r'), negated ('n') or second zero column reads the stored
  // column of the one it repeats with κ = ±1 (a column with the same
  // magnitudes but mixed signs ('m') does not); the stored 'd' columns are
  // dense, the others are listed through exactly their nonzero entries, row
  // by row in increasing stored column.
  const ReducedColumns& stored = system->columns();
  std::vector<std::size_t> primary;  // column of U each stored column copies
  std::optional<std::size_t> first_zero;
  for (std::size_t j = 0; j < h; ++j) {
    const char kind = c.columns[j];
    std::size_t source = primary.size();
    double sign = 1.0;
    if (kind == 'r' || kind == 'n') {
      source = stored.source(j - 1);
      sign = (kind == 'n' ? -1.0 : 1.0) * stored.multiplier(j - 1);
    } else if (kind == '0' && first_zero) {
      source = stored.source(*first_zero);
    } else {
      primary.push_back(j);
      if (kind == '0') first_zero = j;
    }
    EXPECT_EQ(stored.source(j), source) << j;
    EXPECT_EQ(stored.multiplier(j), sign) << j;
  }
  ASSERT_EQ(stored.stored(), primary.size());
  const std::size_t hw = primary.size();
  std::vector<std::size_t> dense;
  for (std::size_t s = 0; s < hw; ++s) {
    const std::size_t j = primary[s];
    if (c.columns[j] == 'd' || (c.columns[j] == 'm' && c.columns[j - 1] == 'd')) dense.push_back(s);
  }
  EXPECT_EQ(std::vector<std::size_t>(stored.dense_columns().begin(), stored.dense_columns().end()), dense);
  std::vector<std::pair<std::size_t, double>> listed, expected;
  for (std::size_t i = 0; i < n; ++i) {
    const auto columns = stored.sparse_columns_of(i);
    const auto values = stored.sparse_values_of(i);
    for (std::size_t e = 0; e < columns.size(); ++e) listed.emplace_back(i * hw + columns[e], values[e]);
    for (std::size_t s = 0; s < hw; ++s) {
      const double v = u(i, primary[s]);
      const bool is_dense = std::ranges::find(dense, s) != dense.end();
      if (!is_dense && v != 0.0) expected.emplace_back(i * hw + s, v);
    }
  }
  EXPECT_EQ(listed, expected);
  if (system->in_asset_space()) {
    expect_factor_of_full_system(*system, u);
  } else {
    // L_S·L_Sᵀ = I + UᵀG⁻¹U.
    const Matrix& l = system->capacitance_factor();
    for (std::size_t a = 0; a < h; ++a) {
      for (std::size_t b = 0; b <= a; ++b) {
        double s = a == b ? 1.0 : 0.0;
        for (std::size_t i = 0; i < n; ++i) s += u(i, a) * u(i, b) / g[i];
        double product = 0.0;
        for (std::size_t m = 0; m < h; ++m) product += l(a, m) * l(b, m);
        EXPECT_NEAR(product, s, 1e-12 * std::max(1.0, std::abs(s))) << a << ", " << b;
      }
    }
  }

  // (G + U·Uᵀ)·x = r against the dense solve.
  const DenseMatrix k = dense_system(g, u);
  std::vector<double> r(n);
  for (double& e : r) e = random.uniform(-5.0, 5.0);
  const std::vector<double> want = dense_solve(k, r);
  std::vector<double> x = r;
  system->solve_in_place(x);
  EXPECT_LE(max_abs_difference(x, want), 1e-10 * std::max(1.0, max_abs(want)));
}

// The iteration's two passes around the capacitance solve give
//   x = (G + U·Uᵀ)⁻¹·(g + U_{·,split:}·v),  image = U_{·,split:}ᵀ·x
// for every split of U's columns into leading and weighted ones, overwrite
// t and image rather than add to them, and report a non-finite x.
TEST_P(SparseTailTest, PassesSolveWithTheWeightedColumns) {
  const Matrix& u = u_;
  const std::size_t n = u.rows();
  const std::size_t h = u.cols();
  const DenseMatrix k = dense_system(g_, u);

  for (const std::size_t split : {std::size_t{0}, std::size_t{1}, h / 2, h}) {
    SCOPED_TRACE(split);
    const std::size_t m = h - split;
    // The columns [split, h) are the weighted (constraint) columns of V.
    const auto columns = std::make_shared<const ReducedColumns>(ReducedColumns::from_matrix(u, split));
    const auto system = SmwSystem::factor(g_, columns, 1.0);
    ASSERT_TRUE(system.has_value());
    std::vector<double> dense(columns->pass_scratch());
    std::vector<double> base(n), v(m);
    for (double& e : base) e = random_.uniform(-5.0, 5.0);
    for (double& e : v) e = random_.uniform(-2.0, 2.0);
    std::vector<double> r = base;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < m; ++j) r[i] += u(i, split + j) * v[j];
    }
    const std::vector<double> want = dense_solve(k, r);

    std::vector<double> g = base, t(h, 1e300), x(n), image(m, 1e300);
    system->project_rhs(g, v, t, dense);
    EXPECT_TRUE(system->back_substitute(g, t, x, image, dense));
    EXPECT_LE(max_abs_difference(x, want), 1e-10 * std::max(1.0, max_abs(want)));
    std::vector<double> want_image(m, 0.0);
    for (std::size_t j = 0; j < m; ++j) {
      for (std::size_t i = 0; i < n; ++i) want_image[j] += u(i, split + j) * x[i];
    }
    EXPECT_LE(max_abs_difference(image, want_image), 1e-12 * std::max(1.0, max_abs(want_image)));

    g = base;
    g[n - 1] = kInf;
    system->project_rhs(g, v, t, dense);
    EXPECT_FALSE(system->back_substitute(g, t, x, image, dense));
  }
}

// Everything a selection stores: the storage of each column, the compressed
// entries (a column shared with a dropped row may hold that row's values, so
// its entries may have the other sign, with κ's sign flipped too) and U
// written out, compared bit for bit.
void expect_same_storage(const ReducedColumns& got, const ReducedColumns& want) {
  ASSERT_EQ(got.rank(), want.rank());
  EXPECT_EQ(got.transform(), want.transform());
  EXPECT_EQ(got.stored(), want.stored());
  EXPECT_TRUE(std::ranges::equal(got.dense_columns(), want.dense_columns()));
  const auto magnitude = [](double v) { return std::abs(v); };
  for (std::size_t i = 0; i < want.assets(); ++i) {
    EXPECT_TRUE(std::ranges::equal(got.sparse_columns_of(i), want.sparse_columns_of(i))) << i;
    EXPECT_TRUE(
        std::ranges::equal(got.sparse_values_of(i), want.sparse_values_of(i), {}, magnitude, magnitude))
        << i;
  }
  for (std::size_t j = 0; j < want.rank(); ++j) {
    EXPECT_EQ(got.source(j), want.source(j)) << j;
    EXPECT_EQ(std::abs(got.multiplier(j)), std::abs(want.multiplier(j))) << j;
  }
  const Matrix a = got.materialize(0.75), b = want.materialize(0.75);
  EXPECT_TRUE(std::ranges::equal(a.data(), b.data()));
  // The products split each row's entries into factor and constraint ones.
  std::vector<double> x(want.assets());
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1.0 + 0.125 * static_cast<double>(i % 5);
  const std::size_t k = want.factors(), m = want.rank() - k;
  std::vector<double> t_got(k), t_want(k), image_got(m), image_want(m);
  got.transpose_products(x, t_got, {});
  want.transpose_products(x, t_want, {});
  got.constraint_image(x, image_got);
  want.constraint_image(x, image_want);
  EXPECT_EQ(t_got, t_want);
  EXPECT_EQ(image_got, image_want);
}

// Taking the factor columns and some constraint columns out of the stored V,
// their entries scaled or not, is building V from those rows: for either kind of Ω, for every subset of
// the rows (in order or not), and when a dropped row is not finite (then the
// whole V is dense, but the selection's own rows are not).
TEST_P(SparseTailTest, SelectionIsBuildingFromTheKeptRows) {
  const Matrix& u = u_;
  const std::size_t n = u.rows();
  const std::size_t h = u.cols();
  const std::size_t k = std::min<std::size_t>(2, h);
  Matrix factors = Matrix::zeros(n, k);
  std::vector<std::vector<double>> rows(h - k, std::vector<double>(n));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < k; ++j) factors(i, j) = u(i, j);
    for (std::size_t j = k; j < h; ++j) rows[j - k][i] = u(i, j);
  }
  std::vector<const double*> all;
  for (const auto& row : rows) all.push_back(row.data());
  Matrix omega = Matrix::zeros(k, k);
  for (std::size_t a = 0; a < k; ++a) omega(a, a) = 0.5 + static_cast<double>(a);
  if (k == 2) omega(0, 1) = omega(1, 0) = 0.25;
  const std::vector<FactorQuad> quadratics = {
      dense_form(factors, omega), FactorQuad{factors, FactorCovariance::diagonal(std::vector<double>(k, 0.3)),
                                             std::vector<double>(n, 0.0)}};

  std::vector<std::vector<std::size_t>> subsets = {{}, {}, {}};
  for (std::size_t r = 0; r < all.size(); ++r) {
    subsets[0].push_back(r);
    if (r % 2 == 1) subsets[1].push_back(r);
  }
  if (!all.empty()) subsets[2] = {all.size() - 1};
  if (all.size() > 1) subsets.push_back({all.size() - 1, 0});
  for (bool poisoned : {false, true}) {
    if (poisoned && all.size() < 2) continue;
    if (poisoned) rows[0][n / 2] = kNaN;
    const ReducedColumns data = ReducedColumns::of_data(factors, all);
    for (const auto& quadratic : quadratics) {
      for (const auto& kept : subsets) {
        if (poisoned && std::ranges::find(kept, std::size_t{0}) != kept.end()) continue;
        SCOPED_TRACE(testing::Message() << "poisoned " << poisoned << ", kept " << kept.size());
        std::vector<const double*> kept_rows;
        for (std::size_t r : kept) kept_rows.push_back(all[r]);
        const auto got = data.select(quadratic, kept, kept_rows);
        const auto want = ReducedColumns::create(quadratic, kept_rows);
        ASSERT_TRUE(got.has_value() && want.has_value());
        expect_same_storage(*got, *want);
        // Scaled (a power of two, a scale that rounds, one that overflows):
        // building from the scaled rows.
        for (const double scale : {1024.0, 1.0 / 3.0, 1e300}) {
          std::vector<std::vector<double>> scaled(kept_rows.size(), std::vector<double>(n));
          std::vector<const double*> scaled_rows;
          for (std::size_t r = 0; r < kept_rows.size(); ++r) {
            for (std::size_t i = 0; i < n; ++i) scaled[r][i] = kept_rows[r][i] * scale;
            scaled_rows.push_back(scaled[r].data());
          }
          SCOPED_TRACE(testing::Message() << "scale " << scale);
          const auto got_scaled =
              data.scaled_selection(quadratic, kept, kept_rows, scale, data.compressed_rows());
          const auto want_scaled = ReducedColumns::create(quadratic, scaled_rows, &data);
          ASSERT_TRUE(got_scaled.has_value() && want_scaled.has_value());
          expect_same_storage(*got_scaled, *want_scaled);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, SparseTailTest,
    ::testing::Values(PatternCase{"tail_after_dense_columns", 40, "ddddsss"},
                      PatternCase{"sparse_columns_inside_the_dense_block", 41, "sdsdsss"},
                      PatternCase{"all_sparse", 33, "ssss"}, PatternCase{"zero_columns", 22, "d00s"},
                      PatternCase{"tiles_in_place", 50, "ddddddddssss"},
                      PatternCase{"padded_tiles_without_tail", 10, "ddd"},
                      PatternCase{"padded_tiles_with_tail", 37, "ddddddddds"},
                      PatternCase{"sparse_between_dense", 45, "dsdssdsd"},
                      PatternCase{"more_rank_than_rows", 3, "ddddd"},
                      PatternCase{"repeated_and_negated_columns", 43, "dnsrdrnssnd"},
                      PatternCase{"negated_repeats_inside_sparse", 30, "snrn0s0d"},
                      PatternCase{"same_magnitudes_mixed_signs", 36, "dmnsmr"},
                      PatternCase{"several_row_blocks", 150, "ddddsss"}),
    [](const auto& info) { return info.param.name; });

// ---- Factorisation failures ----

struct BreakdownCase {
  std::string name;
  std::vector<double> diagonal;
  std::vector<double> low_rank;  // n×2
  bool fails;
};

class SmwFactorTest : public ::testing::TestWithParam<BreakdownCase> {};

TEST_P(SmwFactorTest, BreakdownIsReported) {
  const BreakdownCase& c = GetParam();
  const std::size_t n = c.diagonal.size();
  const auto columns =
      std::make_shared<const ReducedColumns>(ReducedColumns::from_matrix(dense::matrix(n, 2, c.low_rank), 2));
  const auto system = SmwSystem::factor(c.diagonal, columns, 1.0);
  if (!c.fails) {
    ASSERT_TRUE(system.has_value());
    EXPECT_EQ(system->rank(), 2U);
    EXPECT_EQ(system->in_asset_space(), n <= 2);
    return;
  }
  ASSERT_FALSE(system.has_value());
  EXPECT_EQ(system.error().kind, SolverError::Kind::ReducedFactorizationFailed);
  EXPECT_EQ(system.error().message(), "failed to factor the reduced linear system");
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SmwFactorTest,
    ::testing::Values(BreakdownCase{"regular", {1.0, 2.0}, {1, 0, 0, 1}, false},
                      BreakdownCase{"no_assets", {}, {}, false},
                      BreakdownCase{"nan_diagonal", {1.0, kNaN}, {1, 0, 0, 1}, true},
                      BreakdownCase{"infinite_entry", {1.0, 1.0}, {kInf, 0, 0, 1}, true},
                      // u·u/g overflows to +inf in the first pivot.
                      BreakdownCase{"overflow", {1.0, 1.0}, {1e200, 1.0, 1.0, 1.0}, true},
                      // g = 1e300 makes S = I up to rounding: still fine.
                      BreakdownCase{"huge_diagonal", {1e300, 1e300}, {1, 2, 3, 4}, false},
                      // Three assets and rank two: the capacitance S itself is factored.
                      BreakdownCase{"capacitance_regular", {1.0, 2.0, 3.0}, {1, 0, 0, 1, 1, 1}, false},
                      BreakdownCase{"capacitance_nan_diagonal", {1.0, kNaN, 2.0}, {1, 0, 0, 1, 1, 1}, true},
                      BreakdownCase{"capacitance_zero_diagonal", {1.0, 0.0, 2.0}, {1, 0, 0, 1, 1, 1}, true},
                      BreakdownCase{
                          "capacitance_infinite_entry", {1.0, 1.0, 1.0}, {kInf, 0, 0, 1, 1, 1}, true},
                      BreakdownCase{"capacitance_overflow", {1.0, 1.0, 1.0}, {1e200, 1, 1, 1, 1, 1}, true}),
    [](const auto& info) { return info.param.name; });

// ---- Factorisation cache ----

class SystemCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    problem_ = dense::random_qp(9, shape(12, 2, 1, 2, true, false));
    // As a workspace starts: one system for the initial ρ, counter 1.
    ASSERT_TRUE(cache_.ensure(problem_, 1.0, sigma_).has_value());
    ASSERT_EQ(cache_.factorizations(), 1U);
  }

  std::vector<double> keys() const {
    std::vector<double> out;
    for (const auto& entry : cache_) out.push_back(entry.first);
    return out;
  }

  void ensure(double rho) { ensure(rho, sigma_); }
  void ensure(double rho, double sigma) {
    const auto result = cache_.ensure(problem_, rho, sigma);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(*result, &cache_.front().second);
    ASSERT_EQ(cache_.front().first, rho);
    ASSERT_EQ(cache_.front().second.rho, rho);
    ASSERT_EQ(cache_.front().second.sigma, sigma);
  }
  std::uint64_t counter() const { return cache_.factorizations(); }

  QpProblem problem_;
  SystemCache cache_;
  double sigma_ = 1e-6;
};

TEST_F(SystemCacheTest, HitsMoveToFrontWithoutBuilding) {
  ensure(1.0);
  EXPECT_EQ(counter(), 1U);
  ensure(2.0);
  ensure(4.0);
  EXPECT_EQ(keys(), (std::vector<double>{4.0, 2.0, 1.0}));
  EXPECT_EQ(counter(), 3U);
  ensure(1.0);
  EXPECT_EQ(keys(), (std::vector<double>{1.0, 4.0, 2.0}));
  EXPECT_EQ(counter(), 3U);
  ensure(4.0);
  EXPECT_EQ(keys(), (std::vector<double>{4.0, 1.0, 2.0}));
  EXPECT_EQ(counter(), 3U);

  // Each entry solves its own system: G⁻¹ carries its ρ.
  for (const auto& [rho, system] : cache_) {
    const double g = problem_.quadratic.diagonal[0] + sigma_ + rho;
    EXPECT_NEAR(system.smw.inverse_diagonal()[0], 1.0 / g, 1e-15 / g);
  }
}

TEST_F(SystemCacheTest, EvictsLeastRecentlyUsedBeyondSixteen) {
  std::vector<double> rhos;
  for (int i = 1; i <= 16; ++i) rhos.push_back(1.0 + 0.125 * i);
  for (double rho : rhos) ensure(rho);
  EXPECT_EQ(counter(), 17U);
  ASSERT_EQ(cache_.size(), kMaxCachedSystems);
  std::vector<double> expected(rhos.rbegin(), rhos.rend());
  EXPECT_EQ(keys(), expected);  // the initial ρ = 1 is gone

  // Touch the oldest survivor, then one new ρ evicts the next oldest.
  ensure(rhos.front());
  ensure(100.0);
  EXPECT_EQ(counter(), 18U);
  EXPECT_EQ(cache_.size(), kMaxCachedSystems);
  EXPECT_EQ(cache_[1].first, rhos.front());
  const std::vector<double> after = keys();
  EXPECT_EQ(std::count(after.begin(), after.end(), rhos[1]), 0);
  ensure(1.0);  // rebuilt after eviction
  EXPECT_EQ(counter(), 19U);
}

TEST_F(SystemCacheTest, KeysCompareByBitPattern) {
  const double next = 1.0 + 0x1.0p-52;
  ensure(next);
  EXPECT_EQ(counter(), 2U);
  EXPECT_EQ(keys(), (std::vector<double>{next, 1.0}));
  ensure(1.0);
  EXPECT_EQ(counter(), 2U);
}

// σ is an input of the system as much as ρ: the same ρ under another σ (even
// one differing in the last bit) is another system, with σ in its G.
TEST_F(SystemCacheTest, KeysIncludeSigma) {
  const double sigmas[] = {1e-3, sigma_ * (1.0 + 0x1.0p-52)};
  for (double sigma : sigmas) ensure(1.0, sigma);
  EXPECT_EQ(counter(), 3U);
  EXPECT_EQ(keys(), (std::vector<double>{1.0, 1.0, 1.0}));
  ensure(1.0);  // the original (1, σ) pair is a hit
  EXPECT_EQ(counter(), 3U);
  ensure(1.0, sigmas[0]);
  EXPECT_EQ(counter(), 3U);
  EXPECT_EQ(cache_[1].second.sigma, sigma_);
  EXPECT_EQ(cache_[2].second.sigma, sigmas[1]);
  for (const auto& [rho, system] : cache_) {
    const double g = problem_.quadratic.diagonal[0] + system.sigma + rho;
    EXPECT_NEAR(system.smw.inverse_diagonal()[0], 1.0 / g, 1e-15 / g);
  }
}

TEST_F(SystemCacheTest, FailedBuildLeavesCacheUnchanged) {
  ensure(2.0);
  const std::vector<double> before = keys();
  QpProblem broken = problem_;
  broken.quadratic.omega = FactorCovariance::dense(dense::matrix(2, 2, {1.0, 2.0, 2.0, 1.0}));

  const auto miss = cache_.ensure(broken, 3.0, sigma_);
  ASSERT_FALSE(miss.has_value());
  EXPECT_EQ(miss.error().kind, SolverError::Kind::CovarianceNotPositiveSemidefinite);
  EXPECT_EQ(keys(), before);
  EXPECT_EQ(counter(), 2U);

  // A hit never rebuilds, so it cannot fail on the same data.
  EXPECT_TRUE(cache_.ensure(broken, 1.0, sigma_).has_value());
  EXPECT_EQ(keys(), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(counter(), 2U);
}

}  // namespace
}  // namespace morva
