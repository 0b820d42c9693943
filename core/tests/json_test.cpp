#include "morva/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "morva/portfolio.hpp"
#include "support/allocation_counter.hpp"
#include "support/dense.hpp"
#include "support/random_portfolio.hpp"

namespace morva {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMinSubnormal = std::numeric_limits<double>::denorm_min();

using dense::matrix;

using fixture::unwrap;

// Applies every (from → to) edit to `text`; each `from` must occur exactly once.
std::string edited(std::string text, const std::vector<std::pair<std::string, std::string>>& edits) {
  for (const auto& [from, to] : edits) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << "ambiguous edit " << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
  }
  return text;
}

// Two assets, two factors, default budget, bounds and empty blocks, written
// by hand in the compact dump layout.
const std::string kBase =
    R"({"covariance":{"factors":{"rows":2,"cols":2,"data":[1.0,0.0,0.5,1.0]},"omega":{"Diagonal":[0.04,0.09]},)"
    R"("diagonal":[0.01,0.02]},"expected_returns":[0.1,0.05],"risk_aversion":1.0,"budget":1.0,)"
    R"("equalities":{"matrix":{"rows":0,"cols":2,"data":[]},"rhs":[]},)"
    R"("inequalities":{"matrix":{"rows":0,"cols":2,"data":[]},"rhs":[]},)"
    R"("lower_bounds":[0.0,0.0],"upper_bounds":[1.0,1.0],"previous_weights":null,"turnover_penalty":0.0,)"
    R"("l1_turnover_costs":null,"benchmark_weights":null})";

PortfolioProblem base_problem() {
  return unwrap(PortfolioProblem::create(matrix(2, 2, {1.0, 0.0, 0.5, 1.0}),
                                         FactorCovariance::diagonal({0.04, 0.09}), {0.01, 0.02},
                                         {0.1, 0.05}));
}

// ---------------------------------------------------------------------------
// Writing: exact texts

TEST(ProblemJson, DefaultProblemDumpsInKeyOrderWithEmptyBlocks) {
  EXPECT_EQ(problem_to_json(base_problem()), kBase);
}

// Two assets, one factor: Σ = diag(0.01, 250) + f·0.04·fᵀ with f = (1, 0.5);
// the second asset is unbounded, one inequality x₀ − x₁ ≤ 0.5.
TEST(ProblemJson, DiagonalOmegaDumpIsExact) {
  PortfolioProblem p = unwrap(PortfolioProblem::create(
      matrix(2, 1, {1.0, 0.5}), FactorCovariance::diagonal({0.04}), {0.01, 250.0}, {0.1, 1e-7}));
  p = unwrap(std::move(p).with_risk_aversion(2.5));
  p = unwrap(std::move(p).with_bounds({0.0, -kInf}, {1.0, kInf}));
  p = unwrap(std::move(p).with_inequalities(matrix(1, 2, {1.0, -1.0}), {0.5}));
  p = unwrap(std::move(p).with_quadratic_turnover({0.5, 0.5}, 0.0));
  const std::string expected =
      R"({"covariance":{"factors":{"rows":2,"cols":1,"data":[1.0,0.5]},"omega":{"Diagonal":[0.04]},)"
      R"("diagonal":[0.01,250.0]},"expected_returns":[0.1,1e-7],"risk_aversion":2.5,"budget":1.0,)"
      R"("equalities":{"matrix":{"rows":0,"cols":2,"data":[]},"rhs":[]},)"
      R"("inequalities":{"matrix":{"rows":1,"cols":2,"data":[1.0,-1.0]},"rhs":[0.5]},)"
      R"("lower_bounds":[0.0,null],"upper_bounds":[1.0,null],"previous_weights":[0.5,0.5],)"
      R"("turnover_penalty":0.0,"l1_turnover_costs":null,"benchmark_weights":null})";
  EXPECT_EQ(problem_to_json(p), expected);
  const auto back = problem_from_json(expected);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_TRUE(*back == p);
}

// One asset, two factors with a dense Ω, every optional term present and an
// industry-neutrality row appended after the user's equality row.
TEST(ProblemJson, DenseOmegaDumpWithExtremeNumbersIsExact) {
  PortfolioProblem p = unwrap(PortfolioProblem::create(
      matrix(1, 2, {1e300, -0.0}), FactorCovariance::dense(matrix(2, 2, {1.5e-300, 0.5, 0.5, kMinSubnormal})),
      {-0.0}, {-1e300}));
  p = unwrap(std::move(p).with_risk_aversion(1e-7));
  p = unwrap(std::move(p).with_budget(std::nullopt));
  p = unwrap(std::move(p).with_bounds({-kInf}, {kInf}));
  p = unwrap(std::move(p).with_equalities(matrix(1, 1, {2.0}), {3.0}));
  p = unwrap(std::move(p).with_quadratic_turnover({1.0}, 0.5));
  p = unwrap(std::move(p).with_l1_turnover({1.0}, {0.25}));
  p = unwrap(std::move(p).with_tracking_benchmark({1.0}));
  p = unwrap(std::move(p).with_industry_neutrality({0}));
  const std::string expected =
      R"({"covariance":{"factors":{"rows":1,"cols":2,"data":[1e+300,-0.0]},)"
      R"("omega":{"Dense":{"rows":2,"cols":2,"data":[1.5e-300,0.5,0.5,5e-324]}},"diagonal":[-0.0]},)"
      R"("expected_returns":[-1e+300],"risk_aversion":1e-7,"budget":null,)"
      R"("equalities":{"matrix":{"rows":2,"cols":1,"data":[2.0,1.0]},"rhs":[3.0,1.0]},)"
      R"("inequalities":{"matrix":{"rows":0,"cols":1,"data":[]},"rhs":[]},)"
      R"("lower_bounds":[null],"upper_bounds":[null],"previous_weights":[1.0],"turnover_penalty":0.5,)"
      R"("l1_turnover_costs":[0.25],"benchmark_weights":[1.0]})";
  EXPECT_EQ(problem_to_json(p), expected);
  const auto back = problem_from_json(expected);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_TRUE(*back == p);
  EXPECT_TRUE(std::signbit(back->covariance().diagonal[0]));
}

