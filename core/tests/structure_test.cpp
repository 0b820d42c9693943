// The reduced system stored by structure (C = F·L implicit, sparse columns
// compressed, the constraint scale outside the data) against the same system
// with every column stored densely and C formed: a seeded corpus of QPs,
// portfolios with every template and both turnover terms, with and without
// equilibration, and rolling sequences. Both storages must take the same
// path (status, iterations, penalty schedule, factorisations) and land on the
// same weights up to the order of summation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "equilibration.hpp"
#include "factor_products.hpp"
#include "kkt_internal.hpp"
#include "known_supports.hpp"
#include "morva/json.hpp"
#include "morva/kkt.hpp"
#include "morva/linalg.hpp"
#include "morva/portfolio.hpp"
#include "morva/sequence.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"
#include "morva/workspace.hpp"
#include "stored_columns.hpp"
#include "support/dense.hpp"

namespace morva {
namespace {

using dense::max_abs;
using dense::max_abs_difference;

// Weights agree to this fraction of max(1, ‖x‖∞).
constexpr double kWeightTolerance = 1e-9;

struct Outcome {
  Solution solution;
  std::uint64_t factorizations = 0;
};

void expect_equivalent(const Outcome& structured, const Outcome& dense) {
  const Solution& got = structured.solution;
  const Solution& want = dense.solution;
  EXPECT_EQ(got.status, want.status);
  EXPECT_EQ(got.iterations, want.iterations);
  EXPECT_EQ(got.rho_updates, want.rho_updates);
  EXPECT_EQ(got.final_rho, want.final_rho);
  EXPECT_EQ(got.polished, want.polished);
  EXPECT_EQ(structured.factorizations, dense.factorizations);
  ASSERT_EQ(got.x.size(), want.x.size());
  EXPECT_LE(max_abs_difference(got.x, want.x), kWeightTolerance * std::max(1.0, max_abs(want.x)));
}

// For every seed, with and without equilibration: `solve(seed, settings)`
// under the structured storage and under the dense one.
template <class Solve>
void expect_equivalent_corpus(std::uint64_t seeds, Solve solve) {
  for (const std::uint64_t scaling : {std::uint64_t{0}, std::uint64_t{10}}) {
    for (std::uint64_t seed = 1; seed <= seeds; ++seed) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", scaling " + std::to_string(scaling));
      SolverSettings settings;
      settings.scaling_iterations = scaling;
      const Outcome structured = solve(seed, settings);
      Outcome dense;
      {
        const test_hooks::ScopedDenseColumns plain;
        dense = solve(seed, settings);
      }
      expect_equivalent(structured, dense);
    }
  }
}

// ---- QPs ----

struct QpFamily {
  std::string name;
  dense::RandomQpShape shape;
  std::size_t indicator_groups = 0;  // > 0: factor columns 1..groups become 0/1 memberships
};

// Turns factor columns [1, 1 + groups) into membership indicators of the
// groups i mod groups, as industry columns of a risk model are; P changes,
// the feasible set does not.
void make_indicator_columns(QpProblem& p, std::size_t groups) {
  Matrix& f = p.quadratic.written_factors();
  for (std::size_t i = 0; i < f.rows(); ++i) {
    for (std::size_t g = 0; g < groups; ++g) f(i, 1 + g) = (i % groups == g) ? 1.0 : 0.0;
  }
}

Outcome solve_qp(const QpProblem& problem, const SolverSettings& settings) {
  auto workspace = Workspace::create(settings, problem);
  EXPECT_TRUE(workspace.has_value());
  if (!workspace) return {};
  auto solution = workspace->solve_from(Clock::now(), std::nullopt);
  EXPECT_TRUE(solution.has_value());
  if (!solution) return {};
  return {std::move(*solution), workspace->factorizations()};
}

const std::vector<QpFamily> kQpFamilies = {
    {"diagonal_omega", dense::shape(40, 4, 2, 3, false, false)},
    {"dense_omega", dense::shape(36, 5, 1, 4, true, false)},
    {"dense_omega_l1", dense::shape(30, 3, 2, 2, true, true)},
    {"indicator_columns_dense_omega", dense::shape(48, 6, 1, 3, true, false), 4},
    {"indicator_columns_l1", dense::shape(44, 5, 2, 2, false, true), 3},
    {"rows_only", dense::shape(25, 0, 2, 4, false, false)},
    {"factors_only", dense::shape(28, 4, 0, 0, true, true)},
    {"more_rank_than_assets", dense::shape(6, 7, 1, 2, true, false)},
};

