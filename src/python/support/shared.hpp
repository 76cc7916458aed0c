#pragma once
// Shared<T>: a reference-counted handle to a core object behind a mutex, for the classes whose
// core object must be safe to share between threads (charter, auditor, audit logger).
//
//   bool sealed = self->value.with([](corvel::SealedCharter& c) { return c.is_sealed(); });
//
// A fault (any C++ exception other than PyErrorRaised) that escapes while the lock is held
// marks the lock poisoned: the core object may be half-changed, so every later `with` raises
// a fault (PanicException in Python) instead of touching it. The mark is never cleared.

#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"
#include "python/support/guard.hpp"

namespace corvel::python {

template <class T>
class Shared {
public:
    explicit Shared(T value) : cell_(std::make_shared<Cell>(std::move(value))) {}

    template <class F>
    decltype(auto) with(F&& f) const {
        std::lock_guard lock(cell_->mutex);
        if (cell_->poisoned) throw Fault("lock poisoned by an earlier panic; this object can no longer be used");
        try {
            return std::forward<F>(f)(cell_->value);
        } catch (const PyErrorRaised&) {
            throw;
        } catch (...) {
            cell_->poisoned = true;
            throw;
        }
    }

    bool poisoned() const {
        std::lock_guard lock(cell_->mutex);
        return cell_->poisoned;
    }

private:
    struct Cell {
        explicit Cell(T v) : value(std::move(v)) {}
        std::mutex mutex;
        bool poisoned = false;
        T value;
    };
    std::shared_ptr<Cell> cell_;
};

}  // namespace corvel::python
