#include "morva/matrix.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "factor_products.hpp"
#include "factor_rows.hpp"
#include "large_storage.hpp"
#include "morva/large_storage.hpp"
#include "support/allocation_counter.hpp"
#include "support/dense.hpp"

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t k2Pow32 = std::uint64_t{1} << 32;

using dense::compressed_factors;
using dense::matrix;

// ---------------------------------------------------------------- Matrix

TEST(Matrix, CreateStoresRowMajor) {
  const Matrix m = matrix(2, 3, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(m.rows(), 2u);
  EXPECT_EQ(m.cols(), 3u);
  EXPECT_EQ(m(0, 2), 3.0);
  EXPECT_EQ(m(1, 0), 4.0);
  EXPECT_EQ(std::vector<double>(m.row(1).begin(), m.row(1).end()), (std::vector<double>{4, 5, 6}));
}

TEST(Matrix, CreateRejectsOverflowBeforeShape) {
  struct Case {
    std::uint64_t rows, cols;
    std::size_t values;
    std::string message;
  };
  const std::vector<Case> cases = {
      {3, 2, 5, "matrix shape 3x2 requires 6 values, got 5"},
      {3, 2, 7, "matrix shape 3x2 requires 6 values, got 7"},
      {0, 4, 1, "matrix shape 0x4 requires 0 values, got 1"},
      {k2Pow32, k2Pow32, 0, "matrix dimensions 4294967296x4294967296 overflow the address space"},
      // Overflow is reported even though a few values were supplied.
      {k2Pow32, k2Pow32, 3, "matrix dimensions 4294967296x4294967296 overflow the address space"},
      {kU64Max, 2, 0, "matrix dimensions 18446744073709551615x2 overflow the address space"},
      // The largest product that still fits is a shape mismatch, not an overflow.
      {k2Pow32, k2Pow32 - 1, 0,
       "matrix shape 4294967296x4294967295 requires 18446744069414584320 values, got 0"},
      {kU64Max, 1, 0, "matrix shape 18446744073709551615x1 requires 18446744073709551615 values, got 0"},
  };
  for (const auto& c : cases) {
    const auto m = Matrix::create(c.rows, c.cols, std::vector<double>(c.values, 1.0));
    ASSERT_FALSE(m.has_value()) << c.message;
    EXPECT_EQ(m.error().message(), c.message);
  }
  EXPECT_EQ(Matrix::create(k2Pow32, k2Pow32, {}).error().kind, MatrixError::Kind::DimensionOverflow);
  EXPECT_EQ(Matrix::create(3, 2, {1}).error().kind, MatrixError::Kind::ShapeMismatch);
}

TEST(Matrix, FromRowsRejectsRaggedRows) {
  const auto ok = Matrix::from_rows({{1, 2, 3}, {4, 5, 6}}, 3);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, matrix(2, 3, {1, 2, 3, 4, 5, 6}));

  const auto empty = Matrix::from_rows({}, 4);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->rows(), 0u);
  EXPECT_EQ(empty->cols(), 4u);

  struct Case {
    std::vector<std::vector<double>> rows;
    std::uint64_t cols;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{1, 2, 3}, {4, 5}}, 3, "matrix row 1 has 2 columns; expected 3"},
      {{{1, 2}, {4, 5, 6}}, 2, "matrix row 1 has 3 columns; expected 2"},
      {{{1, 2, 3}, {4, 5, 6}}, 2, "matrix row 0 has 3 columns; expected 2"},
      {{{}}, 1, "matrix row 0 has 0 columns; expected 1"},
  };
  for (const auto& c : cases) {
    const auto m = Matrix::from_rows(c.rows, c.cols);
    ASSERT_FALSE(m.has_value()) << c.message;
    EXPECT_EQ(m.error().kind, MatrixError::Kind::RaggedRow);
    EXPECT_EQ(m.error().message(), c.message);
  }
}

TEST(Matrix, MulVecSumsOverCommonColumns) {
  struct Case {
    Matrix a;
    std::vector<double> x;
    std::vector<double> expected;
  };
  const std::vector<Case> cases = {
      // [1 2 3; 4 5 6]·[1, 0.5, -1] = [1 + 1 - 3, 4 + 2.5 - 6]
      {matrix(2, 3, {1, 2, 3, 4, 5, 6}), {1, 0.5, -1}, {-1, 0.5}},
      // A shorter x uses only the leading columns.
      {matrix(2, 3, {1, 2, 3, 4, 5, 6}), {1, 1}, {3, 9}},
      // Zero columns: a vector of zeros, one per row.
      {matrix(3, 0, {}), {}, {0, 0, 0}},
      // Zero rows: an empty vector.
      {matrix(0, 5, {}), {1, 2, 3, 4, 5}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a.mul_vec(c.x), c.expected);
  }
}