// ---------------------------------------------------------------------------
// Round trips of seeded random problems

using fixture::Features;
using fixture::random_features;
using fixture::random_problem;

void expect_round_trip(const PortfolioProblem& p) {
  const std::string dump = problem_to_json(p);
  const auto back = problem_from_json(dump);
  ASSERT_TRUE(back.has_value()) << back.error() << "\n" << dump;
  EXPECT_EQ(problem_to_json(*back), dump);
  EXPECT_TRUE(*back == p) << dump;
}

TEST(ProblemJson, SeededRandomProblemsRoundTripByteForByte) {
  constexpr std::uint64_t kSeeds = 400;
  bool saw_null = false, saw_negative_zero = false, saw_subnormal = false, saw_huge = false;
  for (std::uint64_t seed = 0; seed < kSeeds; ++seed) {
    SCOPED_TRACE(seed);
    const PortfolioProblem p = random_problem(seed, random_features(seed));
    expect_round_trip(p);
    const std::string dump = problem_to_json(p);
    saw_null |= dump.find("null") != std::string::npos;
    saw_negative_zero |= dump.find("-0.0") != std::string::npos;
    saw_subnormal |= dump.find("e-32") != std::string::npos || dump.find("e-31") != std::string::npos;
    saw_huge |= dump.find("e+30") != std::string::npos;
  }
  // The draws must actually exercise what the round trip is meant to cover.
  EXPECT_TRUE(saw_null && saw_negative_zero && saw_subnormal && saw_huge);
}

TEST(ProblemJson, FeatureExtremesRoundTrip) {
  const Features all = fixture::every_feature();
  Features no_factors_templates = all;
  no_factors_templates.k = 0;
  no_factors_templates.dense_omega = false;
  const Features none{.n = 4, .k = 0};
  const Features empty{.n = 0, .k = 0};
  for (const Features& f : {all, none, empty, no_factors_templates}) {
    for (std::uint64_t seed = 1000; seed < 1010; ++seed) {
      SCOPED_TRACE(seed);
      expect_round_trip(random_problem(seed, f));
    }
  }
}

// ---------------------------------------------------------------------------
// Reading: accepted variants of the text

struct AcceptedCase {
  const char* name;
  std::string text;
  std::function<void(const PortfolioProblem&)> check;
};

void same_as_base(const PortfolioProblem& p) {
  EXPECT_TRUE(p == base_problem()) << problem_to_json(p);
}

