#include "convert.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "morva/large_storage.hpp"
#include "numpy_api.hpp"
#include "pyref.hpp"

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

// The `count` elements of a C-contiguous, aligned array, copied as one block
// into storage that no pass has written before.
std::vector<double> contiguous_values(PyArrayObject* array, npy_intp count) {
  const auto* first = static_cast<const double*>(PyArray_DATA(array));
  std::vector<double> values = large_storage(static_cast<std::size_t>(count));
  values.insert(values.end(), first, first + count);
  return values;
}

bool contiguous(PyArrayObject* array) {
  return PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array);
}

std::vector<double> copy_vector(PyArrayObject* array) {
  const npy_intp length = PyArray_DIM(array, 0);
  if (contiguous(array)) return contiguous_values(array, length);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  std::vector<double> values(static_cast<std::size_t>(length));
  for (npy_intp i = 0; i < length; ++i) values[static_cast<std::size_t>(i)] = load_double(base + i * stride);
  return values;
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

bool convert(kind::Matrix, const ModuleState& state, PyObject* object, const Parameter& parameter,
             Matrix& out) {
  PyArrayObject* array = float64_array(state, object, 2, parameter.name);
  if (array == nullptr) return false;
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  std::vector<double> data;
  if (contiguous(array)) {
    data = contiguous_values(array, rows * cols);
  } else {
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    const npy_intp col_stride = PyArray_STRIDE(array, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    data = large_storage(static_cast<std::size_t>(rows * cols));
    data.resize(static_cast<std::size_t>(rows * cols));
    for (npy_intp i = 0; i < rows; ++i) {
      for (npy_intp j = 0; j < cols; ++j) {
        data[static_cast<std::size_t>(i * cols + j)] = load_double(base + i * row_stride + j * col_stride);
      }
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

bool convert(kind::Factors, const ModuleState& state, PyObject* object, const Parameter& parameter,
             FactorScan& out) {
  PyArrayObject* array = float64_array(state, object, 2, parameter.name);
  if (array == nullptr) return false;
  if (!contiguous(array)) {
    Matrix strided;
    if (!convert(kind::Matrix{}, state, object, parameter, strided)) return false;
    out = FactorScan::of(std::move(strided));
    return true;
  }
  // Copied and scanned in one read of the caller's memory.
  auto scanned = FactorScan::copied(static_cast<std::uint64_t>(PyArray_DIM(array, 0)),
                                    static_cast<std::uint64_t>(PyArray_DIM(array, 1)),
                                    static_cast<const double*>(PyArray_DATA(array)));
  if (!scanned) {
    raise_value_error(scanned.error().message());
    return false;
  }
  out = std::move(*scanned);
  return true;
}

bool convert(kind::Covariance, const ModuleState& state, PyObject* object, const Parameter& parameter,
             FactorCovariance& out) {
  Matrix dense;
  if (!convert(kind::Matrix{}, state, object, parameter, dense)) return false;
  out = FactorCovariance::dense(std::move(dense));
  return true;
}

bool convert(kind::Vector, const ModuleState& state, PyObject* object, const Parameter& parameter,
             std::vector<double>& out) {
  PyArrayObject* array = float64_array(state, object, 1, parameter.name);
  if (array == nullptr) return false;
  out = copy_vector(array);
  return true;
}

bool convert(kind::Scalar, const ModuleState&, PyObject* object, const Parameter& parameter, double& out) {
  out = parameter.fallback.number;
  if (object == nullptr) return true;
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_type_error(keyword_name(parameter.name));
    return false;
  }
  out = value;
  return true;
}

bool convert(kind::Scalar, const ModuleState& state, PyObject* object, const Parameter& parameter,
             std::optional<double>& out) {
  double value = 0.0;
  if (!convert(kind::Scalar{}, state, object, parameter, value)) return false;
  out = value;
  return true;
}

bool convert(kind::Count, const ModuleState&, PyObject* object, const Parameter& parameter,
             std::uint64_t& out) {
  out = parameter.fallback.count;
  if (object == nullptr) return true;
  return unsigned_index(PyRef::steal(PyNumber_Index(object)), parameter.name, out);
}

bool convert(kind::Flag, const ModuleState&, PyObject* object, const Parameter& parameter, bool& out) {
  out = parameter.fallback.flag;
  if (object == nullptr) return true;
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  if (PyObject_TypeCheck(object, &PyBoolArrType_Type)) {
    out = PyArrayScalar_VAL(object, Bool) != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %.200s", keyword_name(parameter.name),
               Py_TYPE(object)->tp_name);
  return false;
}

namespace {

// The ids of a 1-D integer array of element type T, read where they lie
// (any stride, any alignment); false at the first negative one.
template <class T>
bool read_ids(PyArrayObject* array, std::vector<std::uint64_t>& out) {
  const npy_intp length = PyArray_DIM(array, 0);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  out.resize(static_cast<std::size_t>(length));
  for (npy_intp i = 0; i < length; ++i) {
    T id;
    std::memcpy(&id, base + i * stride, sizeof id);
    if constexpr (std::is_signed_v<T>) {
      if (id < 0) return false;
    }
    out[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(id);
  }
  return true;
}

// A one-dimensional integer array in native byte order is read in place,
// with no Python integer made per id. Anything else, or a negative id (for
// Python's own error), is left to the general path: false.
bool integer_array_ids(PyObject* object, std::vector<std::uint64_t>& out) {
  if (!PyArray_Check(object)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 1 || !PyArray_ISINTEGER(array) || !PyArray_ISNOTSWAPPED(array)) return false;
  switch (PyArray_DESCR(array)->elsize * (PyArray_ISUNSIGNED(array) ? -1 : 1)) {
    case 1: return read_ids<std::int8_t>(array, out);
    case 2: return read_ids<std::int16_t>(array, out);
    case 4: return read_ids<std::int32_t>(array, out);
    case 8: return read_ids<std::int64_t>(array, out);
    case -1: return read_ids<std::uint8_t>(array, out);
    case -2: return read_ids<std::uint16_t>(array, out);
    case -4: return read_ids<std::uint32_t>(array, out);
    case -8: return read_ids<std::uint64_t>(array, out);
    default: return false;
  }
}

}  // namespace

bool convert(kind::IndexVector, const ModuleState&, PyObject* object, const Parameter& parameter,
             std::vector<std::uint64_t>& out) {
  if (integer_array_ids(object, out)) return true;
  const char* name = keyword_name(parameter.name);
  if (PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  if (!PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to 'Sequence'", name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    prefix_type_error(name);
    return false;
  }
  out.clear();
  out.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    std::uint64_t id = 0;
    if (!unsigned_index(item ? PyRef::steal(PyNumber_Index(item.get())) : PyRef(), parameter.name, id))
      return false;
    out.push_back(id);
  }
  return true;
}

// l1_turnover_costs: a number gives every asset that cost; otherwise a 1-D
// float64 array (its length is the core's to check). Anything else is
// refused when the builders reach the costs.
bool convert(kind::ScalarOrVector, const ModuleState& state, PyObject* object, const Parameter&,
             L1Costs& out) {
  const double value = PyFloat_AsDouble(object);
  if (!(value == -1.0 && PyErr_Occurred())) {
    out = value;
    return true;
  }
  PyErr_Clear();
  std::vector<double> costs;
  if (vector_from_float_array(state, object, costs)) {
    out = std::move(costs);
  } else {
    out = UnreadableCosts{};
  }
  return true;
}

bool convert_portfolio_fields(const ModuleState& state, std::span<PyObject* const> arguments,
                              PortfolioFields& out) {
  // Signature order, so the earliest bad argument is the one reported.
  bool converted = true;
  for_each_input([&]<class Row>(const Row& row, auto index) {
    converted = converted && convert(typename Row::ValueKind{}, state, arguments[index],
                                     kProblemParameters[index], out.*row.member);
  });
  return converted;
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
  return convert_fields(state, arguments, kSolverKeywords, out);
}

}  // namespace morva::python
