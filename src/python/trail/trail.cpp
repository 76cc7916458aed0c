#include "base/hex.hpp"
#include "python/trail/trail.hpp"

#include <cmath>
#include <string>

#include "audit_trail/trail_evidence.hpp"
#include "keys/trail_public_key.hpp"
#include "python/support/convert.hpp"
#include "python/support/extract.hpp"
#include "python/support/ref.hpp"
#include "python/trail/core_values.hpp"
#include "python/trail/keys.hpp"
#include "python/trail/trail_errors.hpp"

namespace corvel::python::trail {

namespace {

// Lets other Python threads run during file work and signing; the interpreter lock is taken
// back when the scope ends, also when a fault unwinds through it.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

    // Runs `call` with the lock held, in the middle of the scope.
    template <class Call>
    auto with_lock(Call&& call) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        return call();
    }

private:
    PyThreadState* state_;
};

// ---------------------------------------------------------------- Decision

PyObject* approved_decision() { return wrap<PyDecision>(Decision::approved()); }

PyObject* denied_decision(const FastArgs& args) {
    auto [reason] = parse("Decision.denied", {"reason"}, 1, args);
    return wrap<PyDecision>(Decision::denied(std::string(text(reason, "reason"))));
}

PyObject* decision_approved(PyDecision* self) { return to_bool(self->value.kind() == Decision::Kind::Approved); }

PyObject* decision_reason(PyDecision* self) {
    if (self->value.kind() == Decision::Kind::Approved) return to_none();
    return to_str(self->value.reason());
}

PyObject* decision_repr(PyDecision* self) {
    if (self->value.kind() == Decision::Kind::Approved) return to_str("Decision.approved()");
    Ref reason = Ref::steal(to_str(self->value.reason()));
    return check(PyUnicode_FromFormat("Decision.denied(%R)", reason.get()));
}

bool decision_equal(PyDecision* self, PyDecision* other) { return self->value == other->value; }

PyMethodDef decision_methods[] = {
    static_method<&approved_decision>("approved", "approved()\n--\n\nThe action was allowed"),
    static_method<&denied_decision>("denied", "denied(reason)\n--\n\nThe action was refused, for this reason"),
    kEndMethods,
};

PyGetSetDef decision_properties[] = {
    property<&decision_approved>("approved", "Whether the action was allowed"),
    property<&decision_reason>("reason", "Why it was refused; None when approved"),
    kEndProperties,
};

// ---------------------------------------------------------------- AuditTrail

SyncPolicy sync_policy(PyObject* every, PyObject* interval) {
    SyncPolicy policy;
    if (every != nullptr && every != Py_None) {
        const std::uint64_t count = u64(every, "sync_every");
        if (count > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "argument 'sync_every': at most 4294967295");
            throw PyErrorRaised{};
        }
        policy.every = static_cast<std::uint32_t>(count);
    }
    if (interval != nullptr && interval != Py_None) {
        const double seconds = f64(interval, "sync_interval");
        if (!(seconds >= 0) || !std::isfinite(seconds) || seconds > 1e9) {
            PyErr_SetString(PyExc_ValueError, "argument 'sync_interval': a number of seconds from 0 to 1e9");
            throw PyErrorRaised{};
        }
        policy.interval = std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(seconds * 1000)));
    }
    return policy;
}

PyObject* construct_trail(PyObject* args, PyObject* kwargs) {
    auto [path, key, every, interval, origin] =
        parse("AuditTrail", {"path", "key", "sync_every", "sync_interval", "checkpoint_origin"}, 2, args, kwargs);
    std::string file(text(path, "path"));
    if (!Py_IS_TYPE(key, type_of<PyTrailKey>())) raise_wrong_type(key, "key", "TrailKey");
    std::shared_ptr<const TrailKey> trail_key = reinterpret_cast<PyTrailKey*>(key)->value;
    SyncPolicy policy = sync_policy(every, interval);
    if (origin != nullptr && origin != Py_None) policy.checkpoint_origin = std::string(text(origin, "checkpoint_origin"));

    std::expected<std::unique_ptr<TrailWriter>, TrailError> writer;
    {
        WithoutInterpreterLock unlocked;
        writer = TrailWriter::open(std::move(file), std::move(trail_key), policy);
    }
    if (!writer) raise_error(writer.error());
    const OpenReport& report = (*writer)->open_report();
    if (report.repaired) {
        const std::string warning = "Audit trail " + (*writer)->path() + ": removed " +
                                    std::to_string(report.dropped_bytes) +
                                    " bytes of an append that was cut short; every whole entry was kept";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) < 0) throw PyErrorRaised{};
    }
    return wrap<PyAuditTrail>(std::move(*writer));
}

