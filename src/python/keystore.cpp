#include "python/keystore.hpp"

#include "python/support/convert.hpp"

namespace corvel::python {

namespace {

// A failing OS random source is a fault: generate() throws and the guard raises PanicException.
PyObject* generate() { return wrap<PySoftwareKeyStore>(SoftwareKeyStore::generate()); }

// The same text for every key store: it must not hint at the key.
PyObject* repr(PySoftwareKeyStore*) { return to_str("SoftwareKeyStore(type='Ed25519')"); }

PyMethodDef methods[] = {
    static_method<&generate>("generate", "generate()\n--\n\nGenerate a new Ed25519 keypair"),
    kEndMethods,
};

}  // namespace

const ClassSpec PySoftwareKeyStore::definition{
    .name = "SoftwareKeyStore",
    .doc = "Software-based KeyStore",
    .methods = methods,
    .slots = {slot<Py_tp_repr, &repr>()},
};

}  // namespace corvel::python
