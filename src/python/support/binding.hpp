#pragma once
// The binding toolkit: object layout, borrows, entry-point adapters and type creation.
//
// A class in four steps (see src/python/action.cpp for a complete one):
//
// 1. The binding struct: the object layout plus the class description.
//
//      struct PyAction : Binding<corvel::Action> {
//          static const ClassSpec definition;
//      };
//
//    Binding<Core> is PyObject_HEAD, a borrow flag and the core value (constructed in place,
//    destroyed by dealloc<Self>). A core value that needs a lock is held as Shared<Core>.
//    type_of<Self>() makes the type from Self::definition on first use and keeps it.
//
// 2. Bodies are plain functions that return a new reference (or null with an exception set)
//    and may throw PyErrorRaised (after setting an exception) or a fault (any C++ exception):
//
//      PyObject* action_hash(PyAction* self);                        // method, no arguments
//      PyObject* verify_action(PySealedCharter* self, const FastArgs& args);
//      PyObject* delete_file(const FastArgs& args);                  // static method
//      PyObject* approved(PyProof* self);                            // property getter
//
//    A body never takes the borrow of its own object: the adapter does, before the body runs.
//
// 3. Tables, with the adapters choosing flags from the body's signature, taking the borrow the
//    row names (shared unless it says Borrow::Exclusive) and wrapping each body in the fault
//    guard:
//
//      PyMethodDef methods[] = {
//          method<&action_hash>("action_hash", "action_hash($self)\n--\n\nGet the action hash"),
//          method<&seal, Borrow::Exclusive>("seal", "seal($self)\n--\n\n..."),
//          static_method<&delete_file>("delete_file", "delete_file(file_path)\n--\n\n..."),
//          kEndMethods};
//      PyGetSetDef properties[] = {property<&approved>("approved", "..."), kEndProperties};
//
//      const ClassSpec PyAction::definition{
//          .name = "Action", .doc = "Python wrapper for Action",
//          .methods = methods, .slots = {slot<Py_tp_repr, &repr>()}};
//
//    No .constructor means calling the class raises "No constructor defined for {name}".
//    A constructor is constructor<&body>() with body(PyObject* args, PyObject* kwargs)
//    returning wrap<Self>(core_value).
//
// 4. Register the class in module.cpp's class table.
//
// Borrows: a method that only reads takes a shared borrow, one that changes the object (or is
// marked exclusive) an exclusive one, before taking any lock. Another object handed in as an
// argument is borrowed by the body:
//
//      SharedBorrow action_borrow(action.borrow);   // throws after raising RuntimeError if in use

#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "python/support/args.hpp"
#include "python/support/guard.hpp"

namespace corvel::python {

// ---------------------------------------------------------------- borrows

// 0: free; n > 0: n shared borrows; -1: one exclusive borrow. Only touched with the interpreter
// lock held, so a plain integer suffices.
class BorrowFlag {
public:
    bool free() const { return state_ == 0; }

private:
    friend class SharedBorrow;
    friend class ExclusiveBorrow;
    std::intptr_t state_ = 0;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_.state_ < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            throw PyErrorRaised{};
        }
        ++flag_.state_;
    }
    ~SharedBorrow() { --flag_.state_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_.state_ != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw PyErrorRaised{};
        }
        flag_.state_ = -1;
    }
    ~ExclusiveBorrow() { flag_.state_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

// ---------------------------------------------------------------- layout

template <class CoreT>
struct Binding {
    using Core = CoreT;
    PyObject_HEAD
    BorrowFlag borrow;
    Core value;
};

template <class Self>
PyTypeObject* type_of();

// A new object of class Self whose core value is built in place from `args`. The value is
// moved in (or built by a constructor that cannot throw), so a failed construction never leaves
// a half-made object behind.
template <class Self, class... Args>
PyObject* wrap(Args&&... args) {
    using Core = typename Self::Core;
    static_assert(std::is_nothrow_constructible_v<Core, Args&&...>);
    PyTypeObject* type = type_of<Self>();
    if (type == nullptr) throw PyErrorRaised{};
    void* memory = PyObject_Malloc(sizeof(Self));
    if (memory == nullptr) {
        PyErr_NoMemory();
        throw PyErrorRaised{};
    }
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);  // takes a type reference
    auto* self = reinterpret_cast<Self*>(object);
    new (&self->borrow) BorrowFlag();
    new (&self->value) Core(std::forward<Args>(args)...);
    return object;
}

