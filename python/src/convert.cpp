#include "convert.hpp"

#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "numpy_api.hpp"

namespace morva::python {
namespace {

// The caller's memory may be unaligned (a view into a packed record array),
// so every element is read through memcpy.
double load_double(const char* address) {
  double value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

// Borrowed: `object` as an ndarray of `ndim` dimensions whose elements are
// float64 in native byte order (no cast is ever done), or null with a
// TypeError naming the argument.
PyArrayObject* float64_array(const ModuleState& state, PyObject* object, int ndim, Kw name) {
  if (!PyArray_Check(object)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a %d-dimensional float64 numpy.ndarray, got %.200s",
                 keyword_name(name), ndim, Py_TYPE(object)->tp_name);
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != ndim) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a %d-dimensional float64 array, got %d dimension%s",
                 keyword_name(name), ndim, PyArray_NDIM(array), PyArray_NDIM(array) == 1 ? "" : "s");
    return nullptr;
  }
  if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(state.float64))) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a float64 array, got dtype %R", keyword_name(name),
                 reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    return nullptr;
  }
  return array;
}

std::vector<double> copy_vector(PyArrayObject* array) {
  const npy_intp length = PyArray_DIM(array, 0);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  std::vector<double> values(static_cast<std::size_t>(length));
  for (npy_intp i = 0; i < length; ++i) values[static_cast<std::size_t>(i)] = load_double(base + i * stride);
  return values;
}

bool is_absent(PyObject* object) {
  return object == nullptr || object == Py_None;
}

bool vector_from_float_array(const ModuleState& state, PyObject* object, std::vector<double>& out) {
  if (!PyArray_Check(object)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 1) return false;
  if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(state.float64)))
    return false;
  out = copy_vector(array);
  return true;
}

// l1_turnover_costs: a number gives every asset that cost; otherwise a 1-D
// float64 array (its length is the core's to check). Anything else is
// refused when the builders reach the costs.
L1Costs l1_costs(const ModuleState& state, PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (!(value == -1.0 && PyErr_Occurred())) return value;
  PyErr_Clear();
  std::vector<double> costs;
  if (vector_from_float_array(state, object, costs)) return costs;
  return UnreadableCosts{};
}

bool to_double(PyObject* object, Kw name, double& out) {
  if (object == nullptr) return true;
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_type_error(keyword_name(name));
    return false;
  }
  out = value;
  return true;
}

bool to_optional_double(PyObject* object, Kw name, std::optional<double>& out) {
  if (is_absent(object)) {
    out.reset();
    return true;
  }
  double value = 0.0;
  if (!to_double(object, name, value)) return false;
  out = value;
  return true;
}

// `index` is the result of PyNumber_Index (empty when that failed); a negative
// or too large integer fails in PyLong_AsUnsignedLongLong. Either failure keeps
// Python's own text behind the argument's name.
bool unsigned_index(const PyRef& index, Kw name, std::uint64_t& out) {
  if (!index) {
    prefix_type_error(keyword_name(name));
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(keyword_name(name));
    return false;
  }
  out = static_cast<std::uint64_t>(value);
  return true;
}

bool to_count(PyObject* object, Kw name, std::uint64_t& out) {
  if (object == nullptr) return true;
  return unsigned_index(PyRef::steal(PyNumber_Index(object)), name, out);
}

bool to_flag(PyObject* object, Kw name, bool& out) {
  if (object == nullptr) return true;
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  if (PyObject_TypeCheck(object, &PyBoolArrType_Type)) {
    out = PyArrayScalar_VAL(object, Bool) != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %.200s", keyword_name(name),
               Py_TYPE(object)->tp_name);
  return false;
}

bool to_vector(const ModuleState& state, PyObject* object, Kw name, std::vector<double>& out) {
  PyArrayObject* array = float64_array(state, object, 1, name);
  if (array == nullptr) return false;
  out = copy_vector(array);
  return true;
}

bool to_optional_vector(const ModuleState& state, PyObject* object, Kw name,
                        std::optional<std::vector<double>>& out) {
  if (is_absent(object)) {
    out.reset();
    return true;
  }
  std::vector<double> values;
  if (!to_vector(state, object, name, values)) return false;
  out = std::move(values);
  return true;
}

