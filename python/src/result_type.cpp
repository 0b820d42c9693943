// SolveResult and InfeasibilityCertificate: read-only views of a core
// solution and certificate. Every array attribute is a fresh copy.
#include <new>
#include <string>
#include <utility>

#include "convert.hpp"
#include "errors.hpp"
#include "morva/format.hpp"
#include "morva/json.hpp"
#include "pyref.hpp"
#include "types.hpp"

namespace morva::python {
namespace {

const Solution& held_solution(PyObject* self) {
  return reinterpret_cast<PySolveResult*>(self)->solution;
}
const Certificate& held_certificate(PyObject* self) {
  return reinterpret_cast<PyCertificate*>(self)->certificate;
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Getters run C++ code that may allocate; a failure becomes a Python error.
template <class F>
PyObject* guarded(PyObject* self, F&& body) {
  try {
    return body();
  } catch (...) {
    raise_from_cxx_exception(type_state(Py_TYPE(self)));
    return nullptr;
  }
}

// ---- SolveResult ----

PyObject* result_status(PyObject* self, void*) {
  return new_str(to_string(held_solution(self).status));
}
PyObject* result_objective(PyObject* self, void*) {
  return PyFloat_FromDouble(held_solution(self).objective);
}
PyObject* result_primal_residual(PyObject* self, void*) {
  return PyFloat_FromDouble(held_solution(self).residuals.primal);
}
PyObject* result_dual_residual(PyObject* self, void*) {
  return PyFloat_FromDouble(held_solution(self).residuals.dual);
}
PyObject* result_complementarity(PyObject* self, void*) {
  return PyFloat_FromDouble(held_solution(self).residuals.complementarity);
}
PyObject* result_iterations(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(held_solution(self).iterations);
}
PyObject* result_solve_time(PyObject* self, void*) {
  return PyFloat_FromDouble(held_solution(self).solve_time.seconds());
}
PyObject* result_final_rho(PyObject* self, void*) {
  return PyFloat_FromDouble(held_solution(self).final_rho);
}
PyObject* result_rho_updates(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(held_solution(self).rho_updates);
}
PyObject* result_polished(PyObject* self, void*) {
  return PyBool_FromLong(held_solution(self).polished ? 1 : 0);
}

PyObject* result_hints(PyObject* self, void*) {
  const Solution& solution = held_solution(self);
  const std::size_t count = solution.diagnostics ? solution.diagnostics->hints.size() : 0;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* hint = new_str(solution.diagnostics->hints[i]);
    if (hint == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), hint);  // steals
  }
  return list.release();
}

PyObject* result_weights(PyObject* self, void*) {
  return new_float_array(held_solution(self).x);
}

PyObject* result_certificate(PyObject* self, void*) {
  return guarded(self, [&]() -> PyObject* {
    const Solution& solution = held_solution(self);
    if (!solution.certificate) Py_RETURN_NONE;
    return new_certificate_object(type_state(Py_TYPE(self)), *solution.certificate);
  });
}

PyObject* result_to_json(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* { return new_str(solution_to_json(held_solution(self))); });
}

PyObject* result_repr(PyObject* self) {
  return guarded(self, [&]() -> PyObject* {
    const Solution& solution = held_solution(self);
    std::string text = "SolveResult(status='";
    text += to_string(solution.status);
    text += "', objective=" + format_scientific(solution.objective, 6);
    text += ", iterations=" + std::to_string(solution.iterations);
    text += ", primal_residual=" + format_scientific(solution.residuals.primal, 3);
    text += ", dual_residual=" + format_scientific(solution.residuals.dual, 3);
    text += ")";
    return new_str(text);
  });
}

PyDoc_STRVAR(result_doc,
             "The outcome of one solve: weights, status, residuals and solver statistics.\n"
             "\n"
             "Made only by the solver. Attributes are read-only; every array attribute\n"
             "returns a new copy, so changing it changes nothing in the result.");

PyDoc_STRVAR(result_to_json_doc,
             "to_json($self)\n--\n\n"
             "Serializes the full solver result — weights, every dual multiplier\n"
             "block, residuals, diagnostics, and any infeasibility certificate —\n"
             "to a JSON string for bug reports and reproduction (roadmap 3.3).\n"
             "\n"
             "Pair it with ``PortfolioProblem.to_json`` so a report carries both\n"
             "the problem and what Morva returned on it.");

