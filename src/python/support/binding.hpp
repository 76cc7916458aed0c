#pragma once
// The binding toolkit: object layout, borrows, entry-point adapters and type creation.
//
// A class in five steps (see src/python/action.cpp for a complete one):
//
// 1. The binding struct: the object layout plus the type getter.
//
//      struct PyAction : Binding<corvel::Action> {
//          static PyTypeObject* type();     // created on first use, kept for the process
//      };
//
//    Binding<Core> is PyObject_HEAD, a borrow flag and the core value (constructed in place,
//    destroyed by dealloc<Self>). A core value that needs a lock is held as Shared<Core>.
//
// 2. Bodies are plain functions that return a new reference (or null with an exception set)
//    and may throw PyErrorRaised (after setting an exception) or a fault (any C++ exception):
//
//      PyObject* action_hash(PyAction* self);                        // method, no arguments
//      PyObject* verify_action(PySealedCharter* self, const FastArgs& args);
//      PyObject* delete_file(const FastArgs& args);                  // static method
//      PyObject* approved(PyProof* self);                            // property getter
//
// 3. Tables, with the adapters choosing flags from the body's signature and wrapping each body
//    in the fault guard:
//
//      PyMethodDef methods[] = {
//          method<&action_hash>("action_hash", "action_hash($self)\n--\n\nGet the action hash"),
//          static_method<&delete_file>("delete_file", "delete_file(file_path)\n--\n\n..."),
//          kEndMethods};
//      PyGetSetDef properties[] = {property<&approved>("approved", "..."), kEndProperties};
//
// 4. The type, in the getter:
//
//      PyTypeObject* PyAction::type() {
//          static PyTypeObject* type = nullptr;
//          if (type == nullptr) type = create_type(ClassSpec{
//              .name = "Action", .doc = "Python wrapper for Action",
//              .basicsize = sizeof(PyAction), .dealloc = &dealloc<PyAction>,
//              .methods = methods, .slots = {{Py_tp_repr, (void*)&unary_slot<&repr>}}});
//          return type;
//      }
//
//    No .constructor means calling the class raises "No constructor defined for {name}".
//    A constructor is constructor_slot<&body> with body(PyObject* args, PyObject* kwargs)
//    returning wrap<Self>(core_value).
//
// 5. Register the getter in module.cpp's class table.
//
// Borrows: a method that only reads takes SharedBorrow, one that changes the object (or is
// marked exclusive) ExclusiveBorrow, before taking any lock:
//
//      ExclusiveBorrow borrow(self->borrow);   // throws after raising RuntimeError if in use

#include <Python.h>

#include <cstdint>
#include <initializer_list>
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

// A new object of class Self holding `value` (moved in). The value is built before the object
// is allocated, so a failed construction never leaves a half-made object behind.
template <class Self>
PyObject* wrap(typename Self::Core&& value) {
    using Core = typename Self::Core;
    static_assert(std::is_nothrow_move_constructible_v<Core>);
    PyTypeObject* type = Self::type();
    if (type == nullptr) throw PyErrorRaised{};
    void* memory = PyObject_Malloc(sizeof(Self));
    if (memory == nullptr) {
        PyErr_NoMemory();
        throw PyErrorRaised{};
    }
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);  // takes a type reference
    auto* self = reinterpret_cast<Self*>(object);
    new (&self->borrow) BorrowFlag();
    new (&self->value) Core(std::move(value));
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

template <auto Body>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Body(reinterpret_cast<detail::SelfOf<Body>*>(self)); });
}

template <auto Body>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        return Body(reinterpret_cast<detail::SelfOf<Body>*>(self), FastArgs{args, nargs, kwnames});
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
template <auto Body>
constexpr PyMethodDef method(const char* name, const char* doc) {
    if constexpr (detail::BodyTraits<decltype(Body)>::fast) {
        return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_entry<Body>)),
                METH_FASTCALL | METH_KEYWORDS, doc};
    } else {
        return {name, &noargs_entry<Body>, METH_NOARGS, doc};
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

// A module-level function without arguments: body().
template <auto Body>
constexpr PyMethodDef module_function(const char* name, const char* doc) {
    return {name, &static_noargs_entry<Body>, METH_NOARGS, doc};
}

inline constexpr PyMethodDef kEndMethods = {nullptr, nullptr, 0, nullptr};

template <auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Body(reinterpret_cast<detail::SelfOf<Body>*>(self)); });
}

// A read-only property: body(Self*). Assigning to it raises AttributeError.
template <auto Body>
constexpr PyGetSetDef property(const char* name, const char* doc) {
    return {name, &getter_entry<Body>, nullptr, doc, nullptr};
}

inline constexpr PyGetSetDef kEndProperties = {nullptr, nullptr, nullptr, nullptr, nullptr};

// tp_repr, tp_str: body(Self*).
template <auto Body>
PyObject* unary_slot(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Body(reinterpret_cast<detail::SelfOf<Body>*>(self)); });
}

// tp_hash: body(Self*) returns the hash (never -1).
template <auto Body>
Py_hash_t hash_slot(PyObject* self) noexcept {
    return guard<Py_hash_t>(-1, [&] { return Body(reinterpret_cast<detail::SelfOf<Body>*>(self)); });
}

// tp_richcompare for value classes: body(Self*, Self*) says whether two objects are equal.
// == with another class gives NotImplemented (the interpreter then falls back to identity);
// != asks the interpreter for == and negates it; ordering gives NotImplemented (TypeError).
template <auto Equal>
PyObject* equality_slot(PyObject* self, PyObject* other, int op) noexcept {
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
        const bool equal = Equal(reinterpret_cast<Self*>(self), reinterpret_cast<Self*>(other));
        return Py_NewRef(equal ? Py_True : Py_False);
    });
}

// tp_new: body(PyObject* args, PyObject* kwargs) returns wrap<Self>(...).
template <auto Body>
PyObject* constructor_slot(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&] { return Body(args, kwargs); });
}

// ---------------------------------------------------------------- types

// The module every class belongs to (its __module__).
inline constexpr const char* kModuleName = "_corvel_core";

struct ClassSpec {
    const char* name = nullptr;  // the bare class name, also the type's tp_name
    const char* module = kModuleName;  // the class's __module__
    const char* doc = nullptr;   // "Name(sig)\n--\n\nDoc" gives __text_signature__; or just "Doc"
    int basicsize = 0;           // sizeof(Self)
    destructor dealloc = nullptr;
    newfunc constructor = nullptr;  // null: "No constructor defined for {name}"
    PyMethodDef* methods = nullptr;  // static storage, ends with kEndMethods
    PyGetSetDef* properties = nullptr;
    std::initializer_list<PyType_Slot> slots = {};
};

// A heap type with `object` as its only base: not subclassable, no instance dict, no weak
// references, and immutable (class attributes cannot be replaced from Python). Returns null
// with an exception set on failure.
PyTypeObject* create_type(const ClassSpec& cls);

}  // namespace corvel::python
