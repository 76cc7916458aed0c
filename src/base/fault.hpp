#pragma once
// A fault is a failure that no input can cause: memory exhaustion, a broken OS random source,
// a clock before 1970, a poisoned lock. The core throws it; the binding layer turns it into
// PanicException. Ordinary refusals are error values, never faults.

#include <stdexcept>
#include <string>

namespace corvel {

class Fault : public std::runtime_error {
public:
    explicit Fault(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace corvel