TEST(ProblemJson, ReaderAcceptsEveryLegalSpelling) {
  const std::string sequence_form =
      R"([[[2,2,[1.0,0.0,0.5,1.0]],{"Diagonal":[0.04,0.09]},[0.01,0.02]],[0.1,0.05],1.0,1.0,)"
      R"([[0,2,[]],[]],[[0,2,[]],[]],[0.0,0.0],[1.0,1.0],null,0.0,null,null])";
  const std::string reordered =
      R"({"benchmark_weights":null,"upper_bounds":[1,1],"turnover_penalty":0,"lower_bounds":[0,0],)"
      R"("inequalities":{"rhs":[],"matrix":{"data":[],"cols":2,"rows":0}},"risk_aversion":1,"budget":1,)"
      R"("equalities":{"rhs":[],"matrix":{"data":[],"rows":0,"cols":2}},"expected_returns":[0.1,0.05],)"
      R"("covariance":{"diagonal":[0.01,0.02],"omega":{"Diagonal":[0.04,0.09]},)"
      R"("factors":{"data":[1,0,0.5,1],"cols":2,"rows":2}}})";
  std::string spaced;
  for (const char c : kBase) {
    spaced.push_back(c);
    if (c == ',' || c == ':' || c == '{' || c == '[') spaced += "\n\t \r";
  }
  const std::vector<AcceptedCase> cases = {
      {"sequence form of every record", sequence_form, same_as_base},
      {"keys in reverse order, integers for doubles", reordered, same_as_base},
      {"whitespace everywhere", " \n" + spaced + "\r\n\t ", same_as_base},
      {"unknown keys with nested values are skipped",
       edited(kBase,
              {{R"({"covariance":{)", R"({"comment":"x","covariance":{"note":{"a":[1,{"b":[null,true]}]},)"},
               {R"("rows":0,"cols":2,"data":[]},"rhs":[]},"inequalities")",
                R"("rows":0,"cols":2,"data":[],"extra":[[],{}]},"rhs":[]},"inequalities")"}}),
       same_as_base},
      {"optional keys missing mean null",
       edited(kBase, {{R"("budget":1.0,)", ""},
                      {R"("previous_weights":null,)", ""},
                      {R"(,"l1_turnover_costs":null,"benchmark_weights":null)", ""}}),
       [](const PortfolioProblem& p) {
         EXPECT_FALSE(p.budget().has_value());
         EXPECT_FALSE(p.previous_weights().has_value());
       }},
      {"budget null", edited(kBase, {{R"("budget":1.0)", R"("budget":null)"}}),
       [](const PortfolioProblem& p) { EXPECT_FALSE(p.budget().has_value()); }},
      {"null box sides are infinite",
       edited(kBase, {{R"("lower_bounds":[0.0,0.0],"upper_bounds":[1.0,1.0])",
                       R"("lower_bounds":[null,0.0],"upper_bounds":[null,1.0])"}}),
       [](const PortfolioProblem& p) {
         EXPECT_EQ(p.lower_bounds(), (std::vector<double>{-kInf, 0.0}));
         EXPECT_EQ(p.upper_bounds(), (std::vector<double>{kInf, 1.0}));
       }},
      {"number spellings",
       edited(kBase, {{R"("expected_returns":[0.1,0.05])", R"("expected_returns":[-0,1E2])"},
                      {R"("diagonal":[0.01,0.02])", R"("diagonal":[1e-400,18446744073709551616])"},
                      {R"("risk_aversion":1.0)", R"("risk_aversion":4.9406564584124654e-324)"}}),
       [](const PortfolioProblem& p) {
         EXPECT_TRUE(std::signbit(p.expected_returns()[0]));
         EXPECT_EQ(p.expected_returns()[0], 0.0);
         EXPECT_EQ(p.expected_returns()[1], 100.0);
         EXPECT_EQ(p.covariance().diagonal[0], 0.0);
         EXPECT_EQ(p.covariance().diagonal[1], 18446744073709551616.0);
         EXPECT_EQ(p.risk_aversion(), kMinSubnormal);
       }},
      {"negative zero penalty without previous weights",
       edited(kBase, {{R"("turnover_penalty":0.0)", R"("turnover_penalty":-0.0)"}}),
       [](const PortfolioProblem& p) { EXPECT_FALSE(p.previous_weights().has_value()); }},
      {"both turnover terms",
       edited(kBase,
              {{R"("previous_weights":null,"turnover_penalty":0.0,"l1_turnover_costs":null)",
                R"("previous_weights":[0.5,0.5],"turnover_penalty":0.0,"l1_turnover_costs":[0.01,-0.0])"}}),
       [](const PortfolioProblem& p) {
         ASSERT_TRUE(p.previous_weights() && p.l1_turnover_costs());
         EXPECT_EQ(*p.previous_weights(), (std::vector<double>{0.5, 0.5}));
         EXPECT_EQ(*p.l1_turnover_costs(), (std::vector<double>{0.01, 0.0}));
       }},
      {"dense omega and a benchmark",
       edited(kBase, {{R"({"Diagonal":[0.04,0.09]})",
                       R"({"Dense":{"rows":2,"cols":2,"data":[0.04,0.01,0.01,0.09]}})"},
                      {R"("benchmark_weights":null)", R"("benchmark_weights":[0.5,0.5])"}}),
       [](const PortfolioProblem& p) {
         ASSERT_TRUE(p.covariance().omega.is_dense());
         EXPECT_EQ(p.covariance().omega.dense_matrix()(0, 1), 0.01);
         EXPECT_EQ(p.benchmark_weights(), (std::vector<double>{0.5, 0.5}));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto p = problem_from_json(c.text);
    ASSERT_TRUE(p.has_value()) << p.error();
    c.check(*p);
  }
}

// ---------------------------------------------------------------------------
// Reading: error texts and positions

// `marked` holds one '@' where the reader is expected to stand; returns the
// text without it and the expected " at line L column C" suffix.
std::pair<std::string, std::string> unmark(std::string_view marked) {
  const std::size_t at = marked.find('@');
  EXPECT_NE(at, std::string_view::npos);
  EXPECT_EQ(marked.find('@', at + 1), std::string_view::npos);
  std::string text(marked.substr(0, at));
  text += marked.substr(at + 1);
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (marked[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {text, " at line " + std::to_string(line) + " column " + std::to_string(at - line_start)};
}

struct ParseErrorCase {
  std::string marked;
  std::string message;
};

TEST(ProblemJson, ParseErrorsCarryMessageAndPosition) {
  const std::string factors = R"({"covariance":{"factors":{"rows":)";
  const std::string omega = R"({"covariance":{"factors":{"rows":0,"cols":0,"data":[]},"omega":)";
  const std::vector<ParseErrorCase> cases = {
      // Structure and required fields.
      {"@", "EOF while parsing a value"},
      {" \n\t@", "EOF while parsing a value"},
      {"{}@", "missing field `covariance`"},
      {R"({"risk_aversion":1.0}@)", "missing field `covariance`"},
      {R"({"covariance":{"factors":{"rows":0,"cols":0}@)", "missing field `data`"},
      {R"({"covariance":{"factors":{"rows":0,"cols":0,"data":[]},"diagonal":[]}@)", "missing field `omega`"},
      {edited(kBase, {{R"("turnover_penalty":0.0,)", ""}}) + "@", "missing field `turnover_penalty`"},
      {edited(kBase, {{R"("inequalities":{"matrix":{"rows":0,"cols":2,"data":[]},"rhs":[]},)", ""},
                      {R"("lower_bounds":[0.0,0.0],)", ""}}) +
           "@",
       "missing field `inequalities`"},
      {R"({"risk_aversion":1,"risk_aversion"@)", "duplicate field `risk_aversion`"},
      {factors + R"(0,"rows"@)", "duplicate field `rows`"},
      // Types.
      {"5@", "invalid type: integer `5`, expected struct PortfolioProblemData"},
      {R"({"covariance":"x"@)", "invalid type: string \"x\", expected struct FactorQuad"},
      {factors + "-1@", "invalid value: integer `-1`, expected u64"},
      {factors + "1.5@", "invalid type: floating point `1.5`, expected u64"},
      {factors + "2.0@", "invalid type: floating point `2.0`, expected u64"},
      {factors + "1e2@", "invalid type: floating point `100.0`, expected u64"},
      {factors + "true@", "invalid type: boolean `true`, expected u64"},
      {factors + "null@", "invalid type: null, expected u64"},
      {factors + "[@", "invalid type: sequence, expected u64"},
      {factors + R"(1,"cols":1,"data":{@)", "invalid type: map, expected a sequence"},
      {factors + R"(1,"cols":2,"data":[1,"2"@)", "invalid type: string \"2\", expected f64"},
      {factors + R"(1,"cols":2,"data":[1,[@)", "invalid type: sequence, expected f64"},
      {R"({"expected_returns":null@)", "invalid type: null, expected a sequence"},
      {R"({"expected_returns":[null@)", "invalid type: null, expected f64"},
      {R"({"lower_bounds":[null,false@)", "invalid type: boolean `false`, expected f64"},
      {R"({"previous_weights":"a"@)", "invalid type: string \"a\", expected a sequence"},
      {R"({"budget":"x"@)", "invalid type: string \"x\", expected f64"},
      {R"({"budget":{@)", "invalid type: map, expected f64"},
      {R"({"risk_aversion":null@)", "invalid type: null, expected f64"},
      {R"({"risk_aversion":"a\"b\\"@)", R"(invalid type: string "a\"b\\", expected f64)"},
      {R"({"equalities":7@)", "invalid type: integer `7`, expected struct LinearConstraints"},
      // Sequence forms.
      {"[]@", "invalid length 0, expected struct PortfolioProblemData with 12 elements"},
      {R"({"covariance":[{"rows":0,"cols":0,"data":[]},{"Diagonal":[]}]@)",
       "invalid length 2, expected struct FactorQuad with 3 elements"},
      {R"({"covariance":{"factors":[0,0,[],[1,{"a":2}]]@)",
       "invalid length 4, expected struct MatrixData with 3 elements"},
      {R"({"equalities":[{"rows":0,"cols":2,"data":[]}]@)",
       "invalid length 1, expected struct LinearConstraints with 2 elements"},
      // The covariance variant.
      {omega + R"({"Sparse"@)", "unknown variant `Sparse`, expected `Dense` or `Diagonal`"},
      {omega + R"({"diagonal"@)", "unknown variant `diagonal`, expected `Dense` or `Diagonal`"},
      {omega + "{}@", "invalid length 0, expected a map with a single variant key"},
      {omega + R"({"Diagonal":[],"Dense":{"x":[1]}}@)",
       "invalid length 2, expected a map with a single variant key"},
      {omega + "[@", "invalid type: sequence, expected enum FactorCovariance"},
      {omega + R"("Dense"@)", "invalid type: string \"Dense\", expected enum FactorCovariance"},
      {omega + R"({"Dense":5@)", "invalid type: integer `5`, expected struct MatrixData"},
      {omega + R"({"Diagonal":{@)", "invalid type: map, expected a sequence"},
      // Matrix shapes.
      {factors + R"(2,"cols":2,"data":[1,2,3]}@)", "matrix shape 2x2 requires 4 values, got 3"},
      {factors + R"(4294967296,"cols":4294967297,"data":[]}@)",
       "matrix dimensions 4294967296x4294967297 overflow the address space"},
      {omega + R"({"Dense":{"rows":1,"cols":1,"data":[]}@)", "matrix shape 1x1 requires 1 values, got 0"},
      {"{\"covariance\":{\n  \"factors\":{\"rows\":1,\n  \"cols\":1,\"data\":[]\n}@",
       "matrix shape 1x1 requires 1 values, got 0"},
      // Numbers.
      {R"({"risk_aversion":1e400@)", "number out of range"},
      {R"({"risk_aversion":10e308@)", "number out of range"},
      {R"({"risk_aversion":-1.8e308@)", "number out of range"},
      {R"({"comment":1.}@)", "invalid number"},
      {R"({"comment":1e@)", "EOF while parsing a value"},
      // Syntax.
      {R"({"covariance" 5@)", "expected `:`"},
      {R"({1@)", "key must be a string"},
      {R"({"comment":1,}@)", "key must be a string"},
      {R"({"comment":[1 2@]})", "expected `,` or `]`"},
      {R"({"comment":01@})", "expected `,` or `}`"},
      {R"({"comment":[1,]@})", "expected value"},
      {R"({"comment":trux@})", "expected value"},
      {R"({"comment":tru@)", "EOF while parsing a value"},
      {R"({"comment":[1@)", "EOF while parsing a list"},
      {R"({"comment":1@)", "EOF while parsing an object"},
      {R"({"comment":"abc@)", "EOF while parsing a string"},
      {"{\"comment\":\"a\t@b\"}", "control character (\\u0000-\\u001F) found while parsing a string"},
      {R"({"comment":"a\x@"})", "invalid escape"},
      {R"({"comment":"\u12g@"})", "invalid escape"},
      {R"({"comment":"\ud800x@"})", "lone leading surrogate in hex escape"},
      {"{\"comment\":\"\xff@\"}", "invalid unicode code point"},
      {"{\n  \"covariance\": {\n    \"factors\": 7@\n",
       "invalid type: integer `7`, expected struct MatrixData"},
      // After the value.
      {kBase + " x@", "trailing characters"},
      {kBase + "\n\n  {@}", "trailing characters"},
      {kBase + std::string(1, '\0') + "@", "trailing characters"},
  };
  for (const auto& c : cases) {
    const auto [text, position] = unmark(c.marked);
    SCOPED_TRACE(c.marked);
    const auto result = problem_from_json(text);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.message + position);
  }
}

struct ValidationCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> edits;
  std::string message;
};

// Rules of construction, in their order; no position is attached.
TEST(ProblemJson, ValidationErrorsFollowTheConstructionOrder) {
  const std::string eq = R"("equalities":{"matrix":{"rows":0,"cols":2,"data":[]},"rhs":[]})";
  const std::string in = R"("inequalities":{"matrix":{"rows":0,"cols":2,"data":[]},"rhs":[]})";
  const std::string bounds = R"("lower_bounds":[0.0,0.0],"upper_bounds":[1.0,1.0])";
  const std::string turnover = R"("previous_weights":null,"turnover_penalty":0.0,"l1_turnover_costs":null)";
  const std::string turnover_param = "invalid portfolio parameter: turnover terms require previous_weights";
  const std::vector<ValidationCase> cases = {
      {"diagonal length",
       {{R"("diagonal":[0.01,0.02])", R"("diagonal":[0.01,0.02,0.03])"}},
       "quadratic.diagonal has dimension 3; expected 2"},
      {"asymmetric dense omega",
       {{R"({"Diagonal":[0.04,0.09]})", R"({"Dense":{"rows":2,"cols":2,"data":[0.04,0.01,0.02,0.09]}})"}},
       "quadratic.omega must be symmetric"},
      {"negative specific variance",
       {{R"("diagonal":[0.01,0.02])", R"("diagonal":[0.01,-1e-300])"}},
       "non-convex quadratic data: quadratic diagonal must be finite and non-negative"},
      {"returns length",
       {{R"("expected_returns":[0.1,0.05])", R"("expected_returns":[0.1])"}},
       "expected_returns has dimension 1; expected 2"},
      {"risk aversion zero",
       {{R"("risk_aversion":1.0)", R"("risk_aversion":0)"}},
       "invalid portfolio parameter: risk_aversion must be finite and positive"},
      {"risk aversion before bounds",
       {{R"("risk_aversion":1.0)", R"("risk_aversion":-1)"},
        {bounds, R"("lower_bounds":[2,0],"upper_bounds":[1,1])"}},
       "invalid portfolio parameter: risk_aversion must be finite and positive"},
      {"lower bounds length",
       {{bounds, R"("lower_bounds":[0.0],"upper_bounds":[1.0,1.0])"}},
       "lower_bounds has dimension 1; expected 2"},
      {"crossed box",
       {{bounds, R"("lower_bounds":[0.5,0.0],"upper_bounds":[0.25,null])"}},
       "invalid bounds at index 0: lower 0.5 exceeds upper 0.25"},
      {"bounds before equalities",
       {{bounds, R"("lower_bounds":[0.0,2],"upper_bounds":[1.0,1.0])"},
        {eq, R"("equalities":{"matrix":{"rows":1,"cols":3,"data":[1,1,1]},"rhs":[1]})"}},
       "invalid bounds at index 1: lower 2 exceeds upper 1"},
      {"equality width",
       {{eq, R"("equalities":{"matrix":{"rows":1,"cols":3,"data":[1,1,1]},"rhs":[1]})"}},
       "equalities has dimension 3; expected 2"},
      {"equality right-hand side count",
       {{eq, R"("equalities":{"matrix":{"rows":1,"cols":2,"data":[1,1]},"rhs":[]})"}},
       "constraints.rhs has dimension 0; expected 1"},
      {"equalities before inequalities",
       {{eq, R"("equalities":{"matrix":{"rows":1,"cols":2,"data":[1,1]},"rhs":[1,2]})"},
        {in, R"("inequalities":{"matrix":{"rows":0,"cols":5,"data":[]},"rhs":[]})"}},
       "constraints.rhs has dimension 2; expected 1"},
      {"inequality width",
       {{in, R"("inequalities":{"matrix":{"rows":0,"cols":5,"data":[]},"rhs":[]})"}},
       "inequalities has dimension 5; expected 2"},
      {"penalty without previous weights",
       {{turnover, R"("previous_weights":null,"turnover_penalty":0.5,"l1_turnover_costs":null)"}},
       turnover_param},
      {"costs without previous weights",
       {{turnover, R"("previous_weights":null,"turnover_penalty":0.0,"l1_turnover_costs":[0.1,0.1])"}},
       turnover_param},
      {"inequalities before turnover",
       {{in, R"("inequalities":{"matrix":{"rows":0,"cols":5,"data":[]},"rhs":[]})"},
        {turnover, R"("previous_weights":null,"turnover_penalty":0.5,"l1_turnover_costs":null)"}},
       "inequalities has dimension 5; expected 2"},
      {"previous weights length",
       {{turnover, R"("previous_weights":[1],"turnover_penalty":0.0,"l1_turnover_costs":null)"}},
       "previous_weights has dimension 1; expected 2"},
      {"negative penalty",
       {{turnover, R"("previous_weights":[0.5,0.5],"turnover_penalty":-1,"l1_turnover_costs":null)"}},
       "invalid portfolio parameter: turnover_penalty must be finite and non-negative"},
      {"penalty checked before costs",
       {{turnover, R"("previous_weights":[0.5,0.5],"turnover_penalty":-1,"l1_turnover_costs":[-1,0])"}},
       "invalid portfolio parameter: turnover_penalty must be finite and non-negative"},
      {"negative cost",
       {{turnover, R"("previous_weights":[0.5,0.5],"turnover_penalty":0,"l1_turnover_costs":[-1,0])"}},
       "invalid portfolio parameter: l1 turnover costs must be non-negative"},
      {"turnover before benchmark",
       {{turnover, R"("previous_weights":null,"turnover_penalty":0.5,"l1_turnover_costs":null)"},
        {R"("benchmark_weights":null)", R"("benchmark_weights":[1])"}},
       turnover_param},
      {"benchmark length",
       {{R"("benchmark_weights":null)", R"("benchmark_weights":[1])"}},
       "benchmark_weights has dimension 1; expected 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = problem_from_json(edited(kBase, c.edits));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.message);
  }
}

// ---------------------------------------------------------------------------
// Reading: hostile inputs

TEST(ProblemJson, ClaimedHugeShapeFailsWithoutAllocating) {
  const std::string text =
      R"({"covariance":{"factors":{"rows":1000000000,"cols":1000000000,"data":[1,2,3]}}})";
  std::expected<PortfolioProblem, std::string> result = std::unexpected(std::string());
  std::size_t largest = 0;
  {
    allocation::LargestAllocationProbe probe;
    result = problem_from_json(text);
    largest = probe.largest();
  }
  ASSERT_FALSE(result.has_value());
  // The reader stands after the matrix object's '}', before the two closing ones.
  EXPECT_EQ(
      result.error(),
      "matrix shape 1000000000x1000000000 requires 1000000000000000000 values, got 3 at line 1 column " +
          std::to_string(text.size() - 2));
  EXPECT_LT(largest, std::size_t{1} << 16);
}

TEST(ProblemJson, DeepNestingFailsOrSkipsWithoutRecursion) {
  constexpr std::size_t kDepth = 100000;
  const std::string open(kDepth, '[');
  const std::string close(kDepth, ']');
  {
    const auto result = problem_from_json(open);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "invalid type: sequence, expected u64 at line 1 column 4");
  }
  {
    const std::string text = R"({"comment":)" + open;
    const auto result = problem_from_json(text);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "EOF while parsing a value at line 1 column " + std::to_string(text.size()));
  }
  {
    const std::string text = R"({"comment":)" + open + close + "}";
    const auto result = problem_from_json(text);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "missing field `covariance` at line 1 column " + std::to_string(text.size()));
  }
  {
    // A deep unknown value inside a complete dump is skipped and the dump loads.
    std::string objects;
    for (std::size_t i = 0; i < kDepth; ++i) objects += R"({"a":)";
    objects += "1" + std::string(kDepth, '}');
    const std::string text = edited(kBase, {{R"({"covariance":{)", R"({"x":)" + open + close + R"(,"y":)" +
                                                                       objects + R"(,"covariance":{)"}});
    const auto result = problem_from_json(text);
    ASSERT_TRUE(result.has_value()) << result.error().substr(0, 200);
    EXPECT_TRUE(*result == base_problem());
  }
}

