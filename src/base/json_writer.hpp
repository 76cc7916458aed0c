#pragma once
// Compact JSON text (no white space outside strings) appended to a caller's buffer. The writer
// keeps no state beyond one flag and a depth, and allocates nothing but the buffer's growth, so
// one buffer can be reused for one object per line:
//
//     out.clear();
//     JsonWriter json(out);
//     json.begin_object().key("seq").u64(7).key("ok").boolean(true).end_object();
//
// It places the commas and colons; the caller keeps the nesting sound (a key only inside an
// object, each followed by one value). Closing more than was opened is a fault.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.hpp"

namespace corvel {

// A JSON string: a quotation mark, a backslash and control characters escaped (the short forms
// \b \t \n \f \r where they exist, else \u00XX), everything else (solidus, DEL, non-ASCII)
// written as its bytes. The text is taken as UTF-8 and not checked.
void append_json_string(std::string& out, std::string_view text);

class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    JsonWriter& begin_object() { return open('{'); }
    JsonWriter& end_object() { return close('}'); }
    JsonWriter& begin_array() { return open('['); }
    JsonWriter& end_array() { return close(']'); }

    // A member name inside an object; the next call writes its value.
    JsonWriter& key(std::string_view name);

    JsonWriter& string(std::string_view text);
    // Bytes as a string of lower-case hexadecimal digits.
    JsonWriter& hex(ByteView bytes);
    JsonWriter& u64(std::uint64_t value);
    JsonWriter& i64(std::int64_t value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    // A value rendered elsewhere, copied as it is (it must be one complete JSON value).
    JsonWriter& raw(std::string_view json);

    // How many objects and arrays are open; 0 once the value is complete.
    std::size_t depth() const noexcept { return depth_; }

private:
    void separate() {
        if (after_value_) out_.push_back(',');
    }
    JsonWriter& open(char bracket);
    JsonWriter& close(char bracket);
    template <typename Integer>
    JsonWriter& integer(Integer value);

    std::string& out_;
    std::size_t depth_ = 0;
    // A value was just completed at the current level, so the next one needs a comma.
    bool after_value_ = false;
};

}  // namespace corvel
