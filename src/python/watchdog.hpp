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
    static const ClassSpec definition;
};

// The core counter can be neither copied nor moved: wrap<> builds it in place.
struct PyViolationCounter : Binding<ViolationCounter> {
    static const ClassSpec definition;
};

struct PyDenialProof : Binding<DenialProof> {
    static const ClassSpec definition;
};

struct PyHardResetSignal : Binding<HardResetSignal> {
    static const ClassSpec definition;
};

struct PyWatchdogResult : Binding<WatchdogVerdict> {
    static const ClassSpec definition;
};

}  // namespace corvel::python