class QpEquivalenceTest : public ::testing::TestWithParam<QpFamily> {};

TEST_P(QpEquivalenceTest, StructuredStorageFollowsTheDensePath) {
  const QpFamily& family = GetParam();
  expect_equivalent_corpus(8, [&](std::uint64_t seed, const SolverSettings& settings) {
    QpProblem problem = dense::random_qp(100 * seed + family.shape.n, family.shape);
    if (family.indicator_groups > 0) make_indicator_columns(problem, family.indicator_groups);
    return solve_qp(problem, settings);
  });
}

INSTANTIATE_TEST_SUITE_P(Families, QpEquivalenceTest, ::testing::ValuesIn(kQpFamilies),
                         [](const auto& info) { return info.param.name; });

// ---- Portfolios ----

enum class Templates { IndustryStyles, GroupsConcentration, IndustryShortStyles, Everything };
enum class Turnover { Quadratic, L1, Both };

struct PortfolioCase {
  std::string name;
  Templates templates;
  Turnover turnover;
};

// An industry-factor portfolio: a market column, one 0/1 column per industry,
// two dense style columns and a dense Ω; tracking a positive benchmark.
struct IndustryModel {
  std::size_t n, industries;
  Matrix factors;
  Matrix omega;
  std::vector<double> specific, returns, benchmark, previous;
  std::vector<std::uint64_t> ids;
  Matrix styles;
};

constexpr std::size_t kStyles = 2;

IndustryModel industry_model(std::uint64_t seed) {
  dense::Random random(seed);
  IndustryModel m;
  m.n = 30 + 6 * (seed % 4);
  m.industries = 3 + seed % 3;
  const std::size_t k = 1 + m.industries + kStyles;
  m.factors = Matrix::zeros(m.n, k);
  m.styles = Matrix::zeros(kStyles, m.n);
  double total = 0.0;
  for (std::size_t i = 0; i < m.n; ++i) {
    m.ids.push_back(i % m.industries);
    m.factors(i, 0) = random.uniform(0.7, 1.3);
    m.factors(i, 1 + i % m.industries) = 1.0;
    for (std::size_t s = 0; s < kStyles; ++s) {
      m.styles(s, i) = m.factors(i, 1 + m.industries + s) = random.uniform(-1.5, 1.5);
    }
    m.specific.push_back(random.uniform(0.02, 0.15));
    m.returns.push_back(random.uniform(-0.05, 0.08));
    m.benchmark.push_back(random.uniform(0.5, 1.5));
    total += m.benchmark.back();
  }
  for (double& b : m.benchmark) b /= total;
  for (std::size_t i = 0; i < m.n; ++i) m.previous.push_back(m.benchmark[(i + 1) % m.n]);
  // Ω = B·Bᵀ/k + diag: dense and positive definite.
  Matrix b = Matrix::zeros(k, k);
  for (double& e : b.data()) e = random.uniform(-0.1, 0.1);
  m.omega = Matrix::zeros(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c < k; ++c) {
      double s = r == c ? 0.01 : 0.0;
      for (std::size_t l = 0; l < k; ++l) s += b(r, l) * b(c, l);
      m.omega(r, c) = s;
    }
  }
  return m;
}

PortfolioProblem build_portfolio(const IndustryModel& m, const PortfolioCase& c) {
  auto p =
      PortfolioProblem::create(m.factors, FactorCovariance::dense(m.omega), m.specific, m.returns).value();
  const bool shorts = c.templates == Templates::IndustryShortStyles || c.templates == Templates::Everything;
  p = std::move(p).with_risk_aversion(4.0).value();
  p = std::move(p)
          .with_bounds(std::vector<double>(m.n, shorts ? -0.05 : 0.0), std::vector<double>(m.n, 0.3))
          .value();
  if (c.turnover != Turnover::L1) p = std::move(p).with_quadratic_turnover(m.previous, 0.5).value();
  if (c.turnover != Turnover::Quadratic) {
    p = std::move(p).with_l1_turnover(m.previous, std::vector<double>(m.n, 0.002)).value();
  }
  p = std::move(p).with_tracking_benchmark(m.benchmark).value();
  const bool industry =
      c.templates == Templates::IndustryStyles || c.templates == Templates::IndustryShortStyles;
  if (industry) {
    p = std::move(p).with_industry_neutrality(m.ids).value();
  } else {
    std::vector<double> targets(m.industries, 0.0);
    for (std::size_t i = 0; i < m.n; ++i) targets[m.ids[i]] += m.benchmark[i];
    p = std::move(p).with_group_targets(m.ids, targets).value();
  }
  if (c.templates != Templates::GroupsConcentration) {
    std::vector<double> lower, upper;
    for (std::size_t s = 0; s < kStyles; ++s) {
      double exposure = 0.0;
      for (std::size_t i = 0; i < m.n; ++i) exposure += m.styles(s, i) * m.benchmark[i];
      lower.push_back(exposure - 0.05);
      upper.push_back(exposure + 0.05);
    }
    p = std::move(p).with_style_bounds(m.styles, lower, upper).value();
  }
  if (c.templates == Templates::GroupsConcentration || c.templates == Templates::Everything) {
    p = std::move(p).with_concentration_limit(0.2).value();
  }
  if (shorts) p = std::move(p).with_short_limit(0.03).value();
  return p;
}

