// `morva._engine`: the morva package's private path into the engine. It
// works on `_morva`'s own objects, without copies or JSON: it solves a held
// PortfolioProblem under the package's solver profile, shows a problem's data
// as read-only NumPy views, and derives new problems from held ones. Its
// results are `_morva` objects, made with `_morva`'s types and module state
// (both modules are built from the same sources in one build, so the state
// and instance layouts are one and the same; the exec slot checks the size).
#define MORVA_IMPORTS_NUMPY_API
#include "numpy_api.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "keywords.hpp"
#include "module_state.hpp"
#include "morva/matrix.hpp"
#include "morva/portfolio.hpp"
#include "morva/portfolio_inputs.hpp"
#include "morva/sequence.hpp"
#include "morva/settings.hpp"
#include "morva/solution.hpp"
#include "pyref.hpp"
#include "types.hpp"

namespace morva::python {
namespace {

struct EngineState {
  PyObject* morva;  // the `_morva` module (strong reference)
};

EngineState& engine_state(PyObject* module) {
  return *static_cast<EngineState*>(PyModule_GetState(module));
}

const ModuleState& morva_state(PyObject* module) {
  return module_state(engine_state(module).morva);
}

// A PortfolioProblem of `_morva`, or a TypeError naming the argument.
bool is_problem(const ModuleState& state, PyObject* object, const char* function) {
  if (PyObject_TypeCheck(object, state.problem_type)) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument 'problem' must be a PortfolioProblem, not %.200s", function,
               Py_TYPE(object)->tp_name);
  return false;
}

std::optional<SolverProfile> parse_profile(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "profile must be a str, not %.200s", Py_TYPE(name)->tp_name);
    return std::nullopt;
  }
  if (PyUnicode_CompareWithASCIIString(name, "adaptive") == 0) return SolverProfile::Adaptive;
  if (PyUnicode_CompareWithASCIIString(name, "reference") == 0) return SolverProfile::Reference;
  PyErr_Format(PyExc_ValueError, "profile must be 'adaptive' or 'reference', got %R", name);
  return std::nullopt;
}

constexpr Signature kSolveSignature{"solve", kSolveParameters, 0, false};

// Whether a positional-only function got its `expected` arguments; a
// TypeError in Python's own words otherwise.
bool has_arguments(const char* function, Py_ssize_t expected, Py_ssize_t nargs) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional arguments (%zd given)", function, expected,
               nargs);
  return false;
}

// Binds a dict of keywords to `signature` as the method it mirrors binds its
// own keywords (no positional arguments). `what` names the dict in the
// TypeError a non-dict raises ("solve() keywords must be a dict").
bool bind_keyword_dict(const ModuleState& state, const Signature& signature, PyObject* dict, const char* what,
                       std::span<PyObject*> arguments) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "%s() %s must be a dict", signature.display_name, what);
    return false;
  }
  PyRef no_positional = PyRef::steal(PyTuple_New(0));
  return no_positional && bind_arguments(state, signature, no_positional.get(), dict, arguments);
}

// solve(problem, profile, keywords, /): PortfolioProblem.solve(**keywords)
// under the named profile; the keywords are bound and converted exactly as
// that method does, with "solve" in the texts.
PyObject* engine_solve(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  const ModuleState& state = morva_state(module);
  try {
    if (!has_arguments("solve", 3, nargs) || !is_problem(state, args[0], "solve")) return nullptr;
    const std::optional<SolverProfile> profile = parse_profile(args[1]);
    if (!profile) return nullptr;
    std::array<PyObject*, kSolveParameters.size()> arguments{};
    if (!bind_keyword_dict(state, kSolveSignature, args[2], "keywords", arguments)) return nullptr;
    std::optional<WarmStart> warm_start;
    SolverSettings settings;
    bool raise_on_failure = true;
    if (!convert_solve_options(state, arguments, warm_start, settings, raise_on_failure)) return nullptr;
    settings.profile = *profile;
    // As PortfolioProblem.solve: the held problem is immutable and args[0]
    // outlives the call, so the engine reads it in place without the lock.
    const PortfolioProblem& problem = held_problem(args[0]);
    auto outcome =
        without_gil([&] { return morva::solve_mean_variance_factor(problem, settings, warm_start); });
    return finish_solve(state, std::move(outcome), raise_on_failure);
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

// solve_batch(profile, args, kwargs, /): _morva.solve_batch(*args, **kwargs)
// under the named profile.
PyObject* engine_solve_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  const ModuleState& state = morva_state(module);
  if (!has_arguments("solve_batch", 3, nargs)) return nullptr;
  const std::optional<SolverProfile> profile = parse_profile(args[0]);
  if (!profile) return nullptr;
  if (!PyTuple_Check(args[1]) || !PyDict_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "solve_batch() takes a tuple of arguments and a dict of keywords");
    return nullptr;
  }
  return solve_batch_call(state, args[1], args[2], *profile);
}