TEST(Matrix, ZerosHasShapeAndZeroEntries) {
  const Matrix z = Matrix::zeros(2, 3);
  EXPECT_EQ(z, matrix(2, 3, std::vector<double>(6, 0.0)));
  EXPECT_EQ(Matrix::zeros(0, 4).cols(), 4u);
}

// ---------------------------------------------------------------- FactorQuad validation

// A valid 3-asset, 2-factor form with a dense Ω; every case breaks one rule.
struct FormFixture {
  Matrix factors = matrix(3, 2, {0.5, 1.0, -0.25, 2.0, 1.5, 0.0});
  Matrix omega = matrix(2, 2, {0.04, 0.01, 0.01, 0.09});
  std::vector<double> diagonal = {0.01, 0.02, 0.03};

  FactorQuad dense() const { return {factors, FactorCovariance::dense(omega), diagonal}; }
  FactorQuad diag(std::vector<double> w) const {
    return {factors, FactorCovariance::diagonal(std::move(w)), diagonal};
  }
};

struct ErrorCase {
  std::string label;
  FactorQuad form;
  ProblemError::Kind kind;
  std::string message;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
  for (const auto& c : cases) {
    const auto result = c.form.validate();
    ASSERT_FALSE(result.has_value()) << c.label;
    EXPECT_EQ(result.error().kind, c.kind) << c.label;
    EXPECT_EQ(result.error().message(), c.message) << c.label;
  }
}

TEST(FactorQuadValidate, DimensionMismatch) {
  const FormFixture f;
  std::vector<ErrorCase> cases;
  {
    auto q = f.dense();
    q.diagonal.pop_back();
    cases.push_back({"short diagonal", q, ProblemError::Kind::DimensionMismatch,
                     "quadratic.diagonal has dimension 2; expected 3"});
  }
  {
    auto q = f.dense();
    q.diagonal = {kNaN, 1, 1, 1};  // length first, values never looked at
    q.written_factors()(0, 0) = kNaN;
    cases.push_back({"long diagonal with NaN", q, ProblemError::Kind::DimensionMismatch,
                     "quadratic.diagonal has dimension 4; expected 3"});
  }
  {
    auto q = f.dense();
    q.omega = FactorCovariance::dense(matrix(3, 3, std::vector<double>(9, kNaN)));
    cases.push_back({"dense omega 3x3", q, ProblemError::Kind::DimensionMismatch,
                     "quadratic.omega has dimension 3; expected 2"});
  }
  {
    auto q = f.dense();
    q.omega = FactorCovariance::dense(matrix(1, 2, {1, 2}));  // rows decide, not columns
    cases.push_back({"dense omega 1x2", q, ProblemError::Kind::DimensionMismatch,
                     "quadratic.omega has dimension 1; expected 2"});
  }
  cases.push_back({"diagonal omega wrong length with NaN", f.diag({kNaN}),
                   ProblemError::Kind::DimensionMismatch, "quadratic.omega has dimension 1; expected 2"});
  cases.push_back({"diagonal omega too long", f.diag({1, 1, 1}), ProblemError::Kind::DimensionMismatch,
                   "quadratic.omega has dimension 3; expected 2"});
  expect_errors(cases);
}

TEST(FactorQuadValidate, NonFinite) {
  const FormFixture f;
  std::vector<ErrorCase> cases;
  for (double bad : {kNaN, kInf, -kInf}) {
    auto q = f.dense();
    q.written_factors()(2, 1) = bad;
    q.diagonal[0] = -1.0;  // rule on F precedes the one on d
    cases.push_back({"factor entry", q, ProblemError::Kind::NonFinite,
                     "quadratic.factors contains a non-finite coefficient"});
  }
  for (double bad : {kNaN, kInf}) {
    auto q = f.dense();
    q.omega.dense_matrix()(1, 0) = bad;  // also asymmetric: finiteness is checked first
    cases.push_back({"omega entry", q, ProblemError::Kind::NonFinite,
                     "quadratic.omega contains a non-finite coefficient"});
  }
  expect_errors(cases);
}

TEST(FactorQuadValidate, NonConvex) {
  const FormFixture f;
  const std::string diag_reason =
      "non-convex quadratic data: quadratic diagonal must be finite and non-negative";
  const std::string omega_reason =
      "non-convex quadratic data: factor covariance diagonal must be finite and non-negative";
  std::vector<ErrorCase> cases;
  for (double bad : {-1e-300, -1.0, kNaN, kInf}) {
    auto q = f.dense();
    q.diagonal[1] = bad;
    q.omega.dense_matrix()(0, 1) = 5.0;  // asymmetric Ω: the rule on d comes first
    cases.push_back({"diagonal", q, ProblemError::Kind::NonConvex, diag_reason});
  }
  for (double bad : {-1e-300, kNaN, kInf}) {
    cases.push_back({"factor variance", f.diag({0.1, bad}), ProblemError::Kind::NonConvex, omega_reason});
  }
  {
    auto q = f.diag({-1.0, 0.1});
    q.diagonal[0] = -1.0;
    cases.push_back({"both diagonals", q, ProblemError::Kind::NonConvex, diag_reason});
  }
  expect_errors(cases);
}

