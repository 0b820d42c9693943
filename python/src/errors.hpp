// How core errors, failed solves and internal faults become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "module_state.hpp"
#include "morva/portfolio.hpp"
#include "morva/solution.hpp"

namespace morva::python {

// ValueError carrying the error's own text, unchanged.
void raise_portfolio_error(const PortfolioError& error);

void raise_value_error(std::string_view message);
void raise_runtime_error(std::string_view message);
void raise_type_error(std::string_view message);

// The exception of a broken invariant (derived from BaseException, so that
// ordinary `except Exception` handlers do not swallow it).
void raise_internal_fault(const ModuleState& state, std::string_view message);

// Inside a catch block: turns the C++ exception in flight into a Python one.
// std::bad_alloc becomes MemoryError, anything else an internal fault.
void raise_from_cxx_exception(const ModuleState& state);

// When the pending exception is a TypeError, replaces it by a TypeError whose
// text is "argument '<name>': " followed by the original text.
void prefix_type_error(const char* argument_name);

// The str() of the pending exception, which is cleared. Empty when none.
std::string take_exception_text();

// "Morva stopped with status '…' after … iterations (primal residual …, dual
// residual …).[ Hints: a; b.] Set raise_on_failure=False to …"
std::string failure_message(const Solution& solution);

}  // namespace morva::python