PyMethodDef result_methods[] = {
    {"to_json", as_method(result_to_json), METH_NOARGS, result_to_json_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"status", result_status, nullptr,
     "Status text: 'solved', 'maximum iterations reached', 'numerical failure',\n"
     "'primal infeasible' or 'dual infeasible'.",
     nullptr},
    {"objective", result_objective, nullptr, "Objective value of the returned weights.", nullptr},
    {"primal_residual", result_primal_residual, nullptr, "Primal residual of the returned iterate.", nullptr},
    {"dual_residual", result_dual_residual, nullptr, "Dual residual of the returned iterate.", nullptr},
    {"complementarity", result_complementarity, nullptr, "Complementarity residual of the returned iterate.",
     nullptr},
    {"iterations", result_iterations, nullptr, "ADMM iterations performed.", nullptr},
    {"solve_time_seconds", result_solve_time, nullptr, "Wall time of the solve in seconds.", nullptr},
    {"final_rho", result_final_rho, nullptr, "ADMM penalty parameter at the end of the solve.", nullptr},
    {"rho_updates", result_rho_updates, nullptr, "Number of adaptive penalty updates.", nullptr},
    {"polished", result_polished, nullptr,
     "Whether the returned weights are the polished iterate: `True` only\n"
     "when the solve succeeded and the direct active-set solve improved\n"
     "the worst KKT residual and still met the stopping tolerances (see\n"
     "the `polish` solver option).",
     nullptr},
    {"convergence_hints", result_hints, nullptr,
     "Hints explaining a solve that did not succeed (a new list on every access;\n"
     "empty after a successful solve).",
     nullptr},
    {"weights", result_weights, nullptr, "Portfolio weights (a new float64 array on every access).", nullptr},
    {"certificate", result_certificate, nullptr,
     "Infeasibility proof; present only when the status is\n"
     "`'primal infeasible'` or `'dual infeasible'`.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<PySolveResult, &PySolveResult::solution>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_doc, const_cast<char*>(result_doc)},
    {Py_tp_methods, result_methods},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

// ---- InfeasibilityCertificate ----

PyObject* certificate_kind(PyObject* self, void*) {
  return new_str(held_certificate(self).is_primal() ? "primal" : "dual");
}

// A copy of one primal multiplier block, or None for a dual certificate.
template <std::vector<double> PrimalCertificate::*Block>
PyObject* primal_block(PyObject* self, void*) {
  const Certificate& certificate = held_certificate(self);
  if (!certificate.is_primal()) Py_RETURN_NONE;
  return new_float_array(certificate.primal().*Block);
}

PyObject* certificate_direction(PyObject* self, void*) {
  const Certificate& certificate = held_certificate(self);
  if (certificate.is_primal()) Py_RETURN_NONE;
  return new_float_array(certificate.dual().direction);
}

PyObject* certificate_repr(PyObject* self) {
  return PyUnicode_FromFormat("InfeasibilityCertificate(kind='%s')",
                              held_certificate(self).is_primal() ? "primal" : "dual");
}

PyDoc_STRVAR(certificate_doc,
             "Proof that a solve stopped because the problem itself is pathological\n"
             "(status `'primal infeasible'` or `'dual infeasible'`).\n"
             "\n"
             "Certificates are normalized to unit infinity norm and reported in the\n"
             "original data space. For a primal certificate the multiplier arrays are a\n"
             "Farkas combination of the constraints that admits no common portfolio;\n"
             "for a dual certificate `direction` is a ray along which the objective\n"
             "decreases without bound.");

PyGetSetDef certificate_getset[] = {
    {"kind", certificate_kind, nullptr, nullptr, nullptr},
    {"equality_dual", primal_block<&PrimalCertificate::equality_dual>, nullptr,
     "Farkas weights on the equality rows (budget first, when present);\n"
     "`None` for dual certificates.",
     nullptr},
    {"inequality_dual", primal_block<&PrimalCertificate::inequality_dual>, nullptr,
     "Farkas weights on the inequality rows; `None` for dual certificates.", nullptr},
    {"bound_dual", primal_block<&PrimalCertificate::bound_dual>, nullptr,
     "Farkas weights on the boxes (positive parts cite upper bounds,\n"
     "negative parts lower bounds); `None` for dual certificates.",
     nullptr},
    {"direction", certificate_direction, nullptr,
     "Unbounded descent direction in weight space; `None` for primal\n"
     "certificates.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot certificate_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<PyCertificate, &PyCertificate::certificate>)},
    {Py_tp_repr, reinterpret_cast<void*>(certificate_repr)},
    {Py_tp_doc, const_cast<char*>(certificate_doc)},
    {Py_tp_getset, certificate_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec solve_result_spec = {
    "_morva.SolveResult",
    sizeof(PySolveResult),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    result_slots,
};

PyType_Spec certificate_spec = {
    "_morva.InfeasibilityCertificate",
    sizeof(PyCertificate),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    certificate_slots,
};

PyObject* new_result_object(const ModuleState& state, Solution solution) {
  PyObject* object = state.result_type->tp_alloc(state.result_type, 0);
  if (object == nullptr) return nullptr;
  new (&reinterpret_cast<PySolveResult*>(object)->solution) Solution(std::move(solution));
  return object;
}

PyObject* new_certificate_object(const ModuleState& state, Certificate certificate) {
  PyObject* object = state.certificate_type->tp_alloc(state.certificate_type, 0);
  if (object == nullptr) return nullptr;
  new (&reinterpret_cast<PyCertificate*>(object)->certificate) Certificate(std::move(certificate));
  return object;
}

}  // namespace morva::python
