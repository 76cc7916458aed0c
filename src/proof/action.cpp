#include "proof/action.hpp"

#include <new>

#include "base/byte_writer.hpp"
#include "base/fault.hpp"
#include "crypto/sha256.hpp"

namespace corvel {

std::string_view ActionType::variant_name() const {
    switch (kind_) {
        case ActionKind::Delete: return "Delete";
        case ActionKind::Write: return "Write";
        case ActionKind::Read: return "Read";
        case ActionKind::Execute: return "Execute";
        case ActionKind::Network: return "Network";
        case ActionKind::Custom: return "Custom";
    }
    return "Custom";
}

namespace {
constexpr std::size_t kTagSize = 4;
constexpr std::size_t kLengthSize = 8;
constexpr std::size_t kPresenceSize = 1;

template <typename Optional>
std::size_t optional_size(const Optional& field) {
    return field ? kPresenceSize + kLengthSize + field->size() : kPresenceSize;
}

template <typename Optional>
void write_optional(ByteWriter& out, const Optional& field) {
    if (!field) {
        out.u8(0x00);
        return;
    }
    out.u8(0x01);
    out.u64(field->size());
    out.raw(ByteView(reinterpret_cast<const std::uint8_t*>(field->data()), field->size()));
}
}  // namespace

std::size_t Action::encoded_size() const {
    std::size_t size = kTagSize;
    if (action_type.kind() == ActionKind::Custom) size += kLengthSize + action_type.custom_name().size();
    size += kLengthSize + target.size();
    return size + optional_size(payload) + optional_size(metadata);
}

Bytes Action::canonical_encoding() const {
    Bytes buffer(encoded_size());
    ByteWriter out(buffer);
    out.u32(static_cast<std::uint32_t>(action_type.kind()));
    if (action_type.kind() == ActionKind::Custom) {
        out.u64(action_type.custom_name().size());
        out.raw(action_type.custom_name());
    }
    out.u64(target.size());
    out.raw(target);
    write_optional(out, payload);
    write_optional(out, metadata);
    out.finish();
    return buffer;
}

Hash32 Action::hash() const {
    try {
        return hash_bytes(canonical_encoding());
    } catch (const std::bad_alloc&) {
        throw Fault("Action serialization failed - this indicates extreme memory exhaustion (OOM)");
    }
}

}  // namespace corvel
