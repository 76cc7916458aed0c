// verify_trail and TrailSummary; prove, verify_evidence and prove_consistency.
#include "python/trail/trail.hpp"

#include <optional>
#include <string>

#include "audit_trail/trail_evidence.hpp"
#include "base/hex.hpp"
#include "keys/trail_public_key.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"
#include "python/support/ref.hpp"
#include "python/trail/keys.hpp"
#include "python/trail/trail_errors.hpp"
#include "python/trail/without_interpreter_lock.hpp"

namespace corvel::python::trail {

namespace {

VerifierKey verifier_key_argument(PyObject* key) {
    auto verifier = parse_verifier_key(text_as_given(key, "verifier_key"));
    if (!verifier) raise_error(verifier.error());
    return std::move(*verifier);
}

PyObject* summary_count(PyTrailSummary* self) { return to_int(self->value.count); }
PyObject* summary_head_index(PyTrailSummary* self) {
    return self->value.count == 0 ? to_none() : to_int(self->value.count - 1);
}
PyObject* summary_head_hash(PyTrailSummary* self) {
    return self->value.count == 0 ? to_none() : to_bytes(self->value.head_hash);
}
PyObject* summary_repr(PyTrailSummary* self) {
    if (self->value.count == 0) return to_str("TrailSummary(count=0)");
    return to_str("TrailSummary(count=" + std::to_string(self->value.count) + ", head_index=" +
                  std::to_string(self->value.count - 1) + ", head_hash='" + to_hex(self->value.head_hash) + "')");
}

PyGetSetDef summary_properties[] = {
    property<&summary_count>("count", "The number of entries"),
    property<&summary_head_index>("head_index", "The index of the last entry, or None"),
    property<&summary_head_hash>("head_hash", "current_hash of the last entry, or None"),
    kEndProperties,
};

PyObject* verify(const FastArgs& args) {
    auto [path, key, progress, checkpoint_arg, full_arg] =
        parse("verify_trail", {"path", "public_key", "progress", "checkpoint", "full"}, 2, args);
    bool full = false;
    if (full_arg != nullptr) {
        if (!PyBool_Check(full_arg)) raise_wrong_type(full_arg, "full", "bool");
        full = full_arg == Py_True;
    }
    const bool against_checkpoint = checkpoint_arg != nullptr && checkpoint_arg != Py_None;
    const std::string note = against_checkpoint ? std::string(text(checkpoint_arg, "checkpoint")) : std::string();
    const std::string file = file_path(path, "path");
    const TrailPublicKey public_key = public_key_argument(key, "public_key");
    // A verifier key text names the trail it is for: the checkpoint's origin must be that name.
    std::string key_name;
    if (PyUnicode_Check(key)) {
        if (auto verifier = parse_verifier_key(text(key, "public_key"))) key_name = std::move(verifier->name);
    }
    const bool report = progress != nullptr && progress != Py_None;
    if (report && !PyCallable_Check(progress)) raise_wrong_type(progress, "progress", "callable");

    std::expected<TrailSummary, TrailError> summary;
    bool python_error = false;
    {
        WithoutInterpreterLock unlocked;
        TrailProgress hook;
        // Ctrl-C and an exception from the callback both stop the scan.
        hook = [&](std::uint64_t done, std::uint64_t total) {
            return unlocked.with_lock([&] {
                if (PyErr_CheckSignals() < 0) return !(python_error = true);
                if (!report) return true;
                Ref result = Ref::steal(PyObject_CallFunction(progress, "KK", static_cast<unsigned long long>(done),
                                                              static_cast<unsigned long long>(total)));
                if (!result) python_error = true;
                return !python_error;
            });
        };
        if (against_checkpoint) {
            summary = verify_trail_prefix(file, public_key.bytes(), note, hook, key_name, full);
        } else if (auto plain = verify_trail(file, public_key.bytes(), hook)) {
            summary = *plain;
        } else {
            summary = std::unexpected(TrailError::audit(std::move(plain.error())));
        }
    }
    if (python_error) throw PyErrorRaised{};
    if (!summary) raise_error(summary.error());
    return wrap<PyTrailSummary>(std::move(*summary));
}

// ---------------------------------------------------------------- evidence

// An entry index: an int of 0 to 2**64-1. Any other int is the trail's own refusal (TrailError),
// not the interpreter's OverflowError; a value that is not an int stays a TypeError.
std::uint64_t entry_index(PyObject* value) {
    try {
        return u64(value, "index");
    } catch (const PyErrorRaised&) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw;
        PyErr_Clear();
    }
    Ref number = Ref::steal(PyNumber_Index(value));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!number || !zero) throw PyErrorRaised{};
    const int negative = PyObject_RichCompareBool(number.get(), zero.get(), Py_LT);
    if (negative < 0) throw PyErrorRaised{};
    raise_error(TrailError::index_out_of_range(negative == 1));
}

PyObject* prove(const FastArgs& args) {
    auto [path, index] = parse("prove", {"path", "index"}, 2, args);
    const std::string file = file_path(path, "path");
    const std::uint64_t entry = entry_index(index);
    std::expected<std::string, TrailError> evidence;
    bool interrupted = false;
    {
        WithoutInterpreterLock unlocked;
        // Rebuilding the tree from a large trail takes a while: Ctrl-C stops it.
        evidence = prove_entry(file, entry, [&](std::uint64_t, std::uint64_t) {
            return !(interrupted = unlocked.with_lock([] { return PyErr_CheckSignals() < 0; }));
        });
    }
    if (interrupted) throw PyErrorRaised{};
    if (!evidence) raise_error(evidence.error());
    return to_str(*evidence);
}

