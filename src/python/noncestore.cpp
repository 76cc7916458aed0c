#include "python/noncestore.hpp"

#include "python/errors.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"

namespace corvel::python {

namespace {

PyObject* construct(PyObject* args, PyObject* kwargs) {
    parse_none("MemoryNonceStore", args, kwargs);
    return wrap<PyMemoryNonceStore>(MemoryNonceStore());
}

PyObject* contains(PyMemoryNonceStore* self, const FastArgs& args) {
    auto [argument] = parse("MemoryNonceStore.contains", {"nonce"}, 1, args);
    const auto nonce = nonce_from_bytes(byte_sequence(argument, "nonce"));
    if (!nonce) raise(to_python(nonce.error()));
    return to_bool(self->value.contains(*nonce));
}

PyObject* repr(PyMemoryNonceStore*) { return to_str("MemoryNonceStore(persistent=false)"); }

PyMethodDef methods[] = {
    method<&contains>("contains", "contains($self, nonce)\n--\n\nCheck if a nonce exists"),
    kEndMethods,
};

}  // namespace

const ClassSpec PyMemoryNonceStore::definition{
    .name = "MemoryNonceStore",
    .doc = "MemoryNonceStore()\n--\n\nIn-memory nonce store",
    .constructor = constructor<&construct>(),
    .methods = methods,
    .slots = {slot<Py_tp_repr, &repr>()},
};

}  // namespace corvel::python