template <class Self>
void dealloc(PyObject* object) {
    using Core = typename Self::Core;
    PyTypeObject* type = Py_TYPE(object);
    reinterpret_cast<Self*>(object)->value.~Core();
    PyObject_Free(object);
    Py_DECREF(type);
}

// ---------------------------------------------------------------- entry-point adapters

namespace detail {
template <class F>
struct BodyTraits;
template <class R, class S>
struct BodyTraits<R (*)(S*)> {
    using Self = S;
    static constexpr bool fast = false;
};
template <class R, class S>
struct BodyTraits<R (*)(S*, const FastArgs&)> {
    using Self = S;
    static constexpr bool fast = true;
};
template <class R, class S>
struct BodyTraits<R (*)(S*, S*)> {
    using Self = S;
    static constexpr bool fast = false;
};
template <auto Body>
using SelfOf = typename BodyTraits<decltype(Body)>::Self;
}  // namespace detail

// Which borrow of its own object a method's adapter takes around the body.
enum class Borrow { Shared, Exclusive };

template <Borrow Kind, class Self, class F>
decltype(auto) borrowed(Self* self, F&& body) {
    if constexpr (Kind == Borrow::Exclusive) {
        ExclusiveBorrow hold(self->borrow);
        return body();
    } else {
        SharedBorrow hold(self->borrow);
        return body();
    }
}

template <auto Body, Borrow Kind>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    auto* object = reinterpret_cast<detail::SelfOf<Body>*>(self);
    return guard<PyObject*>(nullptr, [&] { return borrowed<Kind>(object, [&] { return Body(object); }); });
}

template <auto Body, Borrow Kind>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    auto* object = reinterpret_cast<detail::SelfOf<Body>*>(self);
    return guard<PyObject*>(nullptr, [&] {
        return borrowed<Kind>(object, [&] { return Body(object, FastArgs{args, nargs, kwnames}); });
    });
}

template <auto Body>
PyObject* static_noargs_entry(PyObject*, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Body(); });
}

template <auto Body>
PyObject* static_fast_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Body(FastArgs{args, nargs, kwnames}); });
}

// A method: body(Self*) takes no arguments, body(Self*, const FastArgs&) parses its own.
template <auto Body, Borrow Kind = Borrow::Shared>
constexpr PyMethodDef method(const char* name, const char* doc) {
    if constexpr (detail::BodyTraits<decltype(Body)>::fast) {
        return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_entry<Body, Kind>)),
                METH_FASTCALL | METH_KEYWORDS, doc};
    } else {
        return {name, &noargs_entry<Body, Kind>, METH_NOARGS, doc};
    }
}

// A static method: body() or body(const FastArgs&); callable on the class or an instance.
template <auto Body>
constexpr PyMethodDef static_method(const char* name, const char* doc) {
    if constexpr (std::is_invocable_v<decltype(Body), const FastArgs&>) {
        return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_fast_entry<Body>)),
                METH_STATIC | METH_FASTCALL | METH_KEYWORDS, doc};
    } else {
        return {name, &static_noargs_entry<Body>, METH_STATIC | METH_NOARGS, doc};
    }
}

// A module-level function with arguments: body(const FastArgs&).
template <auto Body>
constexpr PyMethodDef module_fast_function(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_fast_entry<Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// A module-level function without arguments: body().
template <auto Body>
constexpr PyMethodDef module_function(const char* name, const char* doc) {
    return {name, &static_noargs_entry<Body>, METH_NOARGS, doc};
}

inline constexpr PyMethodDef kEndMethods = {nullptr, nullptr, 0, nullptr};

// Property getters, tp_repr and tp_str: body(Self*) under a shared borrow.
template <auto Body>
PyObject* unary_entry(PyObject* self) noexcept {
    auto* object = reinterpret_cast<detail::SelfOf<Body>*>(self);
    return guard<PyObject*>(nullptr, [&] { return borrowed<Borrow::Shared>(object, [&] { return Body(object); }); });
}

template <auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return unary_entry<Body>(self);
}

