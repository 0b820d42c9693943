// PortfolioSequence (a rolling re-solve over one problem structure) and
// solve_batch (many accounts' sequences on the worker pool).
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "morva/batch.hpp"
#include "pyref.hpp"
#include "types.hpp"

namespace morva::python {
namespace {

constexpr const char* kAlreadyBorrowed = "Already borrowed";
constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

PyPortfolioSequence* as_sequence(PyObject* self) {
  return reinterpret_cast<PyPortfolioSequence*>(self);
}

// Exclusive use of a sequence for one solve_next; released on scope exit.
class SequenceBorrow {
 public:
  explicit SequenceBorrow(PyPortfolioSequence* object) : object_(object) {
    bool expected = false;
    acquired_ = object->busy.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
  }
  ~SequenceBorrow() {
    if (acquired_) object_->busy.store(false, std::memory_order_release);
  }
  SequenceBorrow(const SequenceBorrow&) = delete;
  SequenceBorrow& operator=(const SequenceBorrow&) = delete;
  bool acquired() const { return acquired_; }

 private:
  PyPortfolioSequence* object_;
  bool acquired_ = false;
};

}  // namespace

// Readers may look at the sequence only while no solve_next is running on it.
const PortfolioSequence* readable_sequence(PyObject* self) {
  PyPortfolioSequence* object = as_sequence(self);
  if (object->busy.load(std::memory_order_acquire)) {
    raise_runtime_error(kAlreadyMutablyBorrowed);
    return nullptr;
  }
  return &*object->sequence;
}

PyObject* solve_sequence_step(const ModuleState& state, PyObject* self, const RebalanceStep& step,
                              bool raise_on_failure) {
  PyPortfolioSequence* object = as_sequence(self);
  std::optional<std::expected<Solution, PortfolioError>> outcome;
  {
    SequenceBorrow borrow(object);
    if (!borrow.acquired()) {
      raise_runtime_error(kAlreadyBorrowed);
      return nullptr;
    }
    outcome.emplace(without_gil([&] { return object->sequence->solve_next(step); }));
  }
  return finish_solve(state, std::move(*outcome), raise_on_failure);
}

namespace {

constexpr Signature kSolveNextSignature{"PortfolioSequence.solve_next", kStepParameters, 0, true};

PyObject* sequence_solve_next(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = type_state(Py_TYPE(self));
  try {
    std::array<PyObject*, kStepParameters.size()> arguments{};
    if (!bind_arguments(state, kSolveNextSignature, args, nargs, kwnames, arguments)) return nullptr;
    RebalanceStep step;
    bool raise_on_failure = true;
    if (!convert_fields(state, arguments, kStepKeywords, step) ||
        !convert(state, arguments.back(), kRaiseOnFailure, raise_on_failure)) {
      return nullptr;
    }
    return solve_sequence_step(state, self, step, raise_on_failure);
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

PyObject* sequence_dimension(PyObject* self, void*) {
  const PortfolioSequence* sequence = readable_sequence(self);
  return sequence == nullptr ? nullptr : PyLong_FromSize_t(sequence->dimension());
}

PyObject* sequence_factorizations(PyObject* self, void*) {
  const PortfolioSequence* sequence = readable_sequence(self);
  return sequence == nullptr ? nullptr : PyLong_FromUnsignedLongLong(sequence->factorizations());
}

PyObject* sequence_repr(PyObject* self) {
  const PortfolioSequence* sequence = readable_sequence(self);
  if (sequence == nullptr) return nullptr;
  return PyUnicode_FromFormat("PortfolioSequence(dimension=%zu, factorizations=%llu)", sequence->dimension(),
                              static_cast<unsigned long long>(sequence->factorizations()));
}

PyDoc_STRVAR(sequence_doc,
             "A rolling rebalance sequence with cached factorizations and chained warm\n"
             "starts.");

constexpr const char* kSolveNextDescription =
    "Applies one date's data changes, then solves warm-started from the\n"
    "previous date's solution.\n"
    "\n"
    "Every argument is optional: omitted data keeps its current value, and a\n"
    "call with no arguments re-solves the current data (the usual first call).\n"
    "\n"
    "Only updates that preserve the cached factorizations are accepted: new\n"
    "``expected_returns``; a new turnover anchor ``previous_weights``, which\n"
    "requires the problem to have been built with a quadratic\n"
    "``turnover_penalty`` and/or ``l1_turnover_costs`` (both terms share the\n"
    "anchor while the penalty and costs stay fixed); a new tracking benchmark\n"
    "``benchmark_weights``, which requires the problem to have been built with\n"
    "one; a new ``budget``; new ``equality_rhs`` and ``inequality_rhs``.\n"
    "Structural changes need a new ``PortfolioProblem`` and a new sequence.\n"
    "\n"
    "A rejected date leaves the sequence unchanged, so the caller can skip\n"
    "it and keep rolling.";

PyMethodDef sequence_methods[] = {
    {"solve_next", as_method(sequence_solve_next), METH_FASTCALL | METH_KEYWORDS,
     documented(kSolveNextSignature, kSolveNextDescription)},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sequence_getset[] = {
    {"dimension", sequence_dimension, nullptr, "Number of portfolio weights.", nullptr},
    {"factorizations", sequence_factorizations, nullptr,
     "Reduced factorizations built since construction (including the\n"
     "initial one). A stable count across dates demonstrates reuse.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sequence_slots[] = {
    {Py_tp_dealloc,
     reinterpret_cast<void*>(destroy_instance<PyPortfolioSequence, &PyPortfolioSequence::sequence>)},
    {Py_tp_repr, reinterpret_cast<void*>(sequence_repr)},
    {Py_tp_doc, const_cast<char*>(sequence_doc)},
    {Py_tp_methods, sequence_methods},
    {Py_tp_getset, sequence_getset},
    {0, nullptr},
};

// ---- solve_batch ----

constexpr Signature kBatchSignature{"solve_batch", kBatchParameters, 2, false};

constexpr const char* kStepValuesMessage = "step values must be floats or one-dimensional float arrays";
constexpr const char* kUnknownKeyTail =
    "'; valid keys are expected_returns, previous_weights, benchmark_weights, budget, equality_rhs, "
    "inequality_rhs";

// New references to the items of a non-str sequence, or false with a
// TypeError naming the argument.
bool sequence_items(PyObject* object, Kw name, const char* what, std::vector<PyRef>& out) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %.200s", keyword_name(name), what,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    prefix_type_error(keyword_name(name));
    return false;
  }
  out.clear();
  out.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    if (!item) {
      prefix_type_error(keyword_name(name));
      return false;
    }
    out.push_back(std::move(item));
  }
  return true;
}

// One step dict into a RebalanceStep. On failure `error` holds the text that
// follows the "account i, step j: " prefix and no exception is pending.
bool convert_step(const ModuleState& state, PyObject* dict, RebalanceStep& step, std::string& error) {
  // A snapshot of the items: converting a value may run Python code that
  // changes the dict.
  PyRef items = PyRef::steal(PyDict_Items(dict));
  if (!items) {
    error = take_exception_text();
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    PyObject* value = PyTuple_GET_ITEM(item, 1);
    if (!PyUnicode_Check(key)) {
      error = "step keys must be strings";
      return false;
    }
    if (value == Py_None) continue;  // absent, whatever the key says
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
      error = take_exception_text();
      return false;
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    std::optional<std::vector<double>>* vector_field = nullptr;
    if (name == "expected_returns") {
      vector_field = &step.expected_returns;
    } else if (name == "previous_weights") {
      vector_field = &step.previous_weights;
    } else if (name == "benchmark_weights") {
      vector_field = &step.benchmark_weights;
    } else if (name == "equality_rhs") {
      vector_field = &step.equality_rhs;
    } else if (name == "inequality_rhs") {
      vector_field = &step.inequality_rhs;
    } else if (name == "budget") {
      const double budget = PyFloat_AsDouble(value);
      if (budget == -1.0 && PyErr_Occurred()) {
        error = take_exception_text();
        return false;
      }
      step.budget = budget;
      continue;
    } else {
      error = "unknown step key '" + std::string(name) + kUnknownKeyTail;
      return false;
    }
    std::optional<std::vector<double>> values = f64_vector(state, value);
    if (!values) {
      error = kStepValuesMessage;
      return false;
    }
    *vector_field = std::move(values);
  }
  return true;
}

// solve_batch's arguments after conversion, the GIL still held.
struct BatchArguments {
  std::vector<PyRef> problems;                 // PortfolioProblem instances
  std::vector<std::vector<PyRef>> step_dicts;  // one list of dicts per account
  bool chain_previous_weights = false;
  SolverSettings settings;
  bool raise_on_failure = true;
};

bool read_problems(const ModuleState& state, PyObject* object, std::vector<PyRef>& problems) {
  if (!sequence_items(object, kw("problems"), "a sequence of PortfolioProblem", problems)) return false;
  for (const PyRef& problem : problems) {
    if (!Py_IS_TYPE(problem.get(), state.problem_type)) {
      PyErr_Format(PyExc_TypeError, "argument 'problems': expected PortfolioProblem items, got %.200s",
                   Py_TYPE(problem.get())->tp_name);
      return false;
    }
  }
  return true;
}

bool read_step_dicts(PyObject* object, std::vector<std::vector<PyRef>>& step_dicts) {
  constexpr const char* kWhat = "a sequence of step-dict sequences";
  std::vector<PyRef> step_lists;
  if (!sequence_items(object, kw("steps"), kWhat, step_lists)) return false;
  step_dicts.clear();
  step_dicts.resize(step_lists.size());
  for (std::size_t account = 0; account < step_lists.size(); ++account) {
    if (!sequence_items(step_lists[account].get(), kw("steps"), kWhat, step_dicts[account])) return false;
    for (const PyRef& step : step_dicts[account]) {
      if (!PyDict_Check(step.get())) {
        PyErr_Format(PyExc_TypeError, "argument 'steps': expected dict steps, got %.200s",
                     Py_TYPE(step.get())->tp_name);
        return false;
      }
    }
  }
  return true;
}

// The kinds of every argument, in signature order, then one step list per account.
bool read_batch_arguments(const ModuleState& state, std::span<PyObject* const> arguments,
                          BatchArguments& out) {
  if (!read_problems(state, arguments[0], out.problems) || !read_step_dicts(arguments[1], out.step_dicts) ||
      !convert(state, arguments[2], kChainPreviousWeights, out.chain_previous_weights) ||
      !convert_solver_settings(state, arguments.subspan(3, kSolverParameters.size()), out.settings) ||
      !convert(state, arguments.back(), kRaiseOnFailure, out.raise_on_failure)) {
    return false;
  }
  if (out.problems.size() != out.step_dicts.size()) {
    raise_value_error("problems and steps must have the same length (one step list per account)");
    return false;
  }
  return true;
}

// Accounts in order; the first bad step (account, then step, then item) wins.
bool build_accounts(const ModuleState& state, const BatchArguments& arguments,
                    std::vector<BatchAccount>& out) {
  out.reserve(arguments.problems.size());
  for (std::size_t account = 0; account < arguments.problems.size(); ++account) {
    const std::vector<PyRef>& dicts = arguments.step_dicts[account];
    BatchAccount entry{held_problem(arguments.problems[account].get()), {}, arguments.chain_previous_weights};
    entry.steps.resize(dicts.size());
    for (std::size_t index = 0; index < dicts.size(); ++index) {
      std::string error;
      if (!convert_step(state, dicts[index].get(), entry.steps[index], error)) {
        raise_value_error("account " + std::to_string(account) + ", step " + std::to_string(index) + ": " +
                          error);
        return false;
      }
    }
    out.push_back(std::move(entry));
  }
  return true;
}

// The first failing account (then step) raises; true when one did.
bool raise_first_failure(const std::vector<BatchOutcome>& outcomes, bool raise_on_failure) {
  for (std::size_t account = 0; account < outcomes.size(); ++account) {
    const BatchOutcome& outcome = outcomes[account];
    if (!outcome) {
      raise_value_error("account " + std::to_string(account) + ": " + outcome.error().message());
      return true;
    }
    if (!raise_on_failure) continue;
    for (std::size_t step = 0; step < outcome->size(); ++step) {
      if ((*outcome)[step].status != SolveStatus::Solved) {
        raise_runtime_error("account " + std::to_string(account) + ", step " + std::to_string(step) + ": " +
                            failure_message((*outcome)[step]));
        return true;
      }
    }
  }
  return false;
}

// New reference: lists of results in input order.
PyObject* result_lists(const ModuleState& state, std::vector<BatchOutcome>& outcomes) {
  PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
  if (!result) return nullptr;
  for (std::size_t account = 0; account < outcomes.size(); ++account) {
    std::vector<Solution>& solutions = *outcomes[account];
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(solutions.size())));
    if (!list) return nullptr;
    for (std::size_t step = 0; step < solutions.size(); ++step) {
      PyObject* item = new_result_object(state, std::move(solutions[step]));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(step), item);  // steals
    }
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(account), list.release());  // steals
  }
  return result.release();
}