Outcome solve_portfolio(const PortfolioProblem& problem, const SolverSettings& settings) {
  auto solution = problem.solve_with(settings, std::nullopt);
  EXPECT_TRUE(solution.has_value());
  if (!solution) return {};
  // solve_with builds one workspace; the count is that of a fresh sequence.
  auto sequence = sequence_with(problem, settings);
  return {std::move(*solution), sequence ? sequence->factorizations() : 0};
}

class PortfolioEquivalenceTest : public ::testing::TestWithParam<PortfolioCase> {};

TEST_P(PortfolioEquivalenceTest, StructuredStorageFollowsTheDensePath) {
  const PortfolioCase& c = GetParam();
  expect_equivalent_corpus(6, [&](std::uint64_t seed, const SolverSettings& settings) {
    Outcome outcome = solve_portfolio(build_portfolio(industry_model(seed), c), settings);
    EXPECT_EQ(outcome.solution.status, SolveStatus::Solved);
    return outcome;
  });
}

INSTANTIATE_TEST_SUITE_P(
    Templates, PortfolioEquivalenceTest,
    ::testing::Values(
        PortfolioCase{"industry_styles_quadratic", Templates::IndustryStyles, Turnover::Quadratic},
        PortfolioCase{"industry_styles_l1", Templates::IndustryStyles, Turnover::L1},
        PortfolioCase{"groups_concentration_both", Templates::GroupsConcentration, Turnover::Both},
        PortfolioCase{"groups_concentration_l1", Templates::GroupsConcentration, Turnover::L1},
        PortfolioCase{"industry_short_styles_both", Templates::IndustryShortStyles, Turnover::Both},
        PortfolioCase{"everything_quadratic", Templates::Everything, Turnover::Quadratic},
        PortfolioCase{"everything_both", Templates::Everything, Turnover::Both}),
    [](const auto& info) { return info.param.name; });

// ---- Sequences ----

// Dates of drifting returns anchored at the last weights: both storages take
// the same path date after date, and no date refactors beyond what the
// penalty schedule asks of either.
TEST(SequenceEquivalence, DatesFollowTheDensePath) {
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const IndustryModel model = industry_model(seed);
    const PortfolioProblem problem = build_portfolio(
        model, {"sequence", Templates::IndustryStyles, seed % 2 ? Turnover::Both : Turnover::L1});
    auto structured = sequence_with(problem, SolverSettings{}).value();
    std::optional<PortfolioSequence> dense;
    {
      const test_hooks::ScopedDenseColumns plain;
      dense = sequence_with(problem, SolverSettings{}).value();
    }
    dense::Random random(seed);
    std::vector<double> returns = model.returns;
    for (int date = 0; date < 4; ++date) {
      RebalanceStep step;
      for (double& r : returns) r += random.uniform(-0.002, 0.002);
      step.expected_returns = returns;
      const Outcome got{structured.solve_next(step).value(), structured.factorizations()};
      Outcome want;
      {
        const test_hooks::ScopedDenseColumns plain;
        want = {dense->solve_next(step).value(), dense->factorizations()};
      }
      expect_equivalent(got, want);
    }
    // Every cached factorisation shares the one stored V of the problem.
    const SystemCache& cache = structured.workspace().systems();
    for (const auto& entry : cache) {
      EXPECT_EQ(entry.second.smw.shared_columns().get(), cache.front().second.smw.shared_columns().get());
    }
  }
}

// ---- Repeated columns ----

