// AuditTrail: the one writer of a trail file.
#include "python/trail/trail.hpp"

#include <cmath>
#include <string>

#include "python/support/convert.hpp"
#include "python/support/extract.hpp"
#include "python/support/ref.hpp"
#include "python/trail/core_values.hpp"
#include "python/trail/keys.hpp"
#include "python/trail/trail_errors.hpp"
#include "python/trail/without_interpreter_lock.hpp"

namespace corvel::python::trail {

namespace {

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

// None follows a checkpoint found beside the trail, False leaves it alone, a str names the origin.
void checkpoint_policy(PyObject* origin, SyncPolicy& policy) {
    if (origin == nullptr || origin == Py_None) return;
    if (origin == Py_False) {
        policy.follow_checkpoint = false;
        return;
    }
    if (!PyUnicode_Check(origin)) raise_wrong_type(origin, "checkpoint_origin", "str, None or False");
    policy.checkpoint_origin = std::string(text(origin, "checkpoint_origin"));
}

void warn(const std::string& text) {
    // A path in the text need not be UTF-8.
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 == nullptr || PyErr_WarnEx(PyExc_RuntimeWarning, utf8, 1) < 0) throw PyErrorRaised{};
}

PyObject* construct_trail(PyObject* args, PyObject* kwargs) {
    auto [path, key, every, interval, origin] =
        parse("AuditTrail", {"path", "key", "sync_every", "sync_interval", "checkpoint_origin"}, 2, args, kwargs);
    std::string file = file_path(path, "path");
    if (!Py_IS_TYPE(key, type_of<PyTrailKey>())) raise_wrong_type(key, "key", "TrailKey");
    std::shared_ptr<const TrailKey> trail_key = reinterpret_cast<PyTrailKey*>(key)->value;
    SyncPolicy policy = sync_policy(every, interval);
    checkpoint_policy(origin, policy);

    std::expected<std::unique_ptr<TrailWriter>, TrailError> writer;
    bool interrupted = false;
    {
        WithoutInterpreterLock unlocked;
        // Reading a large trail takes a while: Ctrl-C stops it, with the file unchanged.
        const TrailProgress signals = [&](std::uint64_t, std::uint64_t) {
            return !(interrupted = unlocked.with_lock([] { return PyErr_CheckSignals() < 0; }));
        };
        writer = TrailWriter::open(std::move(file), std::move(trail_key), policy, system_unix_seconds, signals);
    }
    if (interrupted) throw PyErrorRaised{};
    if (!writer) raise_error(writer.error());
    const OpenReport& report = (*writer)->open_report();
    if (report.repaired) warn(report.repair_warning((*writer)->path()));
    if (!report.checkpoint_ignored.empty()) warn(report.checkpoint_warning((*writer)->path()));
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

// An awaitable append for asyncio: the append (and its sync) runs in the event loop's default
// executor without the interpreter lock, so the loop goes on serving other tasks meanwhile.
PyObject* append_async(PyAuditTrail* self, const FastArgs& args) {
    auto [action_arg, proof_arg, decision_arg] =
        parse("AuditTrail.append_async", {"action", "proof", "decision"}, 3, args);
    Ref asyncio = Ref::steal(check(PyImport_ImportModule("asyncio")));
    Ref loop = Ref::steal(check(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr)));
    Ref bound = Ref::steal(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(self), "append")));
    return check(PyObject_CallMethod(loop.get(), "run_in_executor", "OOOOO", Py_None, bound.get(), action_arg,
                                     proof_arg, decision_arg));
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
PyObject* trail_path(PyAuditTrail* self) { return path_str(writer_of(self).path()); }
PyObject* trail_checkpoint_origin(PyAuditTrail* self) {
    const std::string& origin = writer_of(self).checkpoint_origin();
    return origin.empty() ? to_none() : to_str(origin);
}
PyObject* trail_public_key(PyAuditTrail* self) {
    return wrap<PyTrailPublicKey>(TrailPublicKey(writer_of(self).public_key()));
}
PyObject* trail_repaired_bytes(PyAuditTrail* self) {
    const OpenReport& report = writer_of(self).open_report();
    return report.repaired ? to_int(report.dropped_bytes) : to_none();
}

PyObject* trail_repr(PyAuditTrail* self) {
    Ref path = Ref::steal(path_str(writer_of(self).path()));
    return check(PyUnicode_FromFormat("AuditTrail(%R, entries=%llu)", path.get(),
                                      static_cast<unsigned long long>(writer_of(self).count())));
}

PyMethodDef trail_methods[] = {
    method<&append>("append",
                    "append($self, action, proof, decision)\n--\n\nRecord one decision: the action, the proof issued "
                    "for it, and a Decision or a WatchdogResult. Returns (index, current_hash)."),
    method<&append_async>("append_async",
                          "append_async($self, action, proof, decision)\n--\n\nAn awaitable append for asyncio: the "
                          "append and its sync run in the event loop's default executor, never blocking the loop. "
                          "Awaiting it returns (index, current_hash), once the entry is as durable as append makes "
                          "it; concurrent ones share their syncs."),
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
    property<&trail_checkpoint_origin>("checkpoint_origin",
                                       "The origin of the checkpoint kept current beside the trail, or None"),
    property<&trail_public_key>("public_key", "The public key that verifies the trail"),
    property<&trail_repaired_bytes>("repaired_bytes",
                                    "Bytes removed when opening repaired an append cut short (0 when it only finished the "
                                    "closing line), or None"),
    kEndProperties,
};

}  // namespace

const ClassSpec PyAuditTrail::definition{
    .name = "AuditTrail",
    .module = kPackage,
    .doc = "AuditTrail(path, key, sync_every=1, sync_interval=None, checkpoint_origin=None)\n--\n\nThe one writer of a signed, "
           "hash-chained audit trail file. An existing file is verified under the key first; by default "
           "every append is synced to disk before it returns. With a checkpoint origin, every sync also writes a "
           "signed checkpoint beside the trail. Without one, a checkpoint already beside the trail is kept current "
           "under its own origin; checkpoint_origin=False leaves it alone.",
    .constructor = constructor<&construct_trail>(),
    .methods = trail_methods,
    .properties = trail_properties,
    .slots = {slot<Py_tp_repr, &trail_repr>()},
};

}  // namespace corvel::python::trail
