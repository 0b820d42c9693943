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
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "keywords.hpp"
#include "module_state.hpp"
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

PyObject* optional_view(PyObject* owner, const std::optional<std::vector<double>>& values) {
  if (!values) Py_RETURN_NONE;
  return view(owner, *values);
}

// Sets dict[key] = value, stealing value; false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// problem_data(problem, /): the problem's inputs after construction (the
// templates' rows appended, the limits applied to the bounds), as read-only
// views. "omega" is k×k for a dense Ω and the vector ω for a diagonal one.
PyObject* engine_problem_data(PyObject* module, PyObject* object) {
  const ModuleState& state = morva_state(module);
  try {
    if (!is_problem(state, object, "problem_data")) return nullptr;
    const PortfolioProblem& p = held_problem(object);
    const FactorQuad& covariance = p.covariance();
    PyRef data = PyRef::steal(PyDict_New());
    if (!data) return nullptr;
    PyObject* d = data.get();
    const bool ok = put(d, "factors", matrix_view(object, covariance.factors)) &&
                    put(d, "omega",
                        covariance.omega.is_dense() ? matrix_view(object, covariance.omega.dense_matrix())
                                                    : view(object, covariance.omega.diagonal_values())) &&
                    put(d, "specific_variance", view(object, covariance.diagonal)) &&
                    put(d, "expected_returns", view(object, p.expected_returns())) &&
                    put(d, "risk_aversion", PyFloat_FromDouble(p.risk_aversion())) &&
                    put(d, "budget", p.budget() ? PyFloat_FromDouble(*p.budget()) : Py_NewRef(Py_None)) &&
                    put(d, "lower_bounds", view(object, p.lower_bounds())) &&
                    put(d, "upper_bounds", view(object, p.upper_bounds())) &&
                    put(d, "equality_matrix", matrix_view(object, p.equalities().matrix)) &&
                    put(d, "equality_rhs", view(object, p.equalities().rhs)) &&
                    put(d, "inequality_matrix", matrix_view(object, p.inequalities().matrix)) &&
                    put(d, "inequality_rhs", view(object, p.inequalities().rhs)) &&
                    put(d, "previous_weights", optional_view(object, p.previous_weights())) &&
                    put(d, "turnover_penalty", PyFloat_FromDouble(p.turnover_penalty())) &&
                    put(d, "l1_turnover_costs", optional_view(object, p.l1_turnover_costs())) &&
                    put(d, "benchmark_weights", optional_view(object, p.benchmark_weights()));
    return ok ? data.release() : nullptr;
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

// with_risk_aversion(problem, risk_aversion, /): a new PortfolioProblem equal
// to `problem` but for its risk aversion, checked by the same rule.
PyObject* engine_with_risk_aversion(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  const ModuleState& state = morva_state(module);
  try {
    if (!has_arguments("with_risk_aversion", 2, nargs) || !is_problem(state, args[0], "with_risk_aversion"))
      return nullptr;
    const double value = PyFloat_AsDouble(args[1]);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    PortfolioProblem copy = held_problem(args[0]);
    auto changed = without_gil([&] { return std::move(copy).with_risk_aversion(value); });
    if (!changed) {
      raise_portfolio_error(changed.error());
      return nullptr;
    }
    return new_problem_object(state, std::move(*changed));
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
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