// The columns of V that repeat an earlier one, or its negation: a style band
// row repeats its style's factor column (its lower side negated), an
// industry-neutrality row repeats the industry's membership column.
std::size_t distinct_columns(const QpProblem& p) {
  const Matrix& f = p.quadratic.factors();
  const std::vector<const double*> rows = constraint_rows(p);
  const auto value = [&](std::size_t j, std::size_t i) {
    return j < f.cols() ? f(i, j) : rows[j - f.cols()][i];
  };
  std::size_t distinct = 0;
  for (std::size_t j = 0; j < f.cols() + rows.size(); ++j) {
    bool repeats = false;
    for (std::size_t e = 0; e < j && !repeats; ++e) {
      for (const double sign : {1.0, -1.0}) {
        bool same = true;
        for (std::size_t i = 0; i < p.n() && same; ++i) same = value(j, i) == sign * value(e, i);
        repeats = repeats || same;
      }
    }
    distinct += repeats ? 0 : 1;
  }
  return distinct;
}

// Equilibration rescales the rows of F and of the constraint blocks by
// different factors, so its scaled matrices no longer repeat each other bit
// for bit; the iteration's V must still store each distinct column of the
// data once, reading it through r = D and κ = ±√c or ±E.
TEST(RepeatedColumns, EquilibratedIterationStoresEachDistinctColumnOnce) {
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const IndustryModel model = industry_model(seed);
    const QpProblem qp =
        build_portfolio(model, {"repeats", Templates::IndustryStyles, Turnover::Both}).to_qp().value();
    const std::size_t h = qp.quadratic.factor_count() + qp.m_eq() + qp.m_in();
    const std::size_t distinct = distinct_columns(qp);
    ASSERT_LT(distinct + model.industries + 2 * kStyles - 1, h);  // every template row repeats a column

    const Workspace w = Workspace::create(SolverSettings{}, qp).value();
    const ScaledProblem& scaled = *w.scaled();
    const ReducedColumns& v = w.systems().front().second.smw.columns();
    EXPECT_EQ(v.stored(), distinct);
    EXPECT_TRUE(std::ranges::equal(v.row_scale(), scaled.column_scaling));
    const std::size_t k = qp.quadratic.factor_count();
    const double root_cost = std::sqrt(scaled.cost_scaling);
    for (std::size_t j = 0; j < h; ++j) {
      const double scale = j < k ? root_cost
                                 : (j < k + qp.m_eq() ? scaled.equality_scaling[j - k]
                                                      : scaled.inequality_scaling[j - k - qp.m_eq()]);
      EXPECT_EQ(std::abs(v.multiplier(j)), scale) << j;
    }
    // U written out is the scaled problem's own, up to the order of rounding.
    const Matrix got = v.materialize(1.0);
    const ReducedColumns plain =
        ReducedColumns::create(scaled.problem.quadratic, constraint_rows(scaled.problem)).value();
    const Matrix want = plain.materialize(1.0);
    EXPECT_LE(max_abs_difference(got.data(), want.data()), 1e-14 * max_abs(want.data()));
  }
}

// A dense constraint row is matched against F's columns over blocks of F's
// rows: a row that repeats a column up to sign shares it; one with the
// column's magnitudes (so its fingerprint) but a sign flipped, or one entry
// changed, past the first block, does not, nor one whose fingerprint and
// count match the column's but an entry differs.
TEST(RepeatedColumns, DenseRowsShareOnlyExactRepeats) {
  constexpr std::size_t n = 80;
  constexpr std::size_t k = 3;
  std::vector<double> f(n * k);
  for (std::size_t i = 0; i < n; ++i) {
    f[i * k] = 1.0;
    f[i * k + 1] = 0.25 + static_cast<double>(i % 7);
    f[i * k + 2] = i % 5 == 0 ? 0.0 : -0.5 * static_cast<double>(i % 3 + 1);
  }
  const Matrix factors = Matrix::create(n, k, f).value();
  const auto column = [&](std::size_t l, double sign) {
    std::vector<double> row(n);
    for (std::size_t i = 0; i < n; ++i) row[i] = sign * f[i * k + l];
    return row;
  };
  struct Case {
    const char* name;
    std::vector<double> row;
    bool shared;
  };
  std::vector<Case> cases{{"same", column(1, 1.0), true},
                          {"negated", column(2, -1.0), true},
                          {"zero column", std::vector<double>(n, 0.0), false}};
  std::vector<double> flipped = column(1, 1.0);
  flipped[71] = -flipped[71];
  cases.push_back({"one sign flipped", flipped, false});
  std::vector<double> changed = column(2, -1.0);
  changed[64] = 0.0;
  cases.push_back({"one entry zeroed", changed, false});
  // Past the head of the column and off the rows a fingerprint samples: the
  // same fingerprint and count, told apart by the comparison alone.
  std::vector<double> unsampled = column(1, 1.0);
  unsampled[70] *= 2.0;
  cases.push_back({"one magnitude changed, unsampled", unsampled, false});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<const double*> rows{c.row.data()};
    const ReducedColumns v = ReducedColumns::of_data(factors, rows);
    EXPECT_EQ(v.stored(), c.shared ? k : k + 1);
    // Shared or not, V reads the row back as it is.
    const Matrix u = v.materialize(1.0);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(u(i, k), c.row[i]) << i;
  }
}