// A read-only property: body(Self*). Assigning to it raises AttributeError.
template <auto Body>
constexpr PyGetSetDef property(const char* name, const char* doc) {
    return {name, &getter_entry<Body>, nullptr, doc, nullptr};
}

inline constexpr PyGetSetDef kEndProperties = {nullptr, nullptr, nullptr, nullptr, nullptr};

// tp_hash: body(Self*) returns the hash (never -1).
template <auto Body>
Py_hash_t hash_entry(PyObject* self) noexcept {
    auto* object = reinterpret_cast<detail::SelfOf<Body>*>(self);
    return guard<Py_hash_t>(-1, [&] { return borrowed<Borrow::Shared>(object, [&] { return Body(object); }); });
}

// tp_richcompare for value classes: body(Self*, Self*) says whether two objects are equal,
// under shared borrows of both. == with another class gives NotImplemented (the interpreter
// then falls back to identity); != asks the interpreter for == and negates it; ordering gives
// NotImplemented (TypeError).
template <auto Equal>
PyObject* equality_entry(PyObject* self, PyObject* other, int op) noexcept {
    using Self = detail::SelfOf<Equal>;
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (op == Py_NE) {
            PyObject* equal = check(PyObject_RichCompare(self, other, Py_EQ));
            const int truth = PyObject_IsTrue(equal);
            Py_DECREF(equal);
            check_status(truth);
            return Py_NewRef(truth ? Py_False : Py_True);
        }
        if (op != Py_EQ || !Py_IS_TYPE(other, Py_TYPE(self))) return Py_NewRef(Py_NotImplemented);
        auto* mine = reinterpret_cast<Self*>(self);
        auto* theirs = reinterpret_cast<Self*>(other);
        SharedBorrow hold_mine(mine->borrow);
        SharedBorrow hold_theirs(theirs->borrow);
        return Py_NewRef(Equal(mine, theirs) ? Py_True : Py_False);
    });
}

// A type slot from its body: Py_tp_repr and Py_tp_str take body(Self*) returning a str,
// Py_tp_hash body(Self*) returning the hash, Py_tp_richcompare body(Self*, Self*) returning
// equality.
template <int Slot, auto Body>
PyType_Slot slot() {
    if constexpr (Slot == Py_tp_repr || Slot == Py_tp_str) {
        return {Slot, reinterpret_cast<void*>(&unary_entry<Body>)};
    } else if constexpr (Slot == Py_tp_hash) {
        return {Slot, reinterpret_cast<void*>(&hash_entry<Body>)};
    } else {
        static_assert(Slot == Py_tp_richcompare, "no adapter for this slot");
        return {Slot, reinterpret_cast<void*>(&equality_entry<Body>)};
    }
}

// tp_new: body(PyObject* args, PyObject* kwargs) returns wrap<Self>(...).
template <auto Body>
PyObject* constructor_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Body(args, kwargs); });
}

template <auto Body>
constexpr newfunc constructor() {
    return &constructor_entry<Body>;
}

// ---------------------------------------------------------------- types

// The module every class belongs to (its __module__).
inline constexpr const char* kModuleName = "_corvel_core";

struct ClassSpec {
    const char* name = nullptr;  // the bare class name, also the type's tp_name
    const char* module = kModuleName;  // the class's __module__
    const char* doc = nullptr;   // "Name(sig)\n--\n\nDoc" gives __text_signature__; or just "Doc"
    newfunc constructor = nullptr;  // null: "No constructor defined for {name}"
    PyMethodDef* methods = nullptr;  // static storage, ends with kEndMethods
    PyGetSetDef* properties = nullptr;
    std::array<PyType_Slot, 4> slots = {};  // unused entries stay {0, nullptr}
};

// A heap type with `object` as its only base: not subclassable, no instance dict, no weak
// references, and immutable (class attributes cannot be replaced from Python). Returns null
// with an exception set on failure.
PyTypeObject* create_type(const ClassSpec& cls, int basicsize, destructor dealloc);

// The type of binding struct Self, made from Self::definition on first use and kept for the
// life of the process; null with an exception set if it cannot be made (a later call tries again).
template <class Self>
PyTypeObject* type_of() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_type(Self::definition, sizeof(Self), &dealloc<Self>);
    return type;
}

}  // namespace corvel::python