bool to_matrix(const ModuleState& state, PyObject* object, Kw name, Matrix& out) {
  PyArrayObject* array = float64_array(state, object, 2, name);
  if (array == nullptr) return false;
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  std::vector<double> data(static_cast<std::size_t>(rows * cols));
  for (npy_intp i = 0; i < rows; ++i) {
    for (npy_intp j = 0; j < cols; ++j) {
      data[static_cast<std::size_t>(i * cols + j)] = load_double(base + i * row_stride + j * col_stride);
    }
  }
  auto matrix =
      Matrix::create(static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(cols), std::move(data));
  if (!matrix) {
    raise_value_error(matrix.error().message());
    return false;
  }
  out = std::move(*matrix);
  return true;
}

bool to_optional_matrix(const ModuleState& state, PyObject* object, Kw name, std::optional<Matrix>& out) {
  if (is_absent(object)) {
    out.reset();
    return true;
  }
  Matrix matrix;
  if (!to_matrix(state, object, name, matrix)) return false;
  out = std::move(matrix);
  return true;
}

bool to_index_list(PyObject* object, Kw name, std::optional<std::vector<std::uint64_t>>& out) {
  if (is_absent(object)) {
    out.reset();
    return true;
  }
  if (PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", keyword_name(name));
    return false;
  }
  if (!PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to 'Sequence'",
                 keyword_name(name), Py_TYPE(object)->tp_name);
    return false;
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    prefix_type_error(keyword_name(name));
    return false;
  }
  std::vector<std::uint64_t> ids;
  ids.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    std::uint64_t id = 0;
    if (!unsigned_index(item ? PyRef::steal(PyNumber_Index(item.get())) : PyRef(), name, id)) return false;
    ids.push_back(id);
  }
  out = std::move(ids);
  return true;
}

// Converts one argument of a number, count or flag kind; the default is
// written first, so an omitted argument leaves it.
template <class T>
bool convert_scalar(PyObject* object, const Parameter& parameter, T& out) {
  const Default& fallback = parameter.fallback;
  if constexpr (std::is_same_v<T, bool>) {
    out = fallback.flag;
    return to_flag(object, parameter.name, out);
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    out = fallback.count;
    return to_count(object, parameter.name, out);
  } else {
    out = fallback.number;
    return to_double(object, parameter.name, out);
  }
}

// Converts one argument into a slot of the type its kind writes; false
// without an exception when the slot's type does not fit the kind.
bool convert_into(const ModuleState& state, PyObject* object, const Parameter& parameter, const Slot& slot,
                  bool& fits) {
  fits = true;
  const Kw name = parameter.name;
  switch (parameter.kind) {
    case ValueKind::Matrix:
      if (auto* matrix = std::get_if<Matrix*>(&slot)) return to_matrix(state, object, name, **matrix);
      if (auto* omega = std::get_if<FactorCovariance*>(&slot)) {
        Matrix dense;
        if (!to_matrix(state, object, name, dense)) return false;
        **omega = FactorCovariance::dense(std::move(dense));
        return true;
      }
      break;
    case ValueKind::Vector:
      if (auto* vector = std::get_if<std::vector<double>*>(&slot))
        return to_vector(state, object, name, **vector);
      break;
    case ValueKind::Number:
      if (auto* number = std::get_if<double*>(&slot)) return convert_scalar(object, parameter, **number);
      if (auto* number = std::get_if<std::optional<double>*>(&slot)) {
        double value = 0.0;
        if (!convert_scalar(object, parameter, value)) return false;
        **number = value;
        return true;
      }
      break;
    case ValueKind::Count:
      if (auto* count = std::get_if<std::uint64_t*>(&slot)) return convert_scalar(object, parameter, **count);
      break;
    case ValueKind::Flag:
      if (auto* flag = std::get_if<bool*>(&slot)) return convert_scalar(object, parameter, **flag);
      break;
    case ValueKind::OptionalMatrix:
      if (auto* matrix = std::get_if<std::optional<Matrix>*>(&slot)) {
        return to_optional_matrix(state, object, name, **matrix);
      }
      break;
    case ValueKind::OptionalVector:
      if (auto* vector = std::get_if<std::optional<std::vector<double>>*>(&slot)) {
        return to_optional_vector(state, object, name, **vector);
      }
      break;
    case ValueKind::OptionalNumber:
      if (auto* number = std::get_if<std::optional<double>*>(&slot))
        return to_optional_double(object, name, **number);
      break;
    case ValueKind::Costs:
      if (auto* costs = std::get_if<std::optional<L1Costs>*>(&slot)) {
        // Any object is accepted here; its kind is settled by the builders.
        if (is_absent(object)) {
          (*costs)->reset();
        } else {
          **costs = l1_costs(state, object);
        }
        return true;
      }
      break;
    case ValueKind::IndexList:
      if (auto* ids = std::get_if<std::optional<std::vector<std::uint64_t>>*>(&slot)) {
        return to_index_list(object, name, **ids);
      }
      break;
    case ValueKind::Text:
    case ValueKind::Sequence: break;  // read by their callables
  }
  fits = false;
  return false;
}

}  // namespace