// The stored columns name the nonzeros of each constraint row they keep
// compressed (an industry row of at most n/4 members); equilibrating and
// checking a point through those names gives, bit for bit, what reading the
// rows whole gives.
TEST(CompressedRows, NameTheNonzerosEquilibrationWouldRead) {
  std::size_t compressed = 0;
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const IndustryModel model = industry_model(seed);
    const QpProblem qp =
        build_portfolio(model, {"compressed", Templates::IndustryStyles, Turnover::Both}).to_qp().value();
    const std::vector<const double*> rows = constraint_rows(qp);
    const ReducedColumns v = ReducedColumns::of_data(FactorRows(qp.quadratic), rows);
    const std::vector<std::vector<std::uint32_t>> named = v.compressed_rows();
    ASSERT_EQ(named.size(), rows.size());
    // The industry builder records its rows' members, and the stored columns
    // built from them alone are those built from reading every row.
    const std::vector<std::span<const std::uint32_t>> known = known_supports(qp);
    ASSERT_EQ(known.size(), rows.size());
    const ReducedColumns from_known = ReducedColumns::of_data(FactorRows(qp.quadratic), rows, known);
    EXPECT_EQ(from_known.compressed_rows(), named);
    for (std::size_t part = 0; part < 2; ++part) {
      const auto a = from_known.stored_values()[part];
      const auto b = v.stored_values()[part];
      EXPECT_TRUE(std::ranges::equal(a, b)) << part;
    }
    std::size_t recorded = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      std::vector<std::uint32_t> nonzeros;
      for (std::size_t i = 0; i < qp.n(); ++i) {
        if (rows[r][i] != 0.0) nonzeros.push_back(static_cast<std::uint32_t>(i));
      }
      if (!known[r].empty()) {
        EXPECT_TRUE(std::ranges::equal(known[r], nonzeros)) << r;
        ++recorded;
      }
      if (named[r].empty()) {
        EXPECT_TRUE(nonzeros.empty() || 4 * nonzeros.size() > qp.n()) << r;
        continue;
      }
      EXPECT_EQ(named[r], nonzeros) << r;
      ++compressed;
    }
    // The KKT check through the named nonzeros: the same residuals and row
    // products, for any finite point (signs mixed, so zero terms come as ±0).
    dense::Random random(seed);
    std::vector<double> x(qp.n());
    for (double& e : x) e = random.uniform(-1.0, 1.0);
    DualVariables duals{std::vector<double>(qp.m_eq()), std::vector<double>(qp.m_in()),
                        std::vector<double>(qp.n()), std::vector<double>(qp.n())};
    for (auto* block : {&duals.equalities, &duals.inequalities, &duals.bounds, &duals.l1}) {
      for (double& e : *block) e = random.uniform(-1.0, 1.0);
    }
    const IterateProducts through_supports = iterate_products(qp, x, named);
    const IterateProducts through_whole_rows = iterate_products(qp, x);
    EXPECT_EQ(through_supports.eq_image, through_whole_rows.eq_image);
    EXPECT_EQ(through_supports.in_image, through_whole_rows.in_image);
    EXPECT_EQ(check_kkt(qp, x, duals, through_supports).value(), check_kkt(qp, x, duals).value());
    // Fᵀx and every row's image in one stream over V, then the rows of P·x
    // through F from that Fᵀx: the products of reading F and the rows whole.
    std::vector<double> t(qp.quadratic.factor_count()), s(t.size()), image(rows.size()), px(qp.n());
    v.transpose_products(x, t, image);
    apply_from_transpose(qp.quadratic, x, t, px, s);
    EXPECT_EQ(px, through_whole_rows.px);
    std::vector<double> row_images = through_whole_rows.eq_image;
    row_images.insert(row_images.end(), through_whole_rows.in_image.begin(),
                      through_whole_rows.in_image.end());
    EXPECT_EQ(image, row_images);

    const auto repeats = v.repeated_rows(qp.m_eq());
    const auto through_names = equilibrate_for_iteration(qp, 10, nullptr, repeats, named).value();
    const auto through_rows = equilibrate_for_iteration(qp, 10, nullptr, repeats).value();
    const ScaledProblem got = completed(through_names.first, through_names.second);
    const ScaledProblem want = completed(through_rows.first, through_rows.second);
    EXPECT_EQ(got.problem, want.problem);
    EXPECT_EQ(got.column_scaling, want.column_scaling);
    EXPECT_EQ(got.equality_scaling, want.equality_scaling);
    EXPECT_EQ(got.inequality_scaling, want.inequality_scaling);
    EXPECT_EQ(got.cost_scaling, want.cost_scaling);
    // Equilibrating a repeated row through its earlier one changes no bit.
    const ScaledProblem plain = ScaledProblem::equilibrate(qp, 10).value();
    EXPECT_EQ(got.problem, plain.problem);
    EXPECT_EQ(got.inequality_scaling, plain.inequality_scaling);
    EXPECT_EQ(recorded, model.industries);
    // Rows written after lowering are never read through the old record.
    QpProblem written = qp;
    written.equalities.matrix(qp.m_eq() - 1, 0) += 1.0;
    EXPECT_TRUE(std::ranges::all_of(known_supports(written), [](auto s) { return s.empty(); }));
  }
  EXPECT_GT(compressed, 0u);
}

