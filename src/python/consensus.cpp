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

PyObject* repr(PyConsensusEngine*) {
    return to_str(std::string("ConsensusEngine(backend='") + kNativeBackend + "')");
}

}  // namespace

const ClassSpec PyConsensusEngine::definition{
    .name = "ConsensusEngine",
    .doc = "ConsensusEngine(required_sources=3, tolerance=0.1)\n--\n\nPython wrapper for ConsensusEngine",
    .constructor = constructor<&construct>(),
    .slots = {slot<Py_tp_repr, &repr>()},
};

}  // namespace corvel::python
