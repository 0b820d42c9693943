#include "errors.hpp"

#include <exception>
#include <new>

#include "morva/format.hpp"
#include "pyref.hpp"

namespace morva::python {
namespace {

void raise_with_text(PyObject* kind, std::string_view message) {
  PyRef text =
      PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(kind, text.get());
}

}  // namespace

void raise_portfolio_error(const PortfolioError& error) {
  raise_value_error(error.message());
}

void raise_value_error(std::string_view message) {
  raise_with_text(PyExc_ValueError, message);
}
void raise_runtime_error(std::string_view message) {
  raise_with_text(PyExc_RuntimeError, message);
}
void raise_type_error(std::string_view message) {
  raise_with_text(PyExc_TypeError, message);
}

void raise_internal_fault(const ModuleState& state, std::string_view message) {
  raise_with_text(state.internal_fault != nullptr ? state.internal_fault : PyExc_SystemError, message);
}

void raise_from_cxx_exception(const ModuleState& state) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_fault(state, error.what());
  } catch (...) {
    raise_internal_fault(state, "unknown C++ exception");
  }
}

std::string take_exception_text() {
#if PY_VERSION_HEX >= 0x030C0000
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef exception = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
#endif
  if (!exception) return {};
  PyRef text = PyRef::steal(PyObject_Str(exception.get()));
  if (!text) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

void prefix_type_error(const char* argument_name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  const std::string original = take_exception_text();
  raise_type_error(std::string("argument '") + argument_name + "': " + original);
}

std::string failure_message(const Solution& solution) {
  std::string message = "Morva stopped with status '";
  message += to_string(solution.status);
  message += "' after ";
  message += std::to_string(solution.iterations);
  message += " iterations (primal residual ";
  message += format_scientific(solution.residuals.primal, 3);
  message += ", dual residual ";
  message += format_scientific(solution.residuals.dual, 3);
  message += ").";
  if (solution.diagnostics && !solution.diagnostics->hints.empty()) {
    message += " Hints: ";
    const auto& hints = solution.diagnostics->hints;
    for (std::size_t i = 0; i < hints.size(); ++i) {
      if (i > 0) message += "; ";
      message += hints[i];
    }
    message += ".";
  }
  message += " Set raise_on_failure=False to inspect the returned iterate and its convergence_hints.";
  return message;
}

}  // namespace morva::python