TrailWriter& writer_of(PyAuditTrail* self) { return *self->value; }

PyObject* append(PyAuditTrail* self, const FastArgs& args) {
    auto [action_arg, proof_arg, decision_arg] =
        parse("AuditTrail.append", {"action", "proof", "decision"}, 3, args);
    const Action action = action_value(action_arg, "action");
    const IntegrityProof proof = proof_value(proof_arg, "proof");
    Decision decision;
    WatchdogRecord record;
    if (Py_IS_TYPE(decision_arg, type_of<PyDecision>())) {
        decision = reinterpret_cast<PyDecision*>(decision_arg)->value;
    } else if (is_watchdog_result(decision_arg)) {
        record = watchdog_record(decision_arg);
        decision = decision_for(record);
    } else {
        raise_wrong_type(decision_arg, "decision", "Decision or WatchdogResult");
    }

    std::expected<AppendResult, TrailError> result;
    {
        WithoutInterpreterLock unlocked;
        result = writer_of(self).append(action, proof, decision, record);
    }
    if (!result) raise_error(result.error());
    Ref index = Ref::steal(to_int(result->index));
    Ref hash = Ref::steal(to_bytes(result->hash));
    return check(PyTuple_Pack(2, index.get(), hash.get()));
}

PyObject* sync(PyAuditTrail* self) {
    std::expected<void, TrailError> synced;
    {
        WithoutInterpreterLock unlocked;
        synced = writer_of(self).sync();
    }
    if (!synced) raise_error(synced.error());
    return to_none();
}

PyObject* close(PyAuditTrail* self) {
    std::expected<void, TrailError> closed;
    {
        WithoutInterpreterLock unlocked;
        closed = writer_of(self).close();
    }
    // Closing twice is harmless, as for Python's own files.
    if (!closed && closed.error().kind() != TrailError::Kind::Closed) raise_error(closed.error());
    return to_none();
}

PyObject* checkpoint(PyAuditTrail* self, const FastArgs& args) {
    auto [origin] = parse("AuditTrail.checkpoint", {"origin"}, 1, args);
    const std::string name(text(origin, "origin"));
    std::expected<std::string, TrailError> note;
    {
        WithoutInterpreterLock unlocked;
        note = writer_of(self).checkpoint(name);
    }
    if (!note) raise_error(note.error());
    return to_str(*note);
}

PyObject* enter(PyAuditTrail* self) { return Py_NewRef(reinterpret_cast<PyObject*>(self)); }

PyObject* exit(PyAuditTrail* self, const FastArgs&) { return close(self); }

PyObject* trail_count(PyAuditTrail* self) { return to_int(writer_of(self).count()); }
PyObject* trail_head_hash(PyAuditTrail* self) { return to_bytes(writer_of(self).head_hash()); }
PyObject* trail_path(PyAuditTrail* self) { return to_str(writer_of(self).path()); }
PyObject* trail_public_key(PyAuditTrail* self) {
    return wrap<PyTrailPublicKey>(TrailPublicKey(writer_of(self).public_key()));
}
PyObject* trail_repaired_bytes(PyAuditTrail* self) {
    const OpenReport& report = writer_of(self).open_report();
    return report.repaired ? to_int(report.dropped_bytes) : to_none();
}

PyObject* trail_repr(PyAuditTrail* self) {
    Ref path = Ref::steal(to_str(writer_of(self).path()));
    return check(PyUnicode_FromFormat("AuditTrail(%R, entries=%llu)", path.get(),
                                      static_cast<unsigned long long>(writer_of(self).count())));
}

PyMethodDef trail_methods[] = {
    method<&append>("append",
                    "append($self, action, proof, decision)\n--\n\nRecord one decision: the action, the proof issued "
                    "for it, and a Decision or a WatchdogResult. Returns (index, current_hash)."),
    method<&sync>("sync", "sync($self)\n--\n\nMake every appended entry durable; with a checkpoint origin, also write the "
                      "checkpoint beside the trail (the first sync after opening does even with nothing new)"),
    method<&checkpoint>("checkpoint",
                        "checkpoint($self, origin)\n--\n\nA signed checkpoint of the trail as it stands (synced "
                        "first), as signed-note text under the origin"),
    method<&close>("close", "close($self)\n--\n\nSync, release the file's lock and close it"),
    method<&enter>("__enter__", "__enter__($self)\n--\n\n"),
    method<&exit>("__exit__", "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the trail"),
    kEndMethods,
};

PyGetSetDef trail_properties[] = {
    property<&trail_count>("count", "The number of entries"),
    property<&trail_head_hash>("head_hash", "current_hash of the last entry (32 zero bytes when empty)"),
    property<&trail_path>("path", "The trail file's path"),
    property<&trail_public_key>("public_key", "The public key that verifies the trail"),
    property<&trail_repaired_bytes>("repaired_bytes",
                                    "Bytes of a cut-short append removed when the trail was opened, or None"),
    kEndProperties,
};