// A parse error names a line and column inside the text; a validation error
// is one of the construction messages. Unmapped reader errors would read
// "syntax error" and fail both patterns.
void expect_clean_error(const std::string& text, const std::string& error) {
  static const std::regex positioned(
      R"(^(invalid type: |invalid value: |invalid length |unknown variant `|duplicate field `|missing field `|)"
      R"(trailing characters|matrix |EOF while parsing |expected |key must be a string|control character |)"
      R"(invalid escape|invalid number|number out of range|invalid unicode code point|lone leading surrogate)"
      R"().* at line (\d+) column (\d+)$)");
  static const std::regex validation(
      R"(^(invalid portfolio parameter: .+|invalid bounds at index \d+: lower \S+ exceeds upper \S+|)"
      R"(\S+ has dimension \d+; expected \d+|\S+ contains a non-finite coefficient|)"
      R"(non-convex quadratic data: .+|\S+ must be (square|symmetric))$)");
  std::smatch m;
  if (std::regex_match(error, m, positioned)) {
    const std::size_t line = std::stoul(m[2].str());
    const std::size_t column = std::stoul(m[3].str());
    ASSERT_GE(line, 1u);
    std::size_t line_start = 0;
    for (std::size_t l = 1; l < line; ++l) {
      line_start = text.find('\n', line_start);
      ASSERT_NE(line_start, std::string::npos) << error;
      ++line_start;
    }
    const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
    EXPECT_LE(line_start + column, line_end) << error;
    return;
  }
  EXPECT_TRUE(std::regex_match(error, validation)) << error;
}

