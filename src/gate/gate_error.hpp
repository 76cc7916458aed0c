#pragma once
// What the gate refuses outside a decision: arguments with no canonical JSON form, an outcome
// for a call it never allowed, a charter or trail that cannot serve it. A decision itself never
// fails: whatever stands in the way of an allow is a denial.

#include <cstdint>
#include <string>

namespace corvel {

class GateError {
public:
    enum class Kind : std::uint8_t {
        Arguments,        // the arguments are not JSON that has a canonical form
        UnknownDecision,  // an outcome for an index that is no open allow of this gate
        Trail,            // the trail refused the entry, with its text
        Charter,          // the policy's charter could not be made, with its text
    };

    static GateError arguments(std::string detail) { return {Kind::Arguments, std::move(detail)}; }
    static GateError unknown_decision(std::uint64_t index) { return {Kind::UnknownDecision, std::to_string(index)}; }
    static GateError trail(std::string text) { return {Kind::Trail, std::move(text)}; }
    static GateError charter(std::string text) { return {Kind::Charter, std::move(text)}; }

    Kind kind() const { return kind_; }
    std::string message() const;

private:
    GateError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind_;
    std::string detail_;
};

}  // namespace corvel
