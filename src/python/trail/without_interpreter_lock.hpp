#pragma once
// The interpreter lock released around file work and signing, so other Python threads run.

#include <Python.h>

namespace corvel::python::trail {

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

}  // namespace corvel::python::trail