// record_supports lays out [lead rows | the block's | added]: the lead rows
// unknown, the block's as its record knows them, the added ones as given;
// once the rows are written the record is read for none.
TEST(KnownSupports, RecordKeepsWhatIsKnownOfEachRow) {
  const Matrix block_rows = dense::matrix(2, 3, {0, 5, 0, 1, 1, 1});
  LinearConstraints block{block_rows, {0.0, 0.0}};
  block.known_supports = record_supports(block_rows, 0, LinearConstraints::empty(3), {{1}});
  const Matrix joined = dense::matrix(4, 3, {1, 1, 1, 0, 5, 0, 1, 1, 1, 0, 0, 7});
  QpProblem qp;
  qp.equalities = {joined, std::vector<double>(4), record_supports(joined, 1, block, {{2}})};
  qp.inequalities = LinearConstraints::empty(3);
  const std::vector<std::vector<std::uint32_t>> want{{}, {1}, {}, {2}};
  const std::vector<std::span<const std::uint32_t>> known = known_supports(qp);
  ASSERT_EQ(known.size(), want.size());
  for (std::size_t r = 0; r < want.size(); ++r) EXPECT_TRUE(std::ranges::equal(known[r], want[r])) << r;
  qp.equalities.matrix(3, 0) = 1.0;
  EXPECT_TRUE(std::ranges::all_of(known_supports(qp), [](auto s) { return s.empty(); }));
}

// F = [market, 9 industries, 3 styles, −(industry 0), −(style 0)] (k = 15,
// so the rows of F·s go in four partial sums; the two negated copies share
// their stored columns with κ = −1), rows [budget, industry 3, −style 1]:
// Fᵀx and the row images from one stream over V, then P·x's rows through F
// from that Fᵀx, give the bits of reading F and the rows whole.
TEST(CompressedRows, StreamedFactorProductsMatchReadingFWhole) {
  constexpr std::size_t n = 200, industries = 9, k = 1 + industries + 3 + 2;
  dense::Random random(11);
  Matrix f = Matrix::zeros(n, k);
  std::vector<double> d(n), budget(n, 1.0), industry(n, 0.0), style(n), x(n);
  for (std::size_t i = 0; i < n; ++i) {
    f(i, 0) = random.uniform(0.7, 1.3);
    f(i, 1 + i % industries) = 1.0;
    for (std::size_t c = 1 + industries; c < k - 2; ++c) f(i, c) = random.uniform(-1.5, 1.5);
    f(i, k - 2) = -f(i, 1);
    f(i, k - 1) = -f(i, 1 + industries);
    industry[i] = f(i, 4);
    style[i] = -f(i, 2 + industries);
    d[i] = random.uniform(0.02, 0.15);
    x[i] = random.uniform(-1.0, 1.0);
  }
  Matrix omega = Matrix::zeros(k, k);
  for (std::size_t r = 0; r < k; ++r) {
    for (std::size_t c = 0; c <= r; ++c)
      omega(r, c) = omega(c, r) = r == c ? 0.05 : random.uniform(-0.01, 0.01);
  }
  const FactorQuad quadratic = FactorQuad::create(f, FactorCovariance::dense(omega), d).value();
  const std::vector<const double*> rows = {budget.data(), industry.data(), style.data()};
  const ReducedColumns v = ReducedColumns::of_data(f, rows);
  ASSERT_LT(v.stored(), k + rows.size());  // the copies share

  std::vector<double> t(k), s(k), image(rows.size()), px(n);
  v.transpose_products(x, t, image);
  apply_from_transpose(quadratic, x, t, px, s);
  EXPECT_EQ(px, quadratic.apply(x));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    double whole = 0.0;
    for (std::size_t i = 0; i < n; ++i) whole += rows[r][i] * x[i];
    EXPECT_EQ(image[r], whole) << r;
  }
}

