// The `_morva` module object: multi-phase initialisation, module state and
// the registration of the four classes and two functions, in that order.
#define MORVA_IMPORTS_NUMPY_API
#include "numpy_api.hpp"

#include "keywords.hpp"
#include "module_state.hpp"
#include "pyref.hpp"
#include "types.hpp"

namespace morva::python {

namespace {

PyDoc_STRVAR(internal_fault_doc,
             "Raised when the extension detects a broken internal invariant.\n"
             "\n"
             "Derived from BaseException so that ordinary ``except Exception``\n"
             "handlers do not hide it; valid use never raises it.");

PyDoc_STRVAR(module_doc, "Factor-model mean-variance portfolio optimiser (native core).");

// Adds a new type to the module and keeps a strong reference in `slot`;
// `complete` may add what a PyType_Spec cannot express before it is published.
int add_type(PyObject* module, PyType_Spec& spec, const char* name, PyTypeObject*& slot,
             int (*complete)(PyObject*, PyTypeObject*) = nullptr) {
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (type == nullptr) return -1;
  slot = reinterpret_cast<PyTypeObject*>(type);
  if (complete != nullptr && complete(module, slot) < 0) return -1;
  return PyModule_AddObjectRef(module, name, type);
}

int add_function(PyObject* module, PyMethodDef& definition) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&definition, module, module_name.get()));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, definition.ml_name, function.get());
}

int module_exec(PyObject* module) {
  // Returns an error code (unlike import_array, which returns from the caller).
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  ModuleState& state = module_state(module);

  state.float64 = reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64));
  if (state.float64 == nullptr) return -1;
  for (std::size_t i = 0; i < kKeywordCount; ++i) {
    state.keywords[i] = PyUnicode_InternFromString(kKeywordNames[i]);
    if (state.keywords[i] == nullptr) return -1;
  }
  state.internal_fault =
      PyErr_NewExceptionWithDoc("_morva.InternalFault", internal_fault_doc, PyExc_BaseException, nullptr);
  if (state.internal_fault == nullptr) return -1;

  if (add_type(module, portfolio_problem_spec, "PortfolioProblem", state.problem_type, install_from_json) < 0)
    return -1;
  if (add_type(module, portfolio_sequence_spec, "PortfolioSequence", state.sequence_type) < 0) return -1;
  if (add_type(module, solve_result_spec, "SolveResult", state.result_type) < 0) return -1;
  if (add_type(module, certificate_spec, "InfeasibilityCertificate", state.certificate_type) < 0) return -1;
  if (add_function(module, solve_mean_variance_factor_def) < 0) return -1;
  if (add_function(module, solve_batch_def) < 0) return -1;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->problem_type);
  Py_VISIT(state->sequence_type);
  Py_VISIT(state->result_type);
  Py_VISIT(state->certificate_type);
  Py_VISIT(state->internal_fault);
  Py_VISIT(state->float64);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->problem_type);
  Py_CLEAR(state->sequence_type);
  Py_CLEAR(state->result_type);
  Py_CLEAR(state->certificate_type);
  Py_CLEAR(state->internal_fault);
  Py_CLEAR(state->float64);
  for (PyObject*& keyword : state->keywords) Py_CLEAR(keyword);
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // NumPy itself cannot be loaded into several interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_morva",        module_doc,   sizeof(ModuleState), nullptr,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace morva::python

PyMODINIT_FUNC PyInit__morva() {
  return PyModuleDef_Init(&morva::python::module_definition);
}