// Returns whether the text was accepted.
bool check_hostile_input(const std::string& text) {
  std::expected<PortfolioProblem, std::string> result = std::unexpected(std::string());
  std::size_t largest = 0;
  {
    allocation::LargestAllocationProbe probe;
    result = problem_from_json(text);
    largest = probe.largest();
  }
  // Memory follows the text: growth of the arrays actually read, never a claim.
  EXPECT_LE(largest, 16 * text.size() + (std::size_t{1} << 16));
  if (result) {
    // Whatever was accepted is a valid problem and dumps to a text that
    // reads back to the same problem.
    const std::string dump = problem_to_json(*result);
    const auto again = problem_from_json(dump);
    EXPECT_TRUE(again.has_value()) << again.error();
    if (!again) return true;
    EXPECT_TRUE(*again == *result);
    EXPECT_EQ(problem_to_json(*again), dump);
    return true;
  }
  expect_clean_error(text, result.error());
  return false;
}

TEST(ProblemJson, TruncatedAndMutatedDumpsFailCleanly) {
  const Features rich{.n = 3,
                      .k = 2,
                      .dense_omega = true,
                      .infinite_side_chance = 0.4,
                      .equalities = true,
                      .inequalities = true,
                      .previous = true,
                      .l1 = true,
                      .benchmark = true,
                      .style = true};
  const std::vector<std::string> dumps = {kBase, problem_to_json(random_problem(7, rich)),
                                          problem_to_json(random_problem(8, random_features(8)))};
  // Bytes that steer a JSON reader into its rarer paths, plus any byte.
  const std::string steering = "{}[],:\"\\0123456789.eE+-ntrfalsu \n\t\x01\xff";
  dense::Random random(20240601);
  std::size_t accepted = 0, rejected = 0;
  for (const std::string& dump : dumps) {
    for (std::size_t length = 0; length < dump.size(); ++length) {
      SCOPED_TRACE(length);
      EXPECT_FALSE(check_hostile_input(dump.substr(0, length)));
    }
    for (int trial = 0; trial < 1500; ++trial) {
      std::string text = dump;
      const std::size_t edits = 1 + random.below(3);
      for (std::size_t e = 0; e < edits; ++e) {
        const std::size_t at = random.below(text.size());
        const char byte = random.chance(0.8) ? steering[random.below(steering.size())]
                                             : static_cast<char>(random.below(256));
        switch (random.below(3)) {
          case 0: text[at] = byte; break;
          case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), byte); break;
          default: text.erase(at, 1); break;
        }
      }
      SCOPED_TRACE(text);
      (check_hostile_input(text) ? accepted : rejected) += 1;
    }
  }
  // Both outcomes must occur, or the mutations are not reaching the reader.
  EXPECT_GT(accepted, 0u);
  EXPECT_GT(rejected, 1000u);
  EXPECT_GT(accepted + rejected, 4000u);
}

