#include "python/support/binding.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace corvel::python {

namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
    return nullptr;
}

}  // namespace

PyTypeObject* create_type(const ClassSpec& spec) {
    std::vector<PyType_Slot> slots;
    slots.reserve(spec.slots.size() + 6);
    slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor != nullptr ? spec.constructor : &no_constructor)});
    if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
    if (spec.properties != nullptr) slots.push_back({Py_tp_getset, spec.properties});
    for (const PyType_Slot& slot : spec.slots) slots.push_back(slot);
    slots.push_back({0, nullptr});

    // Created under its qualified name so that the interpreter records __module__ (a bare name
    // makes 3.12 warn, and fail under -W error); tp_name is then pointed at the bare class name
    // inside the type's own copy of that name, so messages show "Action", not a dotted name.
    const std::string qualified = std::string(kModuleName) + "." + spec.name;
    PyType_Spec type_spec{qualified.c_str(), spec.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                          slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (type != nullptr) type->tp_name = std::strrchr(type->tp_name, '.') + 1;
    return type;
}

}  // namespace corvel::python