// A read-only float64 view of `values` (1-D, or rows × cols when cols is
// given) that keeps `owner` alive. Empty data gets an empty read-only array.
PyObject* view(PyObject* owner, std::span<const double> values, std::size_t rows,
               std::optional<std::size_t> cols) {
  std::array<npy_intp, 2> shape{static_cast<npy_intp>(rows), static_cast<npy_intp>(cols.value_or(0))};
  const int dimensions = cols ? 2 : 1;
  if (values.empty()) {
    PyRef empty = PyRef::steal(PyArray_ZEROS(dimensions, shape.data(), NPY_FLOAT64, 0));
    if (!empty) return nullptr;
    PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(empty.get()), NPY_ARRAY_WRITEABLE);
    return empty.release();
  }
  // NumPy never writes through a view without NPY_ARRAY_WRITEABLE.
  PyRef array =
      PyRef::steal(PyArray_New(&PyArray_Type, dimensions, shape.data(), NPY_FLOAT64, nullptr,
                               const_cast<double*>(values.data()), 0, NPY_ARRAY_CARRAY_RO, nullptr));
  if (!array) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), Py_NewRef(owner)) < 0)
    return nullptr;
  return array.release();
}

PyObject* view(PyObject* owner, std::span<const double> values) {
  return view(owner, values, values.size(), std::nullopt);
}

PyObject* matrix_view(PyObject* owner, const Matrix& m) {
  return view(owner, m.data(), m.rows(), m.cols());
}

// A value the built problem holds, as Python sees it: arrays as read-only
// views that keep `owner` alive (Ω dense k×k, or its diagonal ω), numbers as
// floats, an absent value as None.
PyObject* held_value(PyObject* owner, const Matrix& m) {
  return matrix_view(owner, m);
}

PyObject* held_value(PyObject* owner, const FactorCovariance& omega) {
  return omega.is_dense() ? matrix_view(owner, omega.dense_matrix()) : view(owner, omega.diagonal_values());
}

PyObject* held_value(PyObject* owner, const std::vector<double>& values) {
  return view(owner, values);
}

PyObject* held_value(PyObject*, double value) {
  return PyFloat_FromDouble(value);
}

template <class T>
PyObject* held_value(PyObject* owner, const std::optional<T>& value) {
  return value ? held_value(owner, *value) : Py_NewRef(Py_None);
}

// Whether the built problem holds an input as given (a dump keeps it); the
// others are lowered into constraint rows and the box.
template <class Row>
inline constexpr bool kHeld = !std::is_same_v<std::remove_cvref_t<decltype(Row::dump)>, NotDumped>;