// ---------------------------------------------------------------------------
// Solution JSON

Solution primal_infeasible_solution() {
  Solution s;
  s.status = SolveStatus::PrimalInfeasible;
  s.x = {0.25, -0.0};
  s.dual.equalities = {1.5};
  s.dual.bounds = {0.0, -2.0};
  s.objective = -0.125;
  s.residuals = {kInf, std::numeric_limits<double>::quiet_NaN(), 1e-9};
  s.iterations = 40;
  s.solve_time = {1, 500000000};
  s.final_rho = 0.1;
  s.rho_updates = 2;
  s.polished = false;
  s.diagnostics =
      ConvergenceDiagnostics{0.001, 1e-7, 3.5, true, {"say \"hi\" \xE2\x80\x94 now", "a\\b\nc\x01"}};
  s.certificate = Certificate{PrimalCertificate{{1.0}, {}, {0.5, -1.0}}};
  return s;
}

TEST(SolutionJson, FullRecordIsWrittenInKeyOrder) {
  const std::string expected =
      R"({"status":"PrimalInfeasible","x":[0.25,-0.0],)"
      R"("dual":{"equalities":[1.5],"inequalities":[],"bounds":[0.0,-2.0],"l1":[]},"objective":-0.125,)"
      R"("residuals":{"primal":null,"dual":null,"complementarity":1e-9},"iterations":40,)"
      R"("solve_time":{"secs":1,"nanos":500000000},"final_rho":0.1,"rho_updates":2,"polished":false,)"
      R"("diagnostics":{"primal_tolerance":0.001,"dual_tolerance":1e-7,"coefficient_spread_decades":3.5,)"
      R"("rho_at_limit":true,"hints":["say \"hi\" )"
      "\xE2\x80\x94"
      R"( now","a\\b\nc\u0001"]},)"
      R"("certificate":{"Primal":{"equality_dual":[1.0],"inequality_dual":[],"bound_dual":[0.5,-1.0]}}})";
  EXPECT_EQ(solution_to_json(primal_infeasible_solution()), expected);
}