TEST(FactorQuadValidate, NotSquare) {
  const FormFixture f;
  auto q = f.dense();
  q.omega = FactorCovariance::dense(matrix(2, 3, {1, 0, kNaN, 0, 1, 0}));  // shape before finiteness
  expect_errors({{"2x3 omega", q, ProblemError::Kind::NotSquare, "quadratic.omega must be square"}});
}

TEST(FactorQuadValidate, NotSymmetric) {
  const FormFixture f;
  // At magnitude ≤ 1 the tolerance is 1e-12 absolute; at 1e6 it is 1e-6.
  struct Asym {
    double upper, lower;
  };
  const std::vector<Asym> asym = {
      {0.5, 0.5 + 1e-11}, {1.0, 1.0 + 1e-11}, {0.0, 2e-12}, {1e6, 1e6 + 1e-5}, {-3.0, 3.0}};
  std::vector<ErrorCase> cases;
  for (const auto& a : asym) {
    auto q = f.dense();
    q.omega.dense_matrix()(0, 1) = a.upper;
    q.omega.dense_matrix()(1, 0) = a.lower;
    cases.push_back(
        {"asymmetric pair", q, ProblemError::Kind::NotSymmetric, "quadratic.omega must be symmetric"});
  }
  expect_errors(cases);
}

TEST(FactorQuadValidate, AcceptsBoundaryCases) {
  const FormFixture f;
  std::vector<std::pair<std::string, FactorQuad>> cases;
  cases.push_back({"dense fixture", f.dense()});
  cases.push_back({"diagonal omega", f.diag({0.04, 0.09})});
  {
    auto q = f.dense();
    q.diagonal[2] = -0.0;
    cases.push_back({"negative zero variance", q});
  }
  cases.push_back({"negative zero factor variance", f.diag({-0.0, 0.0})});
  {
    auto q = f.dense();
    q.omega.dense_matrix()(1, 0) = 0.01 + 1e-13;
    cases.push_back({"1e-13 asymmetry", q});
  }
  {
    // |Δ| = 2⁻⁴⁰ ≈ 9.1e-13 ≤ 1e-12 at magnitude 1: inside the tolerance.
    auto q = f.dense();
    q.omega.dense_matrix()(0, 1) = 1.0;
    q.omega.dense_matrix()(1, 0) = 1.0 + std::ldexp(1.0, -40);
    cases.push_back({"asymmetry just inside", q});
  }
  {
    auto q = f.dense();
    q.omega.dense_matrix()(0, 1) = 1e6;
    q.omega.dense_matrix()(1, 0) = 1e6 + 1e-7;
    cases.push_back({"relative asymmetry 1e-13", q});
  }
  cases.push_back(
      {"no factors, dense", FactorQuad{matrix(3, 0, {}), FactorCovariance::dense(Matrix{}), {1, 2, 3}}});
  cases.push_back(
      {"no factors, diagonal", FactorQuad{matrix(3, 0, {}), FactorCovariance::diagonal({}), {1, 2, 3}}});
  cases.push_back({"no assets", FactorQuad{matrix(0, 2, {}), FactorCovariance::diagonal({1, 1}), {}}});
  for (const auto& [label, form] : cases) {
    EXPECT_TRUE(form.validate().has_value()) << label;
  }
  // Just outside: 2⁻³⁹ ≈ 1.8e-12.
  auto q = f.dense();
  q.omega.dense_matrix()(0, 1) = 1.0;
  q.omega.dense_matrix()(1, 0) = 1.0 + std::ldexp(1.0, -39);
  EXPECT_FALSE(q.validate().has_value());
}

TEST(FactorQuadCreate, ValidatesTheAssembledForm) {
  const FormFixture f;
  const auto ok = FactorQuad::create(f.factors, FactorCovariance::dense(f.omega), f.diagonal);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, f.dense());
  const auto bad = FactorQuad::create(f.factors, FactorCovariance::dense(f.omega), {0.1, 0.2});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().message(), "quadratic.diagonal has dimension 2; expected 3");
}

TEST(FactorCovariance, SizeIsRowsOrLength) {
  EXPECT_EQ(FactorCovariance::dense(matrix(2, 3, std::vector<double>(6))).size(), 2u);
  EXPECT_EQ(FactorCovariance::diagonal({1, 2, 3, 4}).size(), 4u);
}

// ---------------------------------------------------------------- FactorQuad application

