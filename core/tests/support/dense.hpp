// Dense reference tools for the tests: a seeded generator of feasible convex
// QPs with factor structure, the dense n×n quadratic form, and a KKT verifier
// written against the dense data (independent of the library's own check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "morva/certificate.hpp"
#include "morva/kkt.hpp"
#include "morva/matrix.hpp"
#include "morva/problem.hpp"

namespace morva::dense {

// Shape of a generated problem. Every generated problem is feasible (a random
// reference point x⁰ satisfies all constraints) and strictly convex (d > 0),
// so it has a unique minimiser.
struct RandomQpShape {
  std::size_t n = 20;
  std::size_t k = 3;
  std::size_t m_eq = 1;  // row 0 is a budget row of ones, further rows random
  std::size_t m_in = 3;
  bool dense_omega = false;                // Ω = B·Bᵀ + 0.1·I instead of a positive diagonal
  bool l1 = false;                         // costs in [0, 0.3], anchor near x⁰ (a third exactly x⁰)
  double infinite_side_fraction = 0.3;     // probability that one side of a box is infinite
  double tight_inequality_fraction = 0.5;  // probability that x⁰ makes an inequality row tight
  double pinned_fraction = 0.0;            // probability that l_i = u_i = x⁰_i
};

// The shape with these sizes and features, the fractions at their defaults.
RandomQpShape shape(std::size_t n, std::size_t k, std::size_t m_eq, std::size_t m_in, bool dense_omega,
                    bool l1);

// Deterministic in (seed, shape).
QpProblem random_qp(std::uint64_t seed, const RandomQpShape& shape);

// Small deterministic generator for test data (splitmix64 underneath, so the
// stream is the same on every platform).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  double uniform(double low, double high);  // [low, high)
  bool chance(double probability);
  std::size_t below(std::size_t count);  // 0 … count−1

 private:
  std::uint64_t state_;
};

// A dense matrix as its rows.
using DenseMatrix = std::vector<std::vector<double>>;

// P = diag(d) + F·Ω·Fᵀ as a dense row-major n×n array (rows of length n).
DenseMatrix dense_quadratic(const QpProblem& problem);

// P·x for a square P, each row summed left to right.
std::vector<double> dense_apply(const DenseMatrix& p, std::span<const double> x);

// Solves A·x = b by Gaussian elimination with partial pivoting (A square and
// non-singular); the reference for every linear solve.
std::vector<double> dense_solve(DenseMatrix a, std::vector<double> b);

// ‖v‖∞, NaN when any entry is NaN (so that a tolerance check on it fails).
double max_abs(std::span<const double> v);

// max |aᵢ − bᵢ|, NaN when any difference is NaN; unequal lengths are a test
// failure and compare the common prefix.
double max_abs_difference(std::span<const double> a, std::span<const double> b);

// A rows×cols matrix from row-major values; a shape the library rejects is a
// test failure and yields the 0×0 matrix.
Matrix matrix(std::uint64_t rows, std::uint64_t cols, std::vector<double> data);
// F read from its compressed rows, storing its entries other than ±0 (a NaN
// is stored).
FactorScan compressed_factors(const Matrix& f);

// n = len(d) variables, P = diag(d) (k = 0), q = 0, no constraint rows and an
// open box; tests set the blocks they need.
QpProblem open_qp(std::vector<double> diagonal);

// ½xᵀPx + qᵀx + Σ cᵢ|xᵢ − aᵢ| through the dense P.
double dense_objective(const QpProblem& problem, std::span<const double> x);

// Largest finite magnitude among P, q, A_eq, b_eq, A_in, b_in, the finite
// bounds, the L1 costs and anchor, floored at 1.
double data_scale(const QpProblem& problem);

// Distance of (x, duals) from the KKT conditions, measured on the dense data.
// Sign convention: P·x + q + A_eqᵀy + A_inᵀz + y_box + y_l1 = 0.
//   stationarity    ‖P·x + q + A_eqᵀy + A_inᵀz + y_box + y_l1‖∞
//   primal          worst violation of A_eq·x = b_eq, A_in·x ≤ b_in, l ≤ x ≤ u
//   sign            worst of −zⱼ, a box multiplier pushing against an infinite
//                   side, and |y_l1,i| − cᵢ
//   complementarity worst |slack|·|multiplier part| over inequality rows and
//                   each box side, and |xᵢ − aᵢ|·|cᵢ·sign(xᵢ − aᵢ) − y_l1,i|
// Relative values divide by data_scale·max(1, ‖x‖∞, ‖duals‖∞) (the
// complementarity by that scale times max(1, ‖x‖∞, ‖duals‖∞) once more).
struct KktReport {
  double stationarity = 0.0;
  double primal = 0.0;
  double sign = 0.0;
  double complementarity = 0.0;
  double scale = 1.0;        // data_scale · point scale
  double point_scale = 1.0;  // max(1, ‖x‖∞, ‖every dual block‖∞)

  double relative_stationarity() const { return stationarity / scale; }
  double relative_primal() const { return primal / scale; }
  double relative_sign() const { return sign / scale; }
  double relative_complementarity() const { return complementarity / (scale * point_scale); }
  // Largest of the four relative measures (NaN when any measure is NaN).
  double worst_relative() const;
};

// The blocks must have the problem's lengths (x and bounds n, equalities m_eq,
// inequalities m_in, l1 n with an L1 term and 0 otherwise); a wrong length
// yields a report full of NaN so that any tolerance check fails.
KktReport dense_kkt(const QpProblem& problem, std::span<const double> x, const DualVariables& duals);

// Dense audit of a Farkas certificate (y, z, w): the combination
// r = A_eqᵀy + A_inᵀz + w must vanish, z ≥ 0, w may cite only finite bounds,
// and value = b_eqᵀy + b_inᵀz + Σ uᵢ·max(wᵢ,0) + Σ lᵢ·min(wᵢ,0) must be negative.
struct FarkasReport {
  double combination = 0.0;  // ‖r‖∞
  double value = 0.0;
  double sign_violation = 0.0;  // worst −zⱼ or weight on an infinite side
  double norm = 0.0;            // ‖(y, z, w)‖∞
};
FarkasReport dense_farkas(const QpProblem& problem, const PrimalCertificate& certificate);

// Dense audit of an unbounded ray d: curvature ‖P·d‖∞, slope qᵀd + Σcᵢ|dᵢ|,
// and the worst constraint violation max(‖A_eq·d‖∞, (A_in·d)⁺, dᵢ at finite
// uᵢ, −dᵢ at finite lᵢ).
struct RayReport {
  double curvature = 0.0;
  double slope = 0.0;
  double violation = 0.0;
  double norm = 0.0;  // ‖d‖∞
};
RayReport dense_ray(const QpProblem& problem, std::span<const double> direction);

}  // namespace morva::dense