TEST(SolutionJson, SolvedRecordHasNullDiagnosticsAndCertificate) {
  Solution s;
  s.status = SolveStatus::Solved;
  s.x = {0.6, 0.4};
  s.dual.equalities = {-0.1};
  s.dual.bounds = {0.0, 0.0};
  s.dual.l1 = {0.02, -0.02};
  s.objective = -0.05;
  s.residuals = {0.0, 1e-7, 0.0};
  s.iterations = 50;
  s.solve_time = {0, 1234};
  s.final_rho = 1.0;
  s.polished = true;
  EXPECT_EQ(solution_to_json(s),
            R"({"status":"Solved","x":[0.6,0.4],"dual":{"equalities":[-0.1],"inequalities":[],)"
            R"("bounds":[0.0,0.0],"l1":[0.02,-0.02]},"objective":-0.05,)"
            R"("residuals":{"primal":0.0,"dual":1e-7,"complementarity":0.0},"iterations":50,)"
            R"("solve_time":{"secs":0,"nanos":1234},"final_rho":1.0,"rho_updates":0,"polished":true,)"
            R"("diagnostics":null,"certificate":null})");
}

TEST(SolutionJson, StatusNamesNonFiniteNumbersAndDualCertificate) {
  struct Case {
    SolveStatus status;
    const char* name;
  };
  for (const Case& c :
       {Case{SolveStatus::Solved, "Solved"}, Case{SolveStatus::MaxIterations, "MaxIterations"},
        Case{SolveStatus::NumericalFailure, "NumericalFailure"},
        Case{SolveStatus::PrimalInfeasible, "PrimalInfeasible"},
        Case{SolveStatus::DualInfeasible, "DualInfeasible"}}) {
    Solution s;
    s.status = c.status;
    EXPECT_EQ(solution_to_json(s).rfind(std::string(R"({"status":")") + c.name + "\",", 0), 0u) << c.name;
  }
  Solution s;
  s.status = SolveStatus::DualInfeasible;
  s.x = {kInf, -kInf, std::numeric_limits<double>::quiet_NaN(), 1e300};
  s.objective = -kInf;
  s.final_rho = 1e6;
  s.solve_time = {std::numeric_limits<std::uint64_t>::max(), 999999999};
  s.certificate = Certificate{DualCertificate{{0.5, -1.0}}};
  const std::string json = solution_to_json(s);
  EXPECT_NE(json.find(R"("x":[null,null,null,1e+300])"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("objective":null,)"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("final_rho":1000000.0,)"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("solve_time":{"secs":18446744073709551615,"nanos":999999999})"), std::string::npos)
      << json;
  EXPECT_TRUE(json.ends_with(R"("diagnostics":null,"certificate":{"Dual":{"direction":[0.5,-1.0]}}})"))
      << json;
}

TEST(SolutionJson, HintsUseStandardEscaping) {
  struct Case {
    std::string hint;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"plain", R"("plain")"},
      {"quote \" and backslash \\", R"("quote \" and backslash \\")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("nul\0end", 7), R"("nul\u0000end")"},
      {"\x1f\x7f", "\"\\u001f\x7f\""},
      {"slash / stays", R"("slash / stays")"},
      {"\xE2\x80\x94 \xC3\xA9", "\"\xE2\x80\x94 \xC3\xA9\""},
  };
  for (const Case& c : cases) {
    Solution s;
    s.diagnostics = ConvergenceDiagnostics{};
    s.diagnostics->hints = {c.hint};
    const std::string json = solution_to_json(s);
    EXPECT_NE(json.find(R"("hints":[)" + c.written + "]}"), std::string::npos) << json;
  }
}

}  // namespace
}  // namespace morva