// P = diag(d) + F·Ω·Fᵀ formed entry by entry.
std::vector<double> dense_apply(const FactorQuad& q, const std::vector<double>& x) {
  const std::size_t n = q.assets();
  const std::size_t k = q.factor_count();
  auto omega = [&](std::size_t a, std::size_t b) {
    if (q.omega.is_dense()) return q.omega.dense_matrix()(a, b);
    return a == b ? q.omega.diagonal_values()[a] : 0.0;
  };
  std::vector<double> y(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double p = i == j ? q.diagonal[i] : 0.0;
      for (std::size_t a = 0; a < k; ++a) {
        for (std::size_t b = 0; b < k; ++b) p += q.factors()(i, a) * omega(a, b) * q.factors()(j, b);
      }
      y[i] += p * x[j];
    }
  }
  return y;
}

FactorQuad random_form(std::mt19937_64& rng, std::size_t n, std::size_t k, bool dense) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> positive(0.01, 1.0);
  std::vector<double> f(n * k), d(n);
  for (auto& v : f) v = normal(rng);
  for (auto& v : d) v = positive(rng);
  if (!dense) {
    std::vector<double> w(k);
    for (auto& v : w) v = positive(rng);
    return {matrix(n, k, f), FactorCovariance::diagonal(w), d};
  }
  // Ω = G·Gᵀ, symmetric positive semidefinite.
  std::vector<double> g(k * k), w(k * k, 0.0);
  for (auto& v : g) v = normal(rng);
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t b = 0; b < k; ++b)
      for (std::size_t c = 0; c < k; ++c) w[a * k + b] += g[a * k + c] * g[b * k + c];
  return {matrix(n, k, f), FactorCovariance::dense(matrix(k, k, w)), d};
}

TEST(FactorQuadApply, MatchesFormedMatrix) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(0.0, 1.0);
  struct Shape {
    std::size_t n, k;
    bool dense;
  };
  // k ≥ 8 sums the rows of F·s in four partial sums: 8 (no tail), 9 and 11 (tails), 16.
  for (const Shape s : {Shape{5, 2, true}, Shape{5, 2, false}, Shape{12, 4, true}, Shape{9, 9, false},
                        Shape{1, 3, true}, Shape{10, 8, true}, Shape{7, 11, false}, Shape{4, 16, true}}) {
    const FactorQuad q = random_form(rng, s.n, s.k, s.dense);
    ASSERT_TRUE(q.validate().has_value());
    std::vector<double> x(s.n);
    for (auto& v : x) v = normal(rng);
    const auto expected = dense_apply(q, x);
    const auto y = q.apply(x);
    ASSERT_EQ(y.size(), s.n);
    for (std::size_t i = 0; i < s.n; ++i)
      EXPECT_NEAR(y[i], expected[i], 1e-12 * (1.0 + std::abs(expected[i])));
  }
}

// Below eight factors every sum runs left to right in index order:
// t_j = Σ_i x_i·F_ij, s = Ω·t, y_i = d_i·x_i + Σ_j F_ij·s_j.
TEST(FactorQuadApply, FewFactorsSumLeftToRightExactly) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (std::size_t k = 1; k < 8; ++k) {
    for (bool dense : {true, false}) {
      SCOPED_TRACE(testing::Message() << "k = " << k << (dense ? " dense" : " diagonal"));
      const std::size_t n = 6;
      const FactorQuad q = random_form(rng, n, k, dense);
      std::vector<double> x(n);
      for (auto& v : x) v = normal(rng);
      std::vector<double> t(k, 0.0), s(k, 0.0), expected(n);
      for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < k; ++j) t[j] += x[i] * q.factors()(i, j);
      for (std::size_t a = 0; a < k; ++a) {
        if (!dense) {
          s[a] = t[a] * q.omega.diagonal_values()[a];
          continue;
        }
        for (std::size_t b = 0; b < k; ++b) s[a] += q.omega.dense_matrix()(a, b) * t[b];
      }
      for (std::size_t i = 0; i < n; ++i) {
        double dot = 0.0;
        for (std::size_t j = 0; j < k; ++j) dot += q.factors()(i, j) * s[j];
        expected[i] = q.diagonal[i] * x[i] + dot;
      }
      EXPECT_EQ(q.apply(x), expected);
    }
  }
}

TEST(FactorQuadApply, NoFactorsIsDiagonalScaling) {
  const FactorQuad q{matrix(3, 0, {}), FactorCovariance::diagonal({}), {2.0, 0.5, -0.0}};
  EXPECT_EQ(q.apply(std::vector<double>{1.5, -4.0, 3.0}), (std::vector<double>{3.0, -2.0, 0.0}));
  const FactorQuad qd{matrix(2, 0, {}), FactorCovariance::dense(Matrix{}), {3.0, 1.0}};
  EXPECT_EQ(qd.apply(std::vector<double>{2.0, -1.0}), (std::vector<double>{6.0, -1.0}));
}