// A column of F with n/4 nonzeros all in its first rows holds more than its
// share of the rows read so far, and is stored compressed all the same:
// the stored columns still give back F exactly.
TEST(CompressedRows, ColumnFrontLoadedWithNonzerosStoresExactly) {
  const std::size_t n = 400;
  dense::Random random(7);
  Matrix f = Matrix::zeros(n, 3);
  for (std::size_t i = 0; i < n; ++i) {
    f(i, 0) = random.uniform(0.5, 1.5);
    if (i < n / 4) f(i, 1) = random.uniform(-1.0, 1.0);
    if (i % 9 == 0) f(i, 2) = 1.0;
  }
  const ReducedColumns v = ReducedColumns::of_data(f, {});
  EXPECT_EQ(v.stored_entries(), n + n / 4 + (n + 8) / 9);  // one dense column, two compressed
  EXPECT_EQ(v.materialize(1.0), f);
}

// A constraint row with at most n/4 nonzeros is stored through them, one
// with more densely, wherever along the row they lie (n = 1203: several
// stretches of the profiling read, and a tail of fewer than eight entries);
// a dense row that negates F's column of ones shares it.
TEST(CompressedRows, RowsAtTheCompressionLimitWhereverTheirNonzerosLie) {
  constexpr std::size_t n = 1203, limit = n / 4;
  const Matrix f = Matrix::create(n, 1, std::vector<double>(n, 1.0)).value();
  // count nonzeros at first, first + step, ..., with values 1.5, 2.5, ...
  const auto row = [&](std::size_t first, std::size_t step, std::size_t count) {
    std::vector<double> r(n, 0.0);
    for (std::size_t e = 0; e < count; ++e) r[first + e * step] = 1.5 + static_cast<double>(e);
    return r;
  };
  enum class Stored { Compressed, Dense, Shared };
  struct Case {
    const char* name;
    std::vector<double> row;
    Stored stored;
  };
  const std::vector<Case> cases{
      {"limit, spread to the last entry", row(n - 1 - 3 * (limit - 1), 3, limit), Stored::Compressed},
      {"limit + 1, spread", row(2, 3, limit + 1), Stored::Dense},
      {"limit, packed at the front", row(0, 1, limit), Stored::Compressed},
      {"limit + 1, packed at the end", row(n - limit - 1, 1, limit + 1), Stored::Dense},
      {"limit, packed at the end", row(n - limit, 1, limit), Stored::Compressed},
      {"minus F's column", std::vector<double>(n, -1.0), Stored::Shared}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<const double*> rows{c.row.data()};
    const ReducedColumns v = ReducedColumns::of_data(f, rows);
    std::vector<std::uint32_t> nonzeros;
    for (std::size_t i = 0; i < n; ++i) {
      if (c.row[i] != 0.0) nonzeros.push_back(static_cast<std::uint32_t>(i));
    }
    const bool compressed = c.stored == Stored::Compressed;
    EXPECT_EQ(v.compressed_rows().front(), compressed ? nonzeros : std::vector<std::uint32_t>{});
    EXPECT_EQ(v.stored_entries(), n + (compressed ? nonzeros.size() : (c.stored == Stored::Dense ? n : 0)));
    const Matrix u = v.materialize(1.0);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(u(i, 1), c.row[i]) << i;
  }
}