// The batch of bound arguments under `profile`.
PyObject* solve_bound_batch(const ModuleState& state, std::span<PyObject* const> bound,
                            SolverProfile profile) {
  BatchArguments arguments;
  if (!read_batch_arguments(state, bound, arguments)) return nullptr;
  std::vector<BatchAccount> accounts;
  if (!build_accounts(state, arguments, accounts)) return nullptr;
  SolverSettings settings = arguments.settings;
  settings.profile = profile;
  const bool raise_on_failure = arguments.raise_on_failure;
  arguments = {};  // the Python objects are released while the lock is held

  // The whole batch runs before any outcome is looked at.
  std::vector<BatchOutcome> outcomes = without_gil([&] {
    std::vector<BatchOutcome> results = solve_batch(accounts, settings);
    accounts.clear();
    return results;
  });
  if (raise_first_failure(outcomes, raise_on_failure)) return nullptr;
  return result_lists(state, outcomes);
}

PyObject* solve_batch_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ModuleState& state = module_state(module);
  try {
    std::array<PyObject*, kBatchParameters.size()> bound{};
    if (!bind_arguments(state, kBatchSignature, args, nargs, kwnames, bound)) return nullptr;
    return solve_bound_batch(state, bound, SolverProfile::Reference);
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

constexpr const char* kSolveBatchDescription =
    "Solves many accounts' rolling rebalance sequences in one call, in\n"
    "parallel over the account axis (roadmap 3.2).\n"
    "\n"
    "``problems`` holds one ``PortfolioProblem`` per account (typically sharing\n"
    "one factor model) and ``steps`` one list of per-date step dicts per\n"
    "account, applied in order exactly like ``PortfolioSequence.solve_next``.\n"
    "The dict keys mirror its keyword arguments (``expected_returns``,\n"
    "``previous_weights``, ``benchmark_weights``, ``budget``, ``equality_rhs``,\n"
    "``inequality_rhs``) and an empty dict re-solves the current data (the\n"
    "usual first date).\n"
    "\n"
    "Every account gets its own workspace: equilibration and reduced\n"
    "factorizations are built once per account and warm starts chain across\n"
    "its dates. With ``chain_previous_weights`` true every date after a solved\n"
    "one anchors the turnover terms at that date's solved weights (the\n"
    "standard backtest convention) unless the step provides\n"
    "``previous_weights`` explicitly; this requires the problems to have a\n"
    "turnover term.\n"
    "\n"
    "Accounts are independent, so results are identical to looping\n"
    "``PortfolioProblem.sequence`` per account regardless of thread count\n"
    "(threads follow the ``RAYON_NUM_THREADS`` environment variable, default\n"
    "all CPUs). Returns one list of ``SolveResult`` per account, in input\n"
    "order.";

}  // namespace

