// Access to the module state, for every translation unit of the bindings
// (the `_morva` module and the package's engine module, which works on
// `_morva`'s own state).
#include "module_state.hpp"

namespace morva::python {

ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState& type_state(PyTypeObject* type) {
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace morva::python