TEST(FactorQuadApply, HandWorkedDenseExample) {
  // F = [1; 2], Ω = [3], d = (1, 2): P = [4 6; 6 14]; P·(1, -1) = (-2, -8).
  const FactorQuad q{matrix(2, 1, {1, 2}), FactorCovariance::dense(matrix(1, 1, {3})), {1, 2}};
  EXPECT_EQ(q.apply(std::vector<double>{1, -1}), (std::vector<double>{-2, -8}));
  // A shorter x yields min(len x, n) entries and uses only the leading assets:
  // t = 1·1 = 1, s = 3, y₀ = 1·1 + 1·3.
  EXPECT_EQ(q.apply(std::vector<double>{1}), (std::vector<double>{4}));
}

TEST(FactorQuadApply, IntoMatchesApplyWithoutAllocating) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (bool dense : {true, false}) {
    const FactorQuad q = random_form(rng, 20, 3, dense);
    std::vector<double> x(20), out(20), t(3), s(3);
    for (auto& v : x) v = normal(rng);
    const std::size_t before_apply = allocation::count();
    const auto expected = q.apply(x);
    // apply allocates its output and scratch, so the counter is live.
    EXPECT_GT(allocation::count(), before_apply);
    const std::size_t before = allocation::count();
    q.apply_into(x, out, t, s);
    const std::size_t after = allocation::count();
    EXPECT_EQ(after, before) << "apply_into allocated";
    EXPECT_EQ(out, expected);  // bit-identical arithmetic
  }
}

std::vector<std::uint64_t> bits(std::span<const double> v) {
  std::vector<std::uint64_t> out(v.size());
  std::memcpy(out.data(), v.data(), v.size() * sizeof(double));
  return out;
}

// Rows of an industry model: a market column, one of five indicators and,
// on odd rows, the last two columns, with zeros of both signs elsewhere; a
// zero row (3) and a dense row now and then. apply skips their all-zero column groups
// and must give apply_into's bits for every k mod 4, for an x with zeros of
// both signs, and where x or s is not finite, so that a skipped 0·∞ would
// have been NaN: an infinite x at the zero row, and an x of 1e308 on one
// industry, whose t (and, for a diagonal Ω, s) entry overflows.
TEST(FactorQuadApply, SkippingZeroColumnsKeepsTheBits) {
  std::mt19937_64 rng(13);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (std::size_t k : {13, 14, 15, 16, 24, 41, 64, 65}) {
    SCOPED_TRACE(testing::Message() << "k = " << k);
    const std::size_t n = kReadOnceMinEntries / k + 1;  // large enough to be read once
    FactorQuad q = random_form(rng, n, k, k % 2 == 0);
    auto industry = [k](std::size_t i) { return 1 + (i % 5) * ((k - 3) / 5); };
    for (std::size_t i = 0; i < n; ++i) {
      if (i % 17 == 16) continue;
      for (std::size_t c = 0; c < k; ++c) {
        const bool kept = (c == 0 || c == industry(i) || (i % 2 == 1 && c + 2 >= k)) && i != 3;
        if (!kept) q.written_factors()(i, c) = (i + c) % 2 == 1 ? -0.0 : 0.0;
      }
    }
    std::vector<double> x(n);
    for (auto& v : x) v = normal(rng);
    x[2] = -0.0;
    x[5] = 0.0;
    std::vector<double> overflowing = x;
    for (std::size_t i = 2; i < n; i += 5) overflowing[i] = 1e308;
    std::vector<double> infinite = x;
    infinite[3] = std::numeric_limits<double>::infinity();
    // The same form made by create() records F's nonzero groups in the read
    // that checks it (from k = 64 few enough of them hold a nonzero); a copy
    // whose F is then written must not use them.
    auto recorded = FactorQuad::create(q.factors(), q.omega, q.diagonal);
    ASSERT_TRUE(recorded.has_value());
    if (k >= 64) {
      ASSERT_NE(recorded->row_groups(), nullptr);
    }
    FactorQuad written = *recorded;
    written.written_factors()(3, 0) = 2.5;
    for (const auto& v : {x, overflowing, infinite}) {
      std::vector<double> out(n), t(k), s(k);
      q.apply_into(v, out, t, s);
      EXPECT_EQ(bits(q.apply(v)), bits(out));
      EXPECT_EQ(bits(recorded->apply(v)), bits(out));
      // P·x from a given Fᵀx: the record's rows give the plain rows' bits.
      std::vector<double> from_record(n), plain(n), given_t(k);
      for (std::size_t l = 0; l < k; ++l) given_t[l] = 0.25 * static_cast<double>(l) - v[l % n];
      apply_from_transpose(*recorded, v, given_t, from_record, s);
      apply_from_transpose(q, v, given_t, plain, s);
      EXPECT_EQ(bits(from_record), bits(plain));
      written.apply_into(v, out, t, s);
      EXPECT_EQ(bits(written.apply(v)), bits(out));
    }
  }
}