// Sets dict[key] = value, stealing value; false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// problem_data(problem, /): the held inputs after construction (the
// templates' rows appended, the limits applied to the bounds), as read-only
// views under their keywords, in table order.
PyObject* engine_problem_data(PyObject* module, PyObject* object) {
  const ModuleState& state = morva_state(module);
  try {
    if (!is_problem(state, object, "problem_data")) return nullptr;
    const PortfolioProblem& problem = held_problem(object);
    PyRef data = PyRef::steal(PyDict_New());
    if (!data) return nullptr;
    bool ok = true;
    for_each_input([&]<class Row>(const Row& row, auto) {
      if constexpr (kHeld<Row>)
        ok = ok && put(data.get(), row.name, held_value(object, row.dump.read(problem)));
    });
    return ok ? data.release() : nullptr;
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

// A new PortfolioProblem: `change` applied, without the GIL, to a copy of
// the one `problem` holds; its failure raised as the builders' errors are.
template <class Change>
PyObject* changed_copy(const ModuleState& state, PyObject* problem, Change change) {
  PortfolioProblem copy = held_problem(problem);
  PortfolioResult changed = without_gil([&] { return change(std::move(copy)); });
  if (!changed) {
    raise_portfolio_error(changed.error());
    return nullptr;
  }
  return new_problem_object(state, std::move(*changed));
}

// A new PortfolioProblem equal to args[0] but for the one number (or None
// when `optional`) in args[1], set by `change` under the builder's rule.
template <class Change>
PyObject* changed_problem(PyObject* module, PyObject* const* args, Py_ssize_t nargs, const char* name,
                          bool optional, Change change) {
  const ModuleState& state = morva_state(module);
  try {
    if (!has_arguments(name, 2, nargs) || !is_problem(state, args[0], name)) return nullptr;
    std::optional<double> value;
    if (!(optional && args[1] == Py_None)) {
      value = PyFloat_AsDouble(args[1]);
      if (*value == -1.0 && PyErr_Occurred()) return nullptr;
    }
    return changed_copy(state, args[0],
                        [&](PortfolioProblem copy) { return change(std::move(copy), value); });
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

// with_risk_aversion(problem, risk_aversion, /): a new PortfolioProblem equal
// to `problem` but for its risk aversion, checked by the same rule.
PyObject* engine_with_risk_aversion(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return changed_problem(module, args, nargs, "with_risk_aversion", false,
                         [](PortfolioProblem problem, std::optional<double> value) {
                           return std::move(problem).with_risk_aversion(*value);
                         });
}

// with_gross_leverage(problem, limit, /): a new PortfolioProblem equal to
// `problem` but for its gross-leverage limit Σ|xᵢ| ≤ limit (None: no limit).
PyObject* engine_with_gross_leverage(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return changed_problem(module, args, nargs, "with_gross_leverage", true,
                         [](PortfolioProblem problem, std::optional<double> limit) {
                           return std::move(problem).with_gross_leverage(limit);
                         });
}

// A 1-D C-contiguous array of `type` (no copy is made), or a TypeError
// naming the argument.
template <class T>
std::optional<std::span<const T>> flat_array(PyObject* object, int type, const char* type_name,
                                             const char* name) {
  if (!PyArray_Check(object) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(object)) != type ||
      PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) != 1 ||
      !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(object))) {
    PyErr_Format(PyExc_TypeError, "with_factors() argument '%s' must be a contiguous 1-D %s array", name,
                 type_name);
    return std::nullopt;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  return std::span<const T>(static_cast<const T*>(PyArray_DATA(array)),
                            static_cast<std::size_t>(PyArray_DIM(array, 0)));
}

// with_factors(problem, factor_count, row_starts, columns, values, omega, /):
// a new PortfolioProblem equal to `problem` but for F, given by its
// compressed rows (one per asset; int64 starts and columns, float64
// values), and Ω. F is written from its stored entries, never scanned.
PyObject* engine_with_factors(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  const ModuleState& state = morva_state(module);
  try {
    if (!has_arguments("with_factors", 6, nargs) || !is_problem(state, args[0], "with_factors"))
      return nullptr;
    const Py_ssize_t k = PyNumber_AsSsize_t(args[1], PyExc_OverflowError);
    if (k == -1 && PyErr_Occurred()) return nullptr;
    if (k < 0) {
      PyErr_SetString(PyExc_ValueError, "with_factors() factor_count must be non-negative");
      return nullptr;
    }
    auto starts = flat_array<std::int64_t>(args[2], NPY_INT64, "int64", "row_starts");
    if (!starts) return nullptr;
    auto columns = flat_array<std::int64_t>(args[3], NPY_INT64, "int64", "columns");
    if (!columns) return nullptr;
    auto values = flat_array<double>(args[4], NPY_FLOAT64, "float64", "values");
    if (!values) return nullptr;
    FactorCovariance omega;
    if (!convert(kind::Covariance{}, state, args[5], Parameter{kw("omega"), Default::required()}, omega))
      return nullptr;
    return changed_copy(state, args[0], [&](PortfolioProblem copy) -> PortfolioResult {
      auto factors =
          FactorScan::compressed(copy.dimension(), static_cast<std::uint64_t>(k), *starts, *columns, *values);
      if (!factors) return std::unexpected(PortfolioError::matrix_invalid(std::move(factors.error())));
      return std::move(copy).with_factors(std::move(*factors), std::move(omega));
    });
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

// gross_leverage(problem, /): the problem's gross-leverage limit, or None.
PyObject* engine_gross_leverage(PyObject* module, PyObject* problem) {
  const ModuleState& state = morva_state(module);
  if (!is_problem(state, problem, "gross_leverage")) return nullptr;
  const std::optional<double>& limit = held_problem(problem).gross_leverage();
  if (!limit) Py_RETURN_NONE;
  return PyFloat_FromDouble(*limit);
}

// ---- Rolling dates ----

// A PortfolioSequence of `_morva`, or a TypeError naming the argument.
bool is_sequence(const ModuleState& state, PyObject* object, const char* function) {
  if (PyObject_TypeCheck(object, state.sequence_type)) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument 'sequence' must be a PortfolioSequence, not %.200s", function,
               Py_TYPE(object)->tp_name);
  return false;
}

// A warm start from a dict: "x" (required) and the dual blocks
// "equality_dual", "inequality_dual", "bound_dual", "l1_dual" (absent or
// None: zero). Arrays or sequences of numbers.
bool read_warm_start(const ModuleState& state, PyObject* dict, WarmStart& out) {
  if (!PyDict_Check(dict)) {
    PyErr_SetString(PyExc_TypeError, "warm_start must be a dict or None");
    return false;
  }
  const struct {
    const char* key;
    std::optional<std::vector<double>>* block;
  } blocks[] = {{"equality_dual", &out.equality_dual},
                {"inequality_dual", &out.inequality_dual},
                {"bound_dual", &out.bound_dual},
                {"l1_dual", &out.l1_dual}};
  PyObject* x = PyDict_GetItemString(dict, "x");  // borrowed
  std::optional<std::vector<double>> weights = x == nullptr ? std::nullopt : f64_vector(state, x);
  if (!weights) {
    PyErr_SetString(PyExc_TypeError, "warm_start['x'] must be a one-dimensional float array");
    return false;
  }
  out.x = std::move(*weights);
  for (const auto& b : blocks) {
    PyObject* value = PyDict_GetItemString(dict, b.key);  // borrowed
    if (value == nullptr || value == Py_None) continue;
    *b.block = f64_vector(state, value);
    if (!*b.block) {
      PyErr_Format(PyExc_TypeError, "warm_start['%s'] must be a one-dimensional float array", b.key);
      return false;
    }
  }
  return true;
}

constexpr Signature kSequenceSignature{"sequence", kSolverParameters, 0, false};

// sequence(problem, profile, settings, warm_start, /): problem.sequence(**settings)
// under the named profile, its first date starting from `warm_start` (a dict
// as read_warm_start reads it, or None for a cold start).
PyObject* engine_sequence(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  const ModuleState& state = morva_state(module);
  try {
    if (!has_arguments("sequence", 4, nargs) || !is_problem(state, args[0], "sequence")) return nullptr;
    const std::optional<SolverProfile> profile = parse_profile(args[1]);
    if (!profile) return nullptr;
    std::array<PyObject*, kSolverParameters.size()> arguments{};
    if (!bind_keyword_dict(state, kSequenceSignature, args[2], "settings", arguments)) return nullptr;
    SolverSettings settings;
    if (!convert_solver_settings(state, arguments, settings)) return nullptr;
    settings.profile = *profile;
    std::optional<WarmStart> start;
    if (args[3] != Py_None && !read_warm_start(state, args[3], start.emplace())) return nullptr;

    const PortfolioProblem& problem = held_problem(args[0]);
    auto outcome = without_gil([&]() -> std::expected<PortfolioSequence, PortfolioError> {
      auto sequence = morva::sequence_with(problem, settings);
      if (!sequence || !start) return sequence;
      if (auto ok = sequence->start_from(std::move(*start)); !ok)
        return std::unexpected(std::move(ok.error()));
      return sequence;
    });
    if (!outcome) {
      raise_portfolio_error(outcome.error());
      return nullptr;
    }
    return new_sequence_object(state, std::move(*outcome));
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

// A rolling date's changes: the sequence's own, then the projections' data.
inline constexpr auto kRollingStepKeywords = std::tuple_cat(
    kStepKeywords,
    std::tuple{field<kind::Optional<kind::Vector>>("lower_bounds", &RebalanceStep::lower_bounds),
               field<kind::Optional<kind::Vector>>("upper_bounds", &RebalanceStep::upper_bounds),
               field<kind::Optional<kind::Vector>>("l1_turnover_costs", &RebalanceStep::l1_turnover_costs)});
inline constexpr auto kRollingStepParameters = parameters_of(kRollingStepKeywords);
constexpr Signature kSolveNextSignature{"solve_next", kRollingStepParameters, 0, false};

// solve_next(sequence, changes, raise_on_failure, /): one date of the
// sequence with the changes of a dict, the box and the L1 costs among them.
PyObject* engine_solve_next(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  const ModuleState& state = morva_state(module);
  try {
    if (!has_arguments("solve_next", 3, nargs) || !is_sequence(state, args[0], "solve_next")) return nullptr;
    std::array<PyObject*, kRollingStepParameters.size()> arguments{};
    if (!bind_keyword_dict(state, kSolveNextSignature, args[1], "changes", arguments)) return nullptr;
    const int raise_on_failure = PyObject_IsTrue(args[2]);
    if (raise_on_failure < 0) return nullptr;
    RebalanceStep step;
    if (!convert_fields(state, arguments, kRollingStepKeywords, step)) return nullptr;
    return solve_sequence_step(state, args[0], step, raise_on_failure != 0);
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

// ---- The input table ----

// The words for a kind of input value (a kind without words does not compile
// into the table); F and Ω are matrices to Python.
template <class Kind>
std::string kind_text(Kind) {
  if constexpr (std::is_same_v<Kind, kind::Vector>)
    return "vector";
  else if constexpr (std::is_same_v<Kind, kind::Scalar>)
    return "scalar";
  else if constexpr (std::is_same_v<Kind, kind::IndexVector>)
    return "ids";
  else if constexpr (std::is_same_v<Kind, kind::ScalarOrVector>)
    return "scalar or vector";
  else {
    static_assert(std::is_same_v<Kind, kind::Matrix> || std::is_same_v<Kind, kind::Factors> ||
                      std::is_same_v<Kind, kind::Covariance>,
                  "every kind of input has words in the table");
    return "matrix";
  }
}

template <class Kind>
std::string kind_text(kind::Optional<Kind>) {
  return "optional " + kind_text(Kind{});
}

// Whether the input at `index` is one of `keywords`: the portfolio inputs
// lead the keyword table, so an input's keyword is its index.
template <class... Keywords>
constexpr bool among(const std::tuple<Keywords...>& keywords, std::size_t index) {
  return std::apply([&](const auto&... keyword) { return ((keyword.parameter.name == Kw{index}) || ...); },
                    keywords);
}
static_assert(std::apply(
                  [](const auto&... keyword) {
                    return ((keyword.parameter.name.index < kPortfolioInputCount) && ...);
                  },
                  kRollingStepKeywords),
              "every change of a date is an input of the table");

// A matrix of constraint rows is named <block>_matrix, and an input with one
// entry per row follows one: its rows are m_<block>.
constexpr std::string_view kMatrixSuffix = "_matrix";
consteval bool row_blocks_are_named() {
  bool named = true;
  bool opened = false;
  for_each_input([&](const auto& row, auto) {
    if (row.shape == Shape::RowsByAssets) {
      named = named && std::string_view(row.name).ends_with(kMatrixSuffix);
      opened = true;
    }
    named = named && (row.shape != Shape::PerRow || opened);
  });
  return named;
}
static_assert(row_blocks_are_named(),
              "a constraint matrix is named <block>_matrix and precedes its rows' inputs");

// An input's extent in the problem's sizes: n assets, k factors, g industry
// groups, `rows` (m_<block>) rows of its constraint block.
PyObject* shape_of(Shape shape, const std::string& rows) {
  switch (shape) {
    case Shape::Scalar: return PyTuple_New(0);
    case Shape::Assets:
    case Shape::AssetsOrOne: return Py_BuildValue("(s)", "n");
    case Shape::AssetsByFactors: return Py_BuildValue("(ss)", "n", "k");
    case Shape::FactorsByFactors: return Py_BuildValue("(ss)", "k", "k");
    case Shape::RowsByAssets: return Py_BuildValue("(ss)", rows.c_str(), "n");
    case Shape::PerRow: return Py_BuildValue("(s)", rows.c_str());
    case Shape::PerGroup: return Py_BuildValue("(s)", "g");
  }
  PyErr_SetString(PyExc_SystemError, "an input of an unknown shape");
  return nullptr;
}

// inputs(): the core's input table, one dict per keyword of PortfolioProblem
// in constructor order. "required": no default; "held": the built problem
// holds it as given (problem_data's keys); "rolls": a PortfolioSequence's date
// takes it; "in_place": solve_next takes it without a new factorisation.
PyObject* engine_inputs(PyObject*, PyObject*) {
  PyRef table = PyRef::steal(PyTuple_New(kPortfolioInputCount));
  if (!table) return nullptr;
  bool ok = true;
  std::string rows;  // the block of the last constraint matrix
  for_each_input([&]<class Row>(const Row& row, auto index) {
    const std::string_view name = row.name;
    if (row.shape == Shape::RowsByAssets)
      rows = "m_" + std::string(name.substr(0, name.size() - kMatrixSuffix.size()));
    if (!ok) return;
    PyObject* entry = Py_BuildValue(
        "{s:s,s:s,s:N,s:N,s:N,s:N,s:N}", "name", row.name, "kind",
        kind_text(typename Row::ValueKind{}).c_str(), "shape", shape_of(row.shape, rows), "required",
        PyBool_FromLong(kProblemParameters[index].fallback.type == Default::Type::Required), "held",
        PyBool_FromLong(kHeld<Row>), "rolls", PyBool_FromLong(among(kStepKeywords, index)), "in_place",
        PyBool_FromLong(among(kRollingStepKeywords, index)));
    ok = entry != nullptr;
    if (ok) PyTuple_SET_ITEM(table.get(), index, entry);
  });
  return ok ? table.release() : nullptr;
}

// warm_start(sequence, /): the start of the sequence's next date as a dict
// of new arrays ("x" and the four dual blocks), or None.
PyObject* engine_warm_start(PyObject* module, PyObject* object) {
  const ModuleState& state = morva_state(module);
  try {
    if (!is_sequence(state, object, "warm_start")) return nullptr;
    const PortfolioSequence* sequence = readable_sequence(object);
    if (sequence == nullptr) return nullptr;
    const std::optional<WarmStart>& start = sequence->warm_start();
    if (!start) Py_RETURN_NONE;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    static const std::vector<double> kNone;
    const bool ok =
        put(dict.get(), "x", new_float_array(start->x)) &&
        put(dict.get(), "equality_dual", new_float_array(start->equality_dual.value_or(kNone))) &&
        put(dict.get(), "inequality_dual", new_float_array(start->inequality_dual.value_or(kNone))) &&
        put(dict.get(), "bound_dual", new_float_array(start->bound_dual.value_or(kNone))) &&
        put(dict.get(), "l1_dual", new_float_array(start->l1_dual.value_or(kNone)));
    return ok ? dict.release() : nullptr;
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

PyMethodDef engine_methods[] = {
    {"solve", as_method(engine_solve), METH_FASTCALL,
     "solve(problem, profile, keywords, /)\n--\n\n"
     "PortfolioProblem.solve(**keywords) under the named solver profile."},
    {"solve_batch", as_method(engine_solve_batch), METH_FASTCALL,
     "solve_batch(profile, args, kwargs, /)\n--\n\n"
     "solve_batch(*args, **kwargs) under the named solver profile."},
    {"problem_data", engine_problem_data, METH_O,
     "problem_data(problem, /)\n--\n\n"
     "The problem's inputs as read-only float64 views (a dict)."},
    {"with_risk_aversion", as_method(engine_with_risk_aversion), METH_FASTCALL,
     "with_risk_aversion(problem, risk_aversion, /)\n--\n\n"
     "A new PortfolioProblem that differs from problem only in its risk aversion."},
    {"with_gross_leverage", as_method(engine_with_gross_leverage), METH_FASTCALL,
     "with_gross_leverage(problem, limit, /)\n--\n\n"
     "A new PortfolioProblem that differs from problem only in its gross-leverage limit (None: none)."},
    {"with_factors", as_method(engine_with_factors), METH_FASTCALL,
     "with_factors(problem, factor_count, row_starts, columns, values, omega, /)\n--\n\n"
     "A new PortfolioProblem that differs from problem only in F, given by its compressed rows\n"
     "(int64 row_starts and columns, float64 values: one row per asset), and omega."},
    {"gross_leverage", engine_gross_leverage, METH_O,
     "gross_leverage(problem, /)\n--\n\n"
     "The problem's gross-leverage limit, or None."},
    {"sequence", as_method(engine_sequence), METH_FASTCALL,
     "sequence(problem, profile, settings, warm_start, /)\n--\n\n"
     "problem.sequence(**settings) under the named solver profile, its first date warm-started\n"
     "from warm_start (a dict with 'x' and optional dual blocks) or cold (None)."},
    {"solve_next", as_method(engine_solve_next), METH_FASTCALL,
     "solve_next(sequence, changes, raise_on_failure, /)\n--\n\n"
     "One date of the sequence: PortfolioSequence.solve_next's changes, and new lower_bounds,\n"
     "upper_bounds and l1_turnover_costs (which keep the factorisations)."},
    {"warm_start", engine_warm_start, METH_O,
     "warm_start(sequence, /)\n--\n\n"
     "The start of the sequence's next date (a dict of 'x' and the dual blocks), or None."},
    {"inputs", engine_inputs, METH_NOARGS,
     "inputs()\n--\n\n"
     "The portfolio inputs in constructor order: a dict each of name, kind, shape (in n, k, g and\n"
     "m_<block>), required, held (by the built problem), rolls (a sequence's date takes it) and\n"
     "in_place (solve_next takes it without a new factorisation)."},
    {nullptr, nullptr, 0, nullptr},
};

int engine_exec(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  PyRef morva = PyRef::steal(PyImport_ImportModule("_morva"));
  if (!morva) return -1;
  PyModuleDef* definition = PyModule_GetDef(morva.get());
  if (definition == nullptr || std::strcmp(definition->m_name, "_morva") != 0 ||
      definition->m_size != static_cast<Py_ssize_t>(sizeof(ModuleState))) {
    PyErr_SetString(PyExc_ImportError, "morva._engine was built for another _morva");
    return -1;
  }
  engine_state(module).morva = morva.release();
  return 0;
}

int engine_traverse(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<EngineState*>(PyModule_GetState(module));
  if (state != nullptr) Py_VISIT(state->morva);
  return 0;
}

int engine_clear(PyObject* module) {
  auto* state = static_cast<EngineState*>(PyModule_GetState(module));
  if (state != nullptr) Py_CLEAR(state->morva);
  return 0;
}

void engine_free(void* module) {
  engine_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(engine_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef engine_definition = {
    PyModuleDef_HEAD_INIT, "morva._engine", "The morva package's private path into the engine.",
    sizeof(EngineState),   engine_methods,  engine_slots,
    engine_traverse,       engine_clear,    engine_free,
};

}  // namespace
}  // namespace morva::python

PyMODINIT_FUNC PyInit__engine() {
  return PyModuleDef_Init(&morva::python::engine_definition);
}
