#include "python/consensus.hpp"

#include <string>

#include "crypto/backend.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"

namespace corvel::python {

namespace {

// Any count and any tolerance (zero, negative, not finite) are stored as given.
PyObject* construct(PyObject* args, PyObject* kwargs) {
    auto [required_sources, tolerance] =
        parse("ConsensusEngine", {"required_sources", "tolerance"}, 0, args, kwargs);
    ConsensusSettings settings;
    if (required_sources != nullptr) settings.required_sources = u64(required_sources, "required_sources");
    if (tolerance != nullptr) settings.tolerance = f64(tolerance, "tolerance");
    return wrap<PyConsensusEngine>(std::move(settings));
}

PyObject* repr(PyConsensusEngine* self) {
    SharedBorrow borrow(self->borrow);
    return to_str(std::string("ConsensusEngine(backend='") + kNativeBackend + "')");
}

}  // namespace

PyTypeObject* PyConsensusEngine::type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_type(ClassSpec{
            .name = "ConsensusEngine",
            .doc = "ConsensusEngine(required_sources=3, tolerance=0.1)\n--\n\nPython wrapper for ConsensusEngine",
            .basicsize = sizeof(PyConsensusEngine),
            .dealloc = &dealloc<PyConsensusEngine>,
            .constructor = &constructor_slot<&construct>,
            .slots = {{Py_tp_repr, reinterpret_cast<void*>(&unary_slot<&repr>)}},
        });
    }
    return type;
}

}  // namespace corvel::python