// create() reads F once for finiteness and the groups of its zeros: a
// non-finite entry anywhere (a whole group, a column past the last one, the
// first row of a later block of a copy, the last row) is reported as
// validate reports it, whether the groups are being recorded (sparse F) or
// were given up (dense F), and whether F was scanned where it is or as it
// was copied in, a block of rows at a time, or written from its compressed
// rows (the same record each way).
TEST(FactorQuadCreate, FindsEveryNonFiniteEntry) {
  const auto copied = [](std::size_t n, std::size_t k, const std::vector<double>& f) {
    return FactorScan::copied(n, k, f.data()).value();
  };
  const auto compressed = [](std::size_t n, std::size_t k, const std::vector<double>& f) {
    return compressed_factors(matrix(n, k, f));
  };
  const auto in_place = [](std::size_t n, std::size_t k, const std::vector<double>& f) {
    return FactorScan::of(matrix(n, k, f));
  };
  for (std::size_t k : {32, 33}) {
    for (bool sparse : {true, false}) {
      const std::size_t n = 300;  // a copy takes blocks of 32 or 31 rows
      std::vector<double> f(n * k, 0.0);
      for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < k; ++c)
          if (!sparse || c == 4 * (i % 8) || c == 32) f[i * k + c] = 0.5 + static_cast<double>(i + c);
      const std::vector<double> d(n, 1.0), w(k, 1.0);
      auto plain = FactorQuad::create(in_place(n, k, f), FactorCovariance::diagonal(w), d);
      auto clean = FactorQuad::create(copied(n, k, f), FactorCovariance::diagonal(w), d);
      auto stored = FactorQuad::create(compressed(n, k, f), FactorCovariance::diagonal(w), d);
      ASSERT_TRUE(plain.has_value() && clean.has_value() && stored.has_value());
      EXPECT_EQ(clean->factors(), plain->factors());
      EXPECT_EQ(stored->factors(), plain->factors());  // written out from the record
      EXPECT_TRUE(*stored == *plain && *plain == *stored);
      ASSERT_EQ(clean->row_groups() != nullptr, sparse);
      ASSERT_EQ(plain->row_groups() != nullptr, sparse);
      ASSERT_EQ(stored->row_groups() != nullptr, sparse);
      // A mostly-zero F copied in or read from compressed rows is left to
      // its record alone, which a copy of the scan copies.
      EXPECT_EQ(stored->holds_factors_sparsely(), sparse);
      EXPECT_EQ(clean->holds_factors_sparsely(), sparse);
      const FactorScan scan = compressed(n, k, f);
      const auto twin = FactorQuad::create(FactorScan(scan), FactorCovariance::diagonal(w), d);
      EXPECT_TRUE(twin.has_value() && *twin == *plain && twin->holds_factors_sparsely() == sparse);
      if (sparse) {
        // Each row's nonzero groups of four and their entries, rows in order.
        std::vector<std::uint32_t> groups;
        std::vector<std::size_t> end;
        std::vector<double> values;
        for (std::size_t i = 0; i < n; ++i) {
          for (std::size_t g = 0; g < k / 4; ++g) {
            const double* at = &f[i * k + 4 * g];
            if (std::any_of(at, at + 4, [](double v) { return v != 0.0; })) {
              groups.push_back(static_cast<std::uint32_t>(g));
              values.insert(values.end(), at, at + 4);
            }
          }
          end.push_back(groups.size());
        }
        for (const auto* form : {&*plain, &*clean, &*stored}) {
          EXPECT_EQ(form->row_groups()->groups, groups);
          EXPECT_EQ(form->row_groups()->end, end);
          EXPECT_NE(form->row_groups()->describes(form->factors()), form->holds_factors_sparsely());
          EXPECT_TRUE(std::equal(values.begin(), values.end(), form->row_groups()->values.data()));
        }
      }
      for (const auto& scan : {+in_place, +copied, +compressed}) {
        for (std::size_t at : {std::size_t{0}, 4 * k + 5, 128 * k + 1, n * k - 1}) {
          for (double bad : {kNaN, kInf}) {
            std::vector<double> g = f;
            g[at] = bad;
            auto made = FactorQuad::create(scan(n, k, g), FactorCovariance::diagonal(w), d);
            ASSERT_FALSE(made.has_value()) << "k = " << k << ", entry " << at;
            EXPECT_EQ(made.error().message(), "quadratic.factors contains a non-finite coefficient");
          }
        }
      }
    }
  }
}

