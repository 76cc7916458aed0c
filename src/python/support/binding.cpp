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

PyTypeObject* create_type(const ClassSpec& cls, int basicsize, destructor dealloc) {
    std::vector<PyType_Slot> slots;
    slots.reserve(cls.slots.size() + 6);
    slots.push_back({Py_tp_doc, const_cast<char*>(cls.doc)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(cls.constructor != nullptr ? cls.constructor : &no_constructor)});
    if (cls.methods != nullptr) slots.push_back({Py_tp_methods, cls.methods});
    if (cls.properties != nullptr) slots.push_back({Py_tp_getset, cls.properties});
    for (const PyType_Slot& slot : cls.slots) {
        if (slot.slot != 0) slots.push_back(slot);
    }
    slots.push_back({0, nullptr});

    // Created under its qualified name so that the interpreter records __module__ (a bare name
    // makes 3.12 warn, and fail under -W error); tp_name is then pointed at the bare class name
    // inside the type's own copy of that name, so messages show "Action", not a dotted name.
    const std::string qualified = std::string(cls.module) + "." + cls.name;
    PyType_Spec type_spec{qualified.c_str(), basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                          slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (type != nullptr) type->tp_name = std::strrchr(type->tp_name, '.') + 1;
    return type;
}

}  // namespace corvel::python