PyType_Spec portfolio_sequence_spec = {
    "_morva.PortfolioSequence",
    sizeof(PyPortfolioSequence),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    sequence_slots,
};

PyObject* solve_batch_call(const ModuleState& state, PyObject* args, PyObject* kwargs,
                           SolverProfile profile) {
  try {
    std::array<PyObject*, kBatchParameters.size()> bound{};
    if (!bind_arguments(state, kBatchSignature, args, kwargs, bound)) return nullptr;
    return solve_bound_batch(state, bound, profile);
  } catch (...) {
    raise_from_cxx_exception(state);
    return nullptr;
  }
}

PyMethodDef solve_batch_def = {"solve_batch", as_method(solve_batch_function), METH_FASTCALL | METH_KEYWORDS,
                               documented(kBatchSignature, kSolveBatchDescription)};

PyObject* new_sequence_object(const ModuleState& state, PortfolioSequence sequence) {
  PyObject* object = state.sequence_type->tp_alloc(state.sequence_type, 0);
  if (object == nullptr) return nullptr;
  auto* layout = reinterpret_cast<PyPortfolioSequence*>(object);
  new (&layout->sequence) std::optional<PortfolioSequence>(std::move(sequence));
  new (&layout->busy) std::atomic<bool>(false);
  return object;
}

}  // namespace morva::python