// A −0 in a group the record leaves out (read as +0 there) keeps F written
// out, its zero's sign kept; a −0 beside a nonzero is recorded. So whether
// F is copied in or read from compressed rows.
TEST(FactorScanCompressed, KeepsAStoredNegativeZero) {
  const std::vector<std::int64_t> starts{0, 2};
  const std::vector<double> w(32, 1.0);
  for (const std::int64_t column : {1, 9}) {
    for (const bool stored : {true, false}) {
      const std::vector<std::int64_t> columns{0, column};
      const std::vector<double> values{1.5, -0.0};
      std::vector<double> row(32, 0.0);
      row[0] = 1.5;
      row[static_cast<std::size_t>(column)] = -0.0;
      auto scan = stored ? FactorScan::compressed(1, 32, starts, columns, values)
                         : FactorScan::copied(1, 32, row.data());
      ASSERT_TRUE(scan.has_value());
      const auto form = FactorQuad::create(std::move(*scan), FactorCovariance::diagonal(w), {1.0}).value();
      EXPECT_EQ(form.holds_factors_sparsely(), column == 1) << column << stored;
      EXPECT_TRUE(std::signbit(form.factors()(0, static_cast<std::size_t>(column)))) << column << stored;
    }
  }
}

// Compressed rows that do not describe a matrix are refused, naming the row.
TEST(FactorScanCompressed, RefusesMalformedRows) {
  using Rows = std::vector<std::int64_t>;
  const struct {
    Rows starts, columns;
    std::string message;
  } cases[] = {
      {{0, 1, 2}, {0, 3}, "compressed matrix row 1: its column indices must increase and lie below 3"},
      {{0, 2, 2}, {1, 1}, "compressed matrix row 0: its column indices must increase and lie below 3"},
      {{0, 1, 2}, {-1, 0}, "compressed matrix row 0: its column indices must increase and lie below 3"},
      {{0, 2, 1},
       {0, 1},
       "compressed matrix of 2 rows: its row starts must rise from 0 to the 2 entries "
       "stored, one more start than rows"},
      {{1, 2, 2},
       {0, 1},
       "compressed matrix of 2 rows: its row starts must rise from 0 to the 2 entries "
       "stored, one more start than rows"},
      {{0, 2},
       {0, 1},
       "compressed matrix of 2 rows: its row starts must rise from 0 to the 2 entries "
       "stored, one more start than rows"},
  };
  const std::vector<double> values{1.0, 2.0};
  for (const auto& c : cases) {
    auto scan = FactorScan::compressed(2, 3, c.starts, c.columns, values);
    ASSERT_FALSE(scan.has_value()) << c.message;
    EXPECT_EQ(scan.error().message(), c.message);
  }
}

// Every reading of F's rows through their recorded structure meets the
// columns and entries a read of the dense rows meets, in its order: the
// nonzeros (zeros of either sign skipped), the pattern, and chosen columns
// with their zeros' signs (or, where zeros are kept, equal as doubles). A
// record that no longer describes F (F written since) is not read.
TEST(FactorRows, RecordReadsAsTheDenseRows) {
  const std::size_t n = 40, k = 34;
  std::vector<double> f(n * k);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t c = 0; c < k; ++c)
      f[i * k + c] = c == 0 || c == 4 + 4 * (i % 7) || c + 1 == k ? 0.5 + static_cast<double>(i)
                     : (i + c) % 2                                ? -0.0
                                                                  : 0.0;
  const FactorQuad form =
      FactorQuad::create(matrix(n, k, f), FactorCovariance::diagonal(std::vector<double>(k, 1.0)),
                         std::vector<double>(n, 1.0))
          .value();
  ASSERT_NE(form.row_groups(), nullptr);
  const FactorRows recorded(form), plain(form.factors());
  FactorQuad written = form;
  written.written_factors()(0, 1) = 2.0;
  const FactorRows stale(written.factors(), form.row_groups().get());
  const std::vector<std::pair<std::size_t, std::size_t>> wanted = {{4, 0}, {9, 1}, {0, 2}, {33, 3}, {30, 4}};
  const auto read = [&](const FactorRows& rows, std::size_t i, bool zeros_kept) {
    std::vector<double> seen;
    rows.for_each_nonzero(i, [&](std::size_t c, double v) { seen.insert(seen.end(), {double(c), v}); });
    std::vector<std::uint64_t> pattern(1);
    rows.pattern(i, pattern);
    std::vector<double> chosen(wanted.size(), 0.0);
    seen.push_back(static_cast<double>(pattern[0]));
    FactorRows::Columns(rows, wanted, zeros_kept).row(i, [&](std::size_t t, double v) { chosen[t] = v; });
    if (zeros_kept) std::ranges::for_each(chosen, [](double& v) { v += 0.0; });  // −0 + 0 = +0
    return std::pair{seen, bits(chosen)};
  };
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(read(recorded, i, false), read(plain, i, false)) << i;
    EXPECT_EQ(read(recorded, i, true), read(plain, i, true)) << i;
  }
  std::vector<double> seen;
  stale.for_each_nonzero(0, [&](std::size_t c, double) { seen.push_back(double(c)); });
  EXPECT_EQ(seen, (std::vector<double>{0.0, 1.0, 4.0, 33.0}));
}