std::optional<std::vector<double>> f64_vector(const ModuleState& state, PyObject* object) {
  std::vector<double> values;
  if (vector_from_float_array(state, object, values)) return values;
  if (PyUnicode_Check(object) || !PySequence_Check(object)) return std::nullopt;
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  values.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    const double value = item ? PyFloat_AsDouble(item.get()) : -1.0;
    if (value == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return std::nullopt;
    }
    values.push_back(value);
  }
  return values;
}

PyObject* new_float_array(std::span<const double> values) {
  npy_intp length = static_cast<npy_intp>(values.size());
  PyObject* array = PyArray_SimpleNew(1, &length, NPY_FLOAT64);
  if (array == nullptr) return nullptr;
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                values.size() * sizeof(double));
  }
  return array;
}

bool convert_arguments(const ModuleState& state, std::span<PyObject* const> arguments,
                       std::span<const Parameter> parameters, std::span<const Target> targets) {
  // Signature order, so the earliest bad argument is the one reported.
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    bool fits = i < targets.size() && targets[i].name == parameters[i].name;
    if (fits && convert_into(state, arguments[i], parameters[i], targets[i].slot, fits)) continue;
    if (!fits)
      raise_internal_fault(
          state, std::string("no conversion target for argument '") + keyword_name(parameters[i].name) + "'");
    return false;
  }
  return true;
}

bool convert_portfolio_fields(const ModuleState& state, std::span<PyObject* const> arguments,
                              PortfolioFields& out) {
  const std::array<Target, kProblemParameters.size()> targets{{
      {Kw::factors, &out.factors},
      {Kw::omega, &out.omega},
      {Kw::specific_variance, &out.specific_variance},
      {Kw::expected_returns, &out.expected_returns},
      {Kw::risk_aversion, &out.risk_aversion},
      {Kw::budget, &out.budget},
      {Kw::lower_bounds, &out.lower_bounds},
      {Kw::upper_bounds, &out.upper_bounds},
      {Kw::equality_matrix, &out.equality_matrix},
      {Kw::equality_rhs, &out.equality_rhs},
      {Kw::inequality_matrix, &out.inequality_matrix},
      {Kw::inequality_rhs, &out.inequality_rhs},
      {Kw::previous_weights, &out.previous_weights},
      {Kw::turnover_penalty, &out.turnover_penalty},
      {Kw::l1_turnover_costs, &out.l1_turnover_costs},
      {Kw::benchmark_weights, &out.benchmark_weights},
      {Kw::industry_ids, &out.industry_ids},
      {Kw::industry_targets, &out.industry_targets},
      {Kw::style_matrix, &out.style_matrix},
      {Kw::style_lower, &out.style_lower},
      {Kw::style_upper, &out.style_upper},
      {Kw::max_weight, &out.max_weight},
      {Kw::max_short, &out.max_short},
  }};
  return convert_arguments(state, arguments, kProblemParameters, targets);
}

std::optional<PortfolioProblem> build_problem(PortfolioFields fields) {
  auto problem = build_portfolio(std::move(fields));
  if (!problem) {
    raise_portfolio_error(problem.error());
    return std::nullopt;
  }
  return std::move(*problem);
}

bool convert_solver_settings(const ModuleState& state, std::span<PyObject* const> arguments,
                             SolverSettings& out) {
  // The fields Python cannot set keep the engine defaults.
  out = SolverSettings{};
  const std::array<Target, kSolverParameters.size()> targets{{
      {Kw::max_iterations, &out.max_iterations},
      {Kw::absolute_tolerance, &out.absolute_tolerance},
      {Kw::relative_tolerance, &out.relative_tolerance},
      {Kw::rho, &out.rho},
      {Kw::adaptive_rho, &out.adaptive_rho},
      {Kw::over_relaxation, &out.over_relaxation},
      {Kw::scaling_iterations, &out.scaling_iterations},
      {Kw::infeasibility_tolerance, &out.infeasibility_tolerance},
      {Kw::polish, &out.polish},
  }};
  return convert_arguments(state, arguments, kSolverParameters, targets);
}

}  // namespace morva::python
