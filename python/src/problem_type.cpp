// PortfolioProblem: an immutable core problem built from the portfolio
// keywords, solved on copies; and the one-shot solve_mean_variance_factor.
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "convert.hpp"
#include "errors.hpp"
#include "morva/json.hpp"
#include "pyref.hpp"
#include "types.hpp"

namespace morva::python {

// Converts warm_start, the solver keywords and raise_on_failure (bound in
// kSolveParameters order).
bool convert_solve_options(const ModuleState& state, std::span<PyObject* const> arguments,
                           std::optional<WarmStart>& warm_start, SolverSettings& settings,
                           bool& raise_on_failure) {
  std::optional<std::vector<double>> weights;
  if (!convert(state, arguments.front(), kWarmStart, weights) ||
      !convert_solver_settings(state, arguments.subspan(1, kSolverParameters.size()), settings) ||
      !convert(state, arguments.back(), kRaiseOnFailure, raise_on_failure)) {
    return false;
  }
  warm_start.reset();
  if (weights) {
    // Starting weights only; every dual block starts at zero.
    WarmStart start;
    start.x = std::move(*weights);
    warm_start = std::move(start);
  }
  return true;
}

namespace {

constexpr Signature kConstructorSignature{"PortfolioProblem", kProblemParameters, kRequiredProblemParameters,
                                          false};
constexpr Signature kSolveSignature{"PortfolioProblem.solve", kSolveParameters, 0, true};
constexpr Signature kSequenceSignature{"PortfolioProblem.sequence", kSolverParameters, 0, true};
constexpr Signature kFromJsonSignature{"PortfolioProblem.from_json", kFromJsonParameters, 1, false};
constexpr Signature kOneShotSignature{"solve_mean_variance_factor", kOneShotParameters,
                                      kRequiredProblemParameters, false};

PyObject* problem_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ModuleState& state = type_state(type);
  try {
    std::array<PyObject*, kProblemParameters.size()> arguments{};
    if (!bind_arguments(state, kConstructorSignature, args, kwargs, arguments)) return nullptr;
    PortfolioFields fields;
    if (!convert_portfolio_fields(state, arguments, fields)) return nullptr;
    std::optional<PortfolioProblem> problem = build_problem(std::move(fields));
    if (!problem) return nullptr;
    return new_problem_object(state, std::move(*problem));
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

PyObject* problem_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = type_state(Py_TYPE(self));
  try {
    std::array<PyObject*, kSolveParameters.size()> arguments{};
    if (!bind_arguments(state, kSolveSignature, args, nargs, kwnames, arguments)) return nullptr;
    std::optional<WarmStart> warm_start;
    SolverSettings settings;
    bool raise_on_failure = true;
    if (!convert_solve_options(state, arguments, warm_start, settings, raise_on_failure)) return nullptr;
    // The held problem is never changed after construction and `self` outlives
    // the call, so the engine reads it in place with the lock released, and
    // other threads may read it meanwhile. Neither the problem object nor its
    // dense data is copied: the QP the solve owns (to_qp) shares F, Ω, A_eq
    // (kept behind its budget row) and A_in, whose values nothing writes.
    const PortfolioProblem& problem = held_problem(self);
    auto outcome =
        without_gil([&] { return morva::solve_mean_variance_factor(problem, settings, warm_start); });
    return finish_solve(state, std::move(outcome), raise_on_failure);
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

PyObject* problem_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = type_state(Py_TYPE(self));
  try {
    std::array<PyObject*, kSolverParameters.size()> arguments{};
    if (!bind_arguments(state, kSequenceSignature, args, nargs, kwnames, arguments)) return nullptr;
    SolverSettings settings;
    if (!convert_solver_settings(state, arguments, settings)) return nullptr;
    PortfolioProblem problem = held_problem(self);
    auto outcome = without_gil([&] { return morva::sequence_with(problem, settings); });
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

PyObject* problem_to_json_method(PyObject* self, PyObject*) {
  ModuleState& state = type_state(Py_TYPE(self));
  try {
    const std::string text = problem_to_json(held_problem(self));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

// A static method whose C function is bound to the module (see
// install_from_json), which gives it the module state.
PyObject* problem_from_json_method(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  ModuleState& state = module_state(module);
  try {
    std::array<PyObject*, 1> arguments{};
    if (!bind_arguments(state, kFromJsonSignature, args, nargs, kwnames, arguments)) return nullptr;
    if (!PyUnicode_Check(arguments[0])) {
      PyErr_Format(PyExc_TypeError, "argument 'text': expected str, got %.200s",
                   Py_TYPE(arguments[0])->tp_name);
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(arguments[0], &size);
    if (utf8 == nullptr) {
      prefix_type_error("text");
      return nullptr;
    }
    auto problem = problem_from_json(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!problem) {
      raise_value_error(problem.error());
      return nullptr;
    }
    return new_problem_object(state, std::move(*problem));
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

PyObject* problem_dimension(PyObject* self, void*) {
  return PyLong_FromSize_t(held_problem(self).dimension());
}

PyObject* problem_repr(PyObject* self) {
  return PyUnicode_FromFormat("PortfolioProblem(dimension=%zu)", held_problem(self).dimension());
}

// Descriptions of the documented callables; their text signatures come from
// the keyword table (see documented).
constexpr const char* kProblemDescription = "A reusable factor mean-variance portfolio specification.";

constexpr const char* kSolveDescription =
    "Solves this problem and returns a ``SolveResult``.\n"
    "\n"
    "``warm_start`` optionally gives starting weights (a float64 array with\n"
    "one entry per asset). Every call solves a private copy of the problem,\n"
    "so the object stays unchanged and may be solved from several threads.\n"
    "With ``raise_on_failure`` a solve that does not end ``'solved'`` raises\n"
    "``RuntimeError``; otherwise the result is returned and its ``status``,\n"
    "``convergence_hints`` and ``certificate`` say why.";

constexpr const char* kSequenceDescription =
    "Builds a rolling solve sequence over this problem's fixed structure.\n"
    "\n"
    "Equilibration and reduced factorizations are computed once and reused\n"
    "for every date; warm starts chain automatically.";

PyDoc_STRVAR(to_json_doc,
             "to_json($self)\n--\n\n"
             "Serializes the full problem specification to a JSON string\n"
             "(roadmap 3.3).\n"
             "\n"
             "The dump carries everything needed to rebuild this exact problem —\n"
             "covariance, returns, constraints (including rows appended by the\n"
             "constraint templates), bounds, turnover terms, and benchmark — so it\n"
             "can be attached to a bug report and replayed with\n"
             "``PortfolioProblem.from_json``. Unbounded box sides are encoded as\n"
             "null because JSON has no representation for infinities.");

constexpr const char* kFromJsonDescription =
    "Rebuilds a problem from a ``to_json`` dump, re-running the same\n"
    "validation as construction (roadmap 3.3).";

PyMethodDef problem_methods[] = {
    {"solve", as_method(problem_solve), METH_FASTCALL | METH_KEYWORDS,
     documented(kSolveSignature, kSolveDescription)},
    {"sequence", as_method(problem_sequence), METH_FASTCALL | METH_KEYWORDS,
     documented(kSequenceSignature, kSequenceDescription)},
    {"to_json", as_method(problem_to_json_method), METH_NOARGS, to_json_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef problem_getset[] = {
    {"dimension", problem_dimension, nullptr, "Number of assets (portfolio weights).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot problem_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(problem_new)},
    {Py_tp_dealloc,
     reinterpret_cast<void*>(destroy_instance<PyPortfolioProblem, &PyPortfolioProblem::problem>)},
    {Py_tp_repr, reinterpret_cast<void*>(problem_repr)},
    {Py_tp_doc, const_cast<char*>(documented(kConstructorSignature, kProblemDescription))},
    {Py_tp_methods, problem_methods},
    {Py_tp_getset, problem_getset},
    {0, nullptr},
};

PyObject* one_shot_solve(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = module_state(module);
  try {
    std::array<PyObject*, kOneShotParameters.size()> arguments{};
    if (!bind_arguments(state, kOneShotSignature, args, nargs, kwnames, arguments)) return nullptr;
    // Every keyword is converted (signature order) before any rule is checked.
    PortfolioFields fields;
    if (!convert_portfolio_fields(state, std::span(arguments).first(kProblemParameters.size()), fields))
      return nullptr;
    std::optional<WarmStart> warm_start;
    SolverSettings settings;
    bool raise_on_failure = true;
    if (!convert_solve_options(state, std::span(arguments).subspan(kProblemParameters.size()), warm_start,
                               settings, raise_on_failure)) {
      return nullptr;
    }
    std::optional<PortfolioProblem> problem = build_problem(std::move(fields));
    if (!problem) return nullptr;
    return solve_owned(state, std::move(*problem), std::move(warm_start), settings, raise_on_failure);
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

constexpr const char* kOneShotDescription =
    "Solves a factor mean-variance problem without constructing a reusable class.";

}  // namespace

PyType_Spec portfolio_problem_spec = {
    "_morva.PortfolioProblem",
    sizeof(PyPortfolioProblem),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    problem_slots,
};

PyMethodDef from_json_def = {"from_json", as_method(problem_from_json_method), METH_FASTCALL | METH_KEYWORDS,
                             documented(kFromJsonSignature, kFromJsonDescription)};

// CPython hands a METH_STATIC function no receiver at all, so the static
// method is built here: a function bound to the module, wrapped in
// staticmethod and placed in the (otherwise immutable) type's dict before
// the type is published.
int install_from_json(PyObject* module, PyTypeObject* type) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&from_json_def, module, module_name.get()));
  if (!function) return -1;
  PyRef method = PyRef::steal(PyStaticMethod_New(function.get()));
  if (!method) return -1;
  if (PyDict_SetItemString(type->tp_dict, from_json_def.ml_name, method.get()) < 0) return -1;
  PyType_Modified(type);
  return 0;
}

PyMethodDef solve_mean_variance_factor_def = {"solve_mean_variance_factor", as_method(one_shot_solve),
                                              METH_FASTCALL | METH_KEYWORDS,
                                              documented(kOneShotSignature, kOneShotDescription)};

const PortfolioProblem& held_problem(PyObject* object) {
  return reinterpret_cast<PyPortfolioProblem*>(object)->problem;
}

PyObject* new_problem_object(const ModuleState& state, PortfolioProblem problem) {
  PyObject* object = state.problem_type->tp_alloc(state.problem_type, 0);
  if (object == nullptr) return nullptr;
  new (&reinterpret_cast<PyPortfolioProblem*>(object)->problem) PortfolioProblem(std::move(problem));
  return object;
}

PyObject* solve_owned(const ModuleState& state, PortfolioProblem problem, std::optional<WarmStart> warm_start,
                      const SolverSettings& settings, bool raise_on_failure) {
  auto outcome = without_gil([&] {
    // The copies die here, before the lock is taken back.
    const PortfolioProblem owned = std::move(problem);
    const std::optional<WarmStart> start = std::move(warm_start);
    return morva::solve_mean_variance_factor(owned, settings, start);
  });
  return finish_solve(state, std::move(outcome), raise_on_failure);
}

PyObject* finish_solve(const ModuleState& state, std::expected<Solution, PortfolioError> outcome,
                       bool raise_on_failure) {
  if (!outcome) {
    raise_portfolio_error(outcome.error());
    return nullptr;
  }
  if (raise_on_failure && outcome->status != SolveStatus::Solved) {
    raise_runtime_error(failure_message(*outcome));
    return nullptr;
  }
  return new_result_object(state, std::move(*outcome));
}

}  // namespace morva::python
