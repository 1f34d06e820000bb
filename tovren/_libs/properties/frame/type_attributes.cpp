#include "type_attributes.h"

#include "module_state.h"
#include "owned_reference.h"

namespace tovren {

int store_type_attribute(PyTypeObject* type, PyObject* name, PyObject* value) noexcept {
  // Static types expose their dictionary read-only through mappingproxy, so
  // the entry goes straight into the dict that the type owns.
  if (PyDict_SetItem(type->tp_dict, name, value) < 0) return -1;
  PyType_Modified(type);
  PyObject* set_name = constant(Const::dunder_set_name);
  if (!PyObject_HasAttr(value, set_name)) return 0;
  PyObject* arguments[] = {value, reinterpret_cast<PyObject*>(type), name};
  OwnedRef result = OwnedRef::steal(PyObject_VectorcallMethod(
      set_name, arguments, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return result ? 0 : -1;
}

}  // namespace tovren
