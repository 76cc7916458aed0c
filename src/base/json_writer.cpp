#include "base/json_writer.hpp"

#include <charconv>

#include "base/fault.hpp"
#include "base/hex.hpp"

namespace corvel {

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out.push_back(kHexDigits[byte >> 4]);
                    out.push_back(kHexDigits[byte & 0x0f]);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

JsonWriter& JsonWriter::open(char bracket) {
    separate();
    out_.push_back(bracket);
    ++depth_;
    after_value_ = false;
    return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
    if (depth_ == 0) throw Fault("JSON writer closes more than it opened");
    out_.push_back(bracket);
    --depth_;
    after_value_ = true;
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    append_json_string(out_, name);
    out_.push_back(':');
    after_value_ = false;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
    separate();
    append_json_string(out_, text);
    after_value_ = true;
    return *this;
}

JsonWriter& JsonWriter::hex(ByteView bytes) {
    separate();
    out_.push_back('"');
    append_hex(out_, bytes);
    out_.push_back('"');
    after_value_ = true;
    return *this;
}

template <typename Integer>
JsonWriter& JsonWriter::integer(Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    separate();
    out_.append(digits, end);
    after_value_ = true;
    return *this;
}

JsonWriter& JsonWriter::u64(std::uint64_t value) { return integer(value); }

JsonWriter& JsonWriter::i64(std::int64_t value) { return integer(value); }

JsonWriter& JsonWriter::boolean(bool value) { return raw(value ? "true" : "false"); }

JsonWriter& JsonWriter::null() { return raw("null"); }

JsonWriter& JsonWriter::raw(std::string_view json) {
    separate();
    out_.append(json);
    after_value_ = true;
    return *this;
}

}  // namespace corvel