// One entry that is not finite, in F or in a row, stores every column
// plainly; the largest finite magnitudes and subnormals do not.
TEST(CompressedRows, OneEntryThatIsNotFiniteStoresThePlainColumns) {
  constexpr std::size_t n = 37, k = 3;
  struct Case {
    const char* name;
    double value;
    bool finite;
  };
  const Case cases[] = {{"infinity", std::numeric_limits<double>::infinity(), false},
                        {"minus infinity", -std::numeric_limits<double>::infinity(), false},
                        {"NaN", std::numeric_limits<double>::quiet_NaN(), false},
                        {"largest", std::numeric_limits<double>::max(), true},
                        {"minus largest", std::numeric_limits<double>::lowest(), true},
                        {"subnormal", std::numeric_limits<double>::denorm_min(), true}};
  for (const Case& c : cases) {
    for (const bool in_factors : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (in_factors ? " in F" : " in a row"));
      Matrix f = Matrix::zeros(n, k);
      std::vector<double> industry(n, 0.0), band(n);
      for (std::size_t i = 0; i < n; ++i) {
        f(i, 0) = 1.0;
        f(i, 1) = i % 4 == 0 ? 1.0 : 0.0;
        f(i, 2) = 0.1 * static_cast<double>(i % 5) - 0.2;
        industry[i] = f(i, 1);
        band[i] = -f(i, 2);
      }
      if (in_factors) {
        f(n - 2, 2) = c.value;
      } else {
        industry[n - 2] = c.value;
      }
      const std::vector<const double*> rows{industry.data(), band.data()};
      EXPECT_EQ(ReducedColumns::of_data(f, rows).stores_plainly(), !c.finite);
    }
  }
}

// ---- Many factors on few assets ----

// 3 assets and 20,000 factors (h ≫ n): the system is factored in the n-space,
// a 3×3 matrix, and the solve reaches the dense optimum.
TEST(AssetSpace, ManyFactorsOnFewAssetsSolveThroughThreeByThree) {
  constexpr std::size_t kFactors = 20000;
  dense::Random random(3);
  Matrix factors = Matrix::zeros(3, kFactors);
  for (double& e : factors.data()) e = random.uniform(-1.0, 1.0);
  std::vector<double> omega(kFactors);
  for (double& e : omega) e = random.uniform(1e-6, 1e-4);
  auto problem = PortfolioProblem::create(std::move(factors), FactorCovariance::diagonal(std::move(omega)),
                                          {0.02, 0.03, 0.04}, {0.05, 0.06, 0.04})
                     .value();
  problem = std::move(problem).with_bounds({0.0, 0.0, 0.0}, {1.0, 1.0, 1.0}).value();

  const std::string json = problem_to_json(problem);
  EXPECT_GT(json.size(), std::size_t{200000});
  const PortfolioProblem reread = problem_from_json(json).value();
  const QpProblem qp = reread.to_qp().value();
  auto workspace = Workspace::create(SolverSettings{}, qp).value();
  const SmwSystem& system = workspace.systems().front().second.smw;
  EXPECT_TRUE(system.in_asset_space());
  EXPECT_EQ(system.capacitance_factor().rows(), 3U);
  const Solution solution = workspace.solve_from(Clock::now(), std::nullopt).value();
  ASSERT_EQ(solution.status, SolveStatus::Solved);
  // Stationarity P·x + q + A_eqᵀ·y_eq + y_box = 0 with P·x = d∘x + F·(ω∘Fᵀx)
  // summed here term by term, and the budget row.
  const FactorQuad& form = qp.quadratic;
  std::vector<double> exposure(kFactors, 0.0);
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t l = 0; l < kFactors; ++l) exposure[l] += form.factors()(i, l) * solution.x[i];
  }
  double largest = 0.0;
  for (std::size_t i = 0; i < 3; ++i) {
    double g = form.diagonal[i] * solution.x[i] + qp.linear[i] + solution.dual.bounds[i];
    for (std::size_t l = 0; l < kFactors; ++l)
      g += form.factors()(i, l) * form.omega.diagonal_values()[l] * exposure[l];
    for (std::size_t e = 0; e < qp.m_eq(); ++e) g += qp.equalities.matrix(e, i) * solution.dual.equalities[e];
    largest = std::max(largest, std::abs(g));
  }
  EXPECT_LE(largest, 1e-4);
  EXPECT_NEAR(solution.x[0] + solution.x[1] + solution.x[2], 1.0, 1e-5);
}

}  // namespace
}  // namespace morva
