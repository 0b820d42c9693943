// The module's single argument binder: positional arguments first, then
// keywords matched against the interned parameter names (identity first,
// string equality as the fallback for names built at run time).
#include <algorithm>
#include <charconv>
#include <deque>
#include <mutex>
#include <string_view>
#include <system_error>
#include <vector>

#include "module_state.hpp"

namespace morva::python {
namespace {

struct KeywordArgument {
  PyObject* name;   // borrowed
  PyObject* value;  // borrowed
};

// Index of the parameter called `name`, or -1. A negative result with an
// exception set means the comparison itself failed.
Py_ssize_t find_parameter(const ModuleState& state, const Signature& signature, PyObject* name) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (state.keyword(signature.parameters[i].name) == name) return static_cast<Py_ssize_t>(i);
  }
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    const int equal = PyUnicode_Compare(state.keyword(signature.parameters[i].name), name);
    if (equal == -1 && PyErr_Occurred()) return -1;
    if (equal == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

bool bind(const ModuleState& state, const Signature& signature, PyObject* const* positional, Py_ssize_t nargs,
          const std::vector<KeywordArgument>& keywords, std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  const auto max_positional = static_cast<Py_ssize_t>(signature.positional);
  const std::size_t required = signature.required();
  if (nargs > max_positional) {
    if (max_positional == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", signature.display_name);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)",
                   signature.display_name, signature.positional == required ? "exactly" : "at most",
                   max_positional, max_positional == 1 ? "" : "s", nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = positional[i];

  for (const KeywordArgument& keyword : keywords) {
    if (!PyUnicode_Check(keyword.name)) {
      PyErr_Format(PyExc_TypeError, "keywords must be strings");
      return false;
    }
    const Py_ssize_t index = find_parameter(state, signature, keyword.name);
    if (index < 0) {
      if (PyErr_Occurred()) return false;
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.display_name,
                   keyword.name);
      return false;
    }
    if (out[static_cast<std::size_t>(index)] != nullptr) {
      if (index < nargs) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)",
                     signature.display_name, keyword.name, index + 1);
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", signature.display_name,
                     keyword.name);
      }
      return false;
    }
    out[static_cast<std::size_t>(index)] = keyword.value;
  }

  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature.display_name,
                   keyword_name(signature.parameters[i].name), i + 1);
      return false;
    }
  }
  return true;
}

// A number as the text signatures write it: the shortest text that reads
// back to the same double, its mantissa always with a point ("1.0", "1.6",
// "1.0e-6").
std::string number_text(double value) {
  char buffer[32];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) return "nan";
  const std::string_view shortest(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = shortest.find('e');
  std::string mantissa(shortest.substr(0, e));
  if (mantissa.find_first_of(".ni") == std::string::npos) mantissa += ".0";  // not for nan, inf
  if (e == std::string_view::npos) return mantissa;
  std::string_view exponent = shortest.substr(e + 1);
  const bool negative = exponent.front() == '-';
  if (exponent.front() == '-' || exponent.front() == '+') exponent.remove_prefix(1);
  while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
  return mantissa + (negative ? "e-" : "e") + std::string(exponent);
}

std::string default_text(const Default& fallback) {
  switch (fallback.type) {
    case Default::Type::Required: break;
    case Default::Type::None: return "None";
    case Default::Type::Flag: return fallback.flag ? "True" : "False";
    case Default::Type::Count: return std::to_string(fallback.count);
    case Default::Type::Number: return number_text(fallback.number);
  }
  return {};
}

}  // namespace

std::string text_signature(const Signature& signature) {
  const std::string_view display = signature.display_name;
  const std::size_t dot = display.rfind('.');
  std::string text(dot == std::string_view::npos ? display : display.substr(dot + 1));
  text += '(';
  std::vector<std::string> parts;
  if (signature.receiver) parts.emplace_back("$self");
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (i == signature.positional) parts.emplace_back("*");
    const Parameter& parameter = signature.parameters[i];
    std::string part = keyword_name(parameter.name);
    if (parameter.fallback.type != Default::Type::Required) {
      part += '=';
      part += default_text(parameter.fallback);
    }
    parts.push_back(std::move(part));
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += ", ";
    text += parts[i];
  }
  text += ')';
  return text;
}

const char* documented(const Signature& signature, const char* description) {
  // A deque never moves its elements, so every returned pointer stays valid.
  static std::mutex mutex;
  static std::deque<std::string> texts;
  std::string text = text_signature(signature) + "\n--\n\n" + description;
  const std::lock_guard lock(mutex);
  return texts.emplace_back(std::move(text)).c_str();
}

bool bind_arguments(const ModuleState& state, const Signature& signature, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
  std::vector<KeywordArgument> keywords;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    keywords.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      keywords.push_back({PyTuple_GET_ITEM(kwnames, i), args[positional + i]});
    }
  }
  return bind(state, signature, args, positional, keywords, out);
}

bool bind_arguments(const ModuleState& state, const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out) {
  std::vector<KeywordArgument> keywords;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) keywords.push_back({name, value});
  }
  return bind(state, signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), keywords, out);
}

}  // namespace morva::python
