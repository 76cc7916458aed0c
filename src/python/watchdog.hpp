#pragma once
// Python classes of the watchdog family: Watchdog, ViolationCounter, DenialProof,
// HardResetSignal and WatchdogResult. Each holds its core value by value; the records are
// immutable snapshots, and every property that hands out a record hands out a fresh copy.

#include <Python.h>

#include "python/support/binding.hpp"
#include "watchdog/denial_proof.hpp"
#include "watchdog/violation_counter.hpp"
#include "watchdog/watchdog.hpp"
#include "watchdog/watchdog_verdict.hpp"

namespace corvel::python {

struct PyWatchdog : Binding<Watchdog> {
    static PyTypeObject* type();
};

// The core counter can be neither copied nor moved: it is built in place in a new object.
struct PyViolationCounter : Binding<ViolationCounter> {
    static PyTypeObject* type();
};

struct PyDenialProof : Binding<DenialProof> {
    static PyTypeObject* type();
};

struct PyHardResetSignal : Binding<HardResetSignal> {
    static PyTypeObject* type();
};

struct PyWatchdogResult : Binding<WatchdogVerdict> {
    static PyTypeObject* type();
};

}  // namespace corvel::python