PyObject* check_evidence(const FastArgs& args) {
    auto [evidence, key] = parse("verify_evidence", {"evidence", "verifier_key"}, 2, args);
    const std::string_view document = text(evidence, "evidence");
    const VerifierKey verifier = verifier_key_argument(key);
    auto summary = verify_evidence(document, verifier);
    if (!summary) raise_error(summary.error());
    Ref out = Ref::steal(check(PyDict_New()));
    Ref index = Ref::steal(to_int(summary->index));
    Ref size = Ref::steal(to_int(summary->tree_size));
    Ref origin = Ref::steal(to_str(summary->origin));
    Ref hash = Ref::steal(to_bytes(summary->current_hash));
    check_status(PyDict_SetItemString(out.get(), "index", index.get()));
    check_status(PyDict_SetItemString(out.get(), "tree_size", size.get()));
    check_status(PyDict_SetItemString(out.get(), "origin", origin.get()));
    check_status(PyDict_SetItemString(out.get(), "current_hash", hash.get()));
    return out.release();
}

PyObject* consistency(const FastArgs& args) {
    auto [old_checkpoint, path, key] =
        parse("prove_consistency", {"old_checkpoint", "path", "verifier_key"}, 2, args);
    const std::string note(text(old_checkpoint, "old_checkpoint"));
    const std::string file = file_path(path, "path");
    std::optional<VerifierKey> verifier;
    if (key != nullptr && key != Py_None) verifier = verifier_key_argument(key);
    std::expected<std::string, TrailError> proof;
    bool interrupted = false;
    {
        WithoutInterpreterLock unlocked;
        proof = prove_consistency(note, file, verifier ? &*verifier : nullptr, [&](std::uint64_t, std::uint64_t) {
            return !(interrupted = unlocked.with_lock([] { return PyErr_CheckSignals() < 0; }));
        });
    }
    if (interrupted) throw PyErrorRaised{};
    if (!proof) raise_error(proof.error());
    return to_str(*proof);
}

PyObject* check_consistency(const FastArgs& args) {
    auto [document, key] = parse("verify_consistency", {"document", "verifier_key"}, 2, args);
    const std::string_view text_of_document = text(document, "document");
    const VerifierKey verifier = verifier_key_argument(key);
    auto summary = verify_consistency(text_of_document, verifier);
    if (!summary) raise_error(summary.error());
    Ref out = Ref::steal(check(PyDict_New()));
    Ref origin = Ref::steal(to_str(summary->origin));
    Ref old_size = Ref::steal(to_int(summary->old_size));
    Ref new_size = Ref::steal(to_int(summary->new_size));
    check_status(PyDict_SetItemString(out.get(), "origin", origin.get()));
    check_status(PyDict_SetItemString(out.get(), "old_size", old_size.get()));
    check_status(PyDict_SetItemString(out.get(), "new_size", new_size.get()));
    return out.release();
}

template <auto Body>
constexpr PyMethodDef fast_function(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_fast_entry<Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace

PyMethodDef evidence_functions[] = {
    fast_function<&prove>("prove",
                          "prove(path, index)\n--\n\nPortable evidence (JSON text) of entry `index`: the entry, its "
                          "inclusion proof and the checkpoint kept beside the trail; an index outside 0 to "
                          "2**64-1 raises TrailError"),
    fast_function<&check_evidence>(
        "verify_evidence",
        "verify_evidence(evidence, verifier_key)\n--\n\nVerify an evidence document offline with the trail's "
        "verifier key text (white space around it ignored; the checkpoint's origin must be the key's name); "
        "returns its index, tree_size, origin and current_hash"),
    fast_function<&consistency>(
        "prove_consistency",
        "prove_consistency(old_checkpoint, path, verifier_key=None)\n--\n\nThe consistency proof (JSON text) that "
        "the trail extends an older checkpoint of it, checked before it is returned; with the trail's verifier key "
        "text, both checkpoints must also be signed by it under its name"),
    fast_function<&check_consistency>(
        "verify_consistency",
        "verify_consistency(document, verifier_key)\n--\n\nVerify a consistency document offline with the "
        "trail's verifier key text: both checkpoints signed by the key under its name, and the proof that the old "
        "tree is a prefix of the new; returns its origin, old_size and new_size"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef verify_trail_function = {
    "verify_trail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_fast_entry<&verify>)),
    METH_FASTCALL | METH_KEYWORDS,
    "verify_trail(path, public_key, progress=None, checkpoint=None, full=False)\n--\n\nVerify a trail file with "
    "its public key: the layout, index continuity, the chain, every signature and no repeated proof nonce; with a "
    "checkpoint (signed-note text), also that the file holds exactly the tree it signs, and the checkpoint's "
    "signature then stands for the entries' own signatures in the prefix it covers (full=True checks them too). "
    "A public key given as a verifier key "
    "text names the trail: the checkpoint's origin must be its name. Returns a TrailSummary; raises "
    "TrailIntegrityError or TrailError at the first failure. progress(done_bytes, total_bytes) is called now and "
    "then."};

const ClassSpec PyTrailSummary::definition{
    .name = "TrailSummary",
    .module = kPackage,
    .doc = "What a verified trail holds: its entry count and head",
    .properties = summary_properties,
    .slots = {slot<Py_tp_repr, &summary_repr>()},
};

}  // namespace corvel::python::trail
