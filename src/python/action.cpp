#include "python/action.hpp"

#include <string>

#include "python/support/convert.hpp"
#include "python/support/extract.hpp"

namespace corvel::python {

namespace {

PyObject* make_action(ActionKind kind, std::string_view target, std::optional<Bytes> payload = std::nullopt) {
    return wrap<PyAction>(HashedAction{Action{kind, std::string(target), std::move(payload), std::nullopt}, std::nullopt});
}

PyObject* delete_file(const FastArgs& args) {
    auto [file_path] = parse("Action.delete_file", {"file_path"}, 1, args);
    return make_action(ActionKind::Delete, text(file_path, "file_path"));
}

PyObject* read_file(const FastArgs& args) {
    auto [file_path] = parse("Action.read_file", {"file_path"}, 1, args);
    return make_action(ActionKind::Read, text(file_path, "file_path"));
}

PyObject* write_file(const FastArgs& args) {
    auto [file_path, content] = parse("Action.write_file", {"file_path", "content"}, 2, args);
    const std::string_view path = text(file_path, "file_path");
    return make_action(ActionKind::Write, path, byte_sequence(content, "content"));
}

PyObject* execute_command(const FastArgs& args) {
    auto [command] = parse("Action.execute_command", {"command"}, 1, args);
    return make_action(ActionKind::Execute, text(command, "command"));
}

PyObject* action_hash(PyAction* self) { return to_hex_str(self->value.hash()); }

PyObject* repr(PyAction* self) {
    const Action& action = self->value.action;
    std::string text = "Action(type='";
    text += action.action_type.variant_name();
    text += "', target='";
    text += action.target;
    text += "')";
    return to_str(text);
}

Py_hash_t hash(PyAction* self) { return value_hash(self->value.hash()); }

bool equal(PyAction* self, PyAction* other) { return self->value.hash() == other->value.hash(); }

PyMethodDef methods[] = {
    static_method<&delete_file>("delete_file", "delete_file(file_path)\n--\n\nCreate a file deletion action"),
    static_method<&read_file>("read_file", "read_file(file_path)\n--\n\nCreate a file read action"),
    static_method<&write_file>("write_file", "write_file(file_path, content)\n--\n\nCreate a file write action"),
    static_method<&execute_command>("execute_command",
                                    "execute_command(command)\n--\n\nCreate a command execution action"),
    method<&action_hash>("action_hash", "action_hash($self)\n--\n\nGet the action hash"),
    kEndMethods,
};

}  // namespace

const ClassSpec PyAction::definition{
    .name = "Action",
    .doc = "Python wrapper for Action",
    .methods = methods,
    .slots = {slot<Py_tp_repr, &repr>(),
              slot<Py_tp_hash, &hash>(),
              slot<Py_tp_richcompare, &equal>()},
};

}  // namespace corvel::python