// ---------------------------------------------------------------- error messages

TEST(ProblemErrorMessage, FormatsEveryKind) {
  struct Case {
    ProblemError error;
    std::string message;
  };
  const std::vector<Case> cases = {
      {ProblemError::dimension_mismatch("quadratic.diagonal", 4, 3),
       "quadratic.diagonal has dimension 3; expected 4"},
      {ProblemError::non_finite("l1.anchor"), "l1.anchor contains a non-finite coefficient"},
      {ProblemError::non_convex("l1 costs must be finite and non-negative"),
       "non-convex quadratic data: l1 costs must be finite and non-negative"},
      {ProblemError::not_square("quadratic.omega"), "quadratic.omega must be square"},
      {ProblemError::not_symmetric("quadratic.omega"), "quadratic.omega must be symmetric"},
      {ProblemError::invalid_bounds(2, 0.5, 0.25), "invalid bounds at index 2: lower 0.5 exceeds upper 0.25"},
      {ProblemError::invalid_bounds(0, 1.0, 0.0), "invalid bounds at index 0: lower 1 exceeds upper 0"},
      {ProblemError::invalid_bounds(7, kInf, -kInf),
       "invalid bounds at index 7: lower inf exceeds upper -inf"},
      {ProblemError::invalid_bounds(1, 1e-7, -1e-7),
       "invalid bounds at index 1: lower 0.0000001 exceeds upper -0.0000001"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.message);
}

}  // namespace
}  // namespace morva

// Storage asked for in advance (huge-page advice, pages populated up front
// or, when the allocator kept the memory, left as they are) is empty, holds
// what was asked for without moving, and keeps every value written to it.
TEST(Matrix, LargeStorageHoldsItsCapacityInPlace) {
  for (const std::size_t capacity :
       {std::size_t{0}, std::size_t{100}, std::size_t{1} << 14, std::size_t{3} << 19}) {
    for (int round = 0; round < 2; ++round) {  // the second round may reuse the first's memory
      std::vector<double> values = morva::large_storage(capacity);
      ASSERT_TRUE(values.empty());
      ASSERT_GE(values.capacity(), capacity);
      const double* first = values.data();
      for (std::size_t i = 0; i < capacity; ++i) values.push_back(static_cast<double>(i) + 0.5);
      EXPECT_EQ(values.data(), capacity == 0 ? values.data() : first);
      for (std::size_t i = 0; i < capacity; i += 511) ASSERT_EQ(values[i], static_cast<double>(i) + 0.5);
    }
  }
}

// A matrix released with a large block leaves it for the next large_storage
// that fits it (its values then written over, not read), but not for one
// asking less than half of it; storage to be written over takes it as it
// held it, sized as asked (neither zeroed nor faulted in again).
TEST(Matrix, LargeStorageTakesReleasedBlocks) {
  // An odd size no other test leaves behind, at least the kept minimum.
  constexpr std::size_t capacity = morva::kKeptBlockBytes / sizeof(double) + 4099;
  const auto release = [](std::vector<double> values, double fill) {
    values.assign(capacity, fill);
    const morva::Matrix released = *morva::Matrix::create(1, capacity, std::move(values));
  };
  std::vector<double> values = morva::large_storage(capacity);
  const double* at = values.data();
  release(std::move(values), 1.5);
  EXPECT_NE(morva::large_storage(capacity / 2 - 1).data(), at);
  std::vector<double> again = morva::large_storage(capacity);
  EXPECT_EQ(again.data(), at);
  EXPECT_TRUE(again.empty());
  EXPECT_GE(again.capacity(), capacity);
  // A large zero matrix may take such a block, written over: zeros still.
  release(std::move(again), 2.5);
  {
    const morva::Matrix zeros = morva::Matrix::zeros(1, capacity);
    EXPECT_EQ(zeros.data().data(), at);
    EXPECT_TRUE(std::ranges::all_of(zeros.data(), [](double v) { return v == 0.0; }));
  }
  release(morva::large_storage(capacity), 3.5);
  const std::vector<double> taken = morva::storage_for_overwrite(capacity - 10);
  EXPECT_EQ(taken.data(), at);
  EXPECT_EQ(taken.size(), capacity - 10);
  EXPECT_EQ(taken.back(), 3.5);
}
