#include "gate/gate_error.hpp"

namespace corvel {

std::string GateError::message() const {
    switch (kind_) {
        case Kind::Arguments:
            return "Tool arguments are not canonical JSON: " + detail_;
        case Kind::UnknownDecision:
            return "No allowed call awaits an outcome at trail index " + detail_;
        case Kind::Trail:
            return "The audit trail could not record the gate's entry: " + detail_;
        case Kind::Charter:
            return "The gate's policy charter could not be made: " + detail_;
    }
    return {};
}

}  // namespace corvel