// ---------------------------------------------------------------- verify_trail, TrailSummary

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
    auto [path, key, progress, checkpoint_arg] =
        parse("verify_trail", {"path", "public_key", "progress", "checkpoint"}, 2, args);
    const bool against_checkpoint = checkpoint_arg != nullptr && checkpoint_arg != Py_None;
    const std::string note = against_checkpoint ? std::string(text(checkpoint_arg, "checkpoint")) : std::string();
    const std::string file(text(path, "path"));
    const TrailPublicKey public_key = public_key_argument(key, "public_key");
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
            summary = verify_trail_prefix(file, public_key.bytes(), note, hook);
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

PyObject* prove(const FastArgs& args) {
    auto [path, index] = parse("prove", {"path", "index"}, 2, args);
    const std::string file(text(path, "path"));
    const std::uint64_t entry = u64(index, "index");
    std::expected<std::string, TrailError> evidence;
    {
        WithoutInterpreterLock unlocked;
        evidence = prove_entry(file, entry);
    }
    if (!evidence) raise_error(evidence.error());
    return to_str(*evidence);
}

PyObject* check_evidence(const FastArgs& args) {
    auto [evidence, key] = parse("verify_evidence", {"evidence", "verifier_key"}, 2, args);
    const std::string_view document = text(evidence, "evidence");
    auto verifier = parse_verifier_key(text(key, "verifier_key"));
    if (!verifier) raise_error(verifier.error());
    auto summary = verify_evidence(document, *verifier);
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
    auto [old_checkpoint, path] = parse("prove_consistency", {"old_checkpoint", "path"}, 2, args);
    const std::string note(text(old_checkpoint, "old_checkpoint"));
    const std::string file(text(path, "path"));
    std::expected<std::string, TrailError> proof;
    {
        WithoutInterpreterLock unlocked;
        proof = prove_consistency(note, file);
    }
    if (!proof) raise_error(proof.error());
    return to_str(*proof);
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
                          "inclusion proof and the checkpoint kept beside the trail"),
    fast_function<&check_evidence>(
        "verify_evidence",
        "verify_evidence(evidence, verifier_key)\n--\n\nVerify an evidence document offline with the trail's "
        "verifier key text (white space around it ignored; the checkpoint's origin must be the key's name); "
        "returns its index, tree_size, origin and current_hash"),
    fast_function<&consistency>(
        "prove_consistency",
        "prove_consistency(old_checkpoint, path)\n--\n\nThe consistency proof (JSON text) that the trail extends "
        "an older checkpoint of it, checked before it is returned"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef verify_trail_function = {
    "verify_trail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_fast_entry<&verify>)),
    METH_FASTCALL | METH_KEYWORDS,
    "verify_trail(path, public_key, progress=None, checkpoint=None)\n--\n\nVerify a trail file with its public "
    "key: the layout, index continuity, the chain, every signature and no repeated proof nonce; with a checkpoint "
    "(signed-note text), also that the file holds exactly the tree it signs. Returns a TrailSummary; raises "
    "TrailIntegrityError or TrailError at the first failure. progress(done_bytes, total_bytes) is called now and "
    "then."};

const ClassSpec PyDecision::definition{
    .name = "Decision",
    .module = kPackage,
    .doc = "The decision recorded for an action: Decision.approved() or Decision.denied(reason)",
    .methods = decision_methods,
    .properties = decision_properties,
    .slots = {slot<Py_tp_repr, &decision_repr>(),
              slot<Py_tp_richcompare, &decision_equal>()},
};

const ClassSpec PyAuditTrail::definition{
    .name = "AuditTrail",
    .module = kPackage,
    .doc = "AuditTrail(path, key, sync_every=1, sync_interval=None, checkpoint_origin=None)\n--\n\nThe one writer of a signed, "
           "hash-chained audit trail file. An existing file is verified under the key first; by default "
           "every append is synced to disk before it returns. With a checkpoint origin, every sync also writes a "
           "signed checkpoint beside the trail.",
    .constructor = constructor<&construct_trail>(),
    .methods = trail_methods,
    .properties = trail_properties,
    .slots = {slot<Py_tp_repr, &trail_repr>()},
};

const ClassSpec PyTrailSummary::definition{
    .name = "TrailSummary",
    .module = kPackage,
    .doc = "What a verified trail holds: its entry count and head",
    .properties = summary_properties,
    .slots = {slot<Py_tp_repr, &summary_repr>()},
};

}  // namespace corvel::python::trail
