#include "python/trail/keys.hpp"

#include <string>

#include "note/note_key.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"
#include "python/trail/trail_errors.hpp"

namespace corvel::python::trail {

namespace {

template <class T>
T value_or_raise(std::expected<T, TrailKeyError>&& result) {
    if (!result) raise_error(result.error());
    return std::move(*result);
}

// ---------------------------------------------------------------- TrailKey

PyObject* generate() { return wrap<PyTrailKey>(std::make_shared<const TrailKey>(TrailKey::generate())); }

PyObject* load(const FastArgs& args) {
    auto [path] = parse("TrailKey.load", {"path"}, 1, args);
    const std::string file = file_path(path, "path");
    return wrap<PyTrailKey>(std::make_shared<const TrailKey>(value_or_raise(TrailKey::load(file))));
}

PyObject* save(PyTrailKey* self, const FastArgs& args) {
    auto [path] = parse("TrailKey.save", {"path"}, 1, args);
    const std::string file = file_path(path, "path");
    if (auto saved = self->value->save(file); !saved) raise_error(saved.error());
    return to_none();
}

PyObject* key_public_key(PyTrailKey* self) {
    return wrap<PyTrailPublicKey>(TrailPublicKey(self->value->public_key()));
}

PyObject* key_repr(PyTrailKey* self) { return to_str("TrailKey(public_key='" + self->value->public_key().hex() + "')"); }

PyMethodDef key_methods[] = {
    static_method<&generate>("generate", "generate()\n--\n\nA new key from the operating system's random source"),
    static_method<&load>("load",
                         "load(path)\n--\n\nLoad a PKCS#8 PEM key file; the file must be readable by its owner only"),
    method<&save>("save",
                  "save($self, path)\n--\n\nWrite the key as a new PKCS#8 PEM file with mode 0600; never overwrites"),
    kEndMethods,
};

PyGetSetDef key_properties[] = {
    property<&key_public_key>("public_key", "The public key, for verifiers"),
    kEndProperties,
};

// ---------------------------------------------------------------- TrailPublicKey

PyObject* from_text(const FastArgs& args) {
    auto [value] = parse("TrailPublicKey.parse", {"text"}, 1, args);
    return wrap<PyTrailPublicKey>(value_or_raise(parse_public_key(text(value, "text"))));
}

PyObject* from_file(const FastArgs& args) {
    auto [path] = parse("TrailPublicKey.load", {"path"}, 1, args);
    const std::string file = file_path(path, "path");
    return wrap<PyTrailPublicKey>(value_or_raise(load_public_key(file)));
}

PyObject* from_bytes(const FastArgs& args) {
    auto [value] = parse("TrailPublicKey.from_bytes", {"data"}, 1, args);
    const Bytes bytes = byte_sequence(value, "data");
    if (bytes.size() != 32) {
        PyErr_SetString(PyExc_ValueError, "An Ed25519 public key is exactly 32 bytes");
        throw PyErrorRaised{};
    }
    PublicKey key;
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return wrap<PyTrailPublicKey>(TrailPublicKey(key));
}

PyObject* raw(PyTrailPublicKey* self) { return to_bytes(self->value.bytes()); }
PyObject* hex(PyTrailPublicKey* self) { return to_str(self->value.hex()); }
PyObject* pem(PyTrailPublicKey* self) { return to_str(self->value.pem()); }

PyObject* verifier_key(PyTrailPublicKey* self, const FastArgs& args) {
    auto [name] = parse("TrailPublicKey.verifier_key", {"name"}, 1, args);
    auto key = VerifierKey::make(text_as_given(name, "name"), self->value.bytes());
    if (!key) raise_error(key.error());
    return to_str(key->text());
}

PyObject* public_repr(PyTrailPublicKey* self) { return to_str("TrailPublicKey('" + self->value.hex() + "')"); }

bool public_equal(PyTrailPublicKey* self, PyTrailPublicKey* other) { return self->value == other->value; }

Py_hash_t public_hash(PyTrailPublicKey* self) { return value_hash(self->value.bytes()); }

PyMethodDef public_methods[] = {
    static_method<&from_text>(
        "parse", "parse(text)\n--\n\nA public key from SPKI PEM, 64 hex digits or a signed-note verifier key"),
    static_method<&from_file>("load", "load(path)\n--\n\nA public key from a file holding any form parse() takes"),
    static_method<&from_bytes>("from_bytes", "from_bytes(data)\n--\n\nA public key from its 32 bytes"),
    method<&hex>("hex", "hex($self)\n--\n\nThe key as 64 lower-case hex digits"),
    method<&pem>("pem", "pem($self)\n--\n\nThe key as SPKI PEM text"),
    method<&verifier_key>("verifier_key",
                          "verifier_key($self, name)\n--\n\nThe signed-note verifier key text under a key name"),
    kEndMethods,
};

PyGetSetDef public_properties[] = {
    property<&raw>("raw", "The key's 32 bytes"),
    kEndProperties,
};

}  // namespace

TrailPublicKey public_key_argument(PyObject* value, const char* name) {
    if (Py_IS_TYPE(value, type_of<PyTrailPublicKey>())) return reinterpret_cast<PyTrailPublicKey*>(value)->value;
    if (PyUnicode_Check(value)) return value_or_raise(parse_public_key(text(value, name)));
    if (PyBytes_Check(value) && PyBytes_GET_SIZE(value) == 32) {
        PublicKey key;
        std::memcpy(key.data(), PyBytes_AS_STRING(value), key.size());
        return TrailPublicKey(key);
    }
    raise_wrong_type(value, name, "TrailPublicKey");
}

const ClassSpec PyTrailKey::definition{
    .name = "TrailKey",
    .module = kPackage,
    .doc = "The audit trail's Ed25519 signing key",
    .methods = key_methods,
    .properties = key_properties,
    .slots = {slot<Py_tp_repr, &key_repr>()},
};

const ClassSpec PyTrailPublicKey::definition{
    .name = "TrailPublicKey",
    .module = kPackage,
    .doc = "The public half of a trail key: all a verifier needs",
    .methods = public_methods,
    .properties = public_properties,
    .slots = {slot<Py_tp_repr, &public_repr>(),
              slot<Py_tp_hash, &public_hash>(),
              slot<Py_tp_richcompare, &public_equal>()},
};

}  // namespace corvel::python::trail
