#pragma once
// A streaming check of one JSON value's syntax, byte by byte: structure, strings (escapes,
// surrogate pairs, UTF-8, control characters), numbers and literals. The splitter runs it on
// an entry that has grown large, so that junk is refused where it starts instead of being
// buffered until the entry ends.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvel::audit_json {

class JsonSyntaxCheck {
public:
    // Takes in the next bytes of the value. On a fault returns false; error() says what and
    // error_offset() how many of these bytes came before the faulty one.
    bool feed(const unsigned char* data, std::size_t size);
    // The value is over: true if it is complete.
    bool finish();

    const std::string& error() const { return error_; }
    std::size_t error_offset() const { return error_offset_; }

    // Deepest nesting accepted; the entry reader's own limit is lower.
    static constexpr std::size_t kMaxDepth = 1024;

private:
    enum class State : std::uint8_t {
        Value,        // a value must start here
        ValueOrClose, // just after '[': a value or ']'
        KeyOrClose,   // just after '{': a key or '}'
        Key,          // after ',' in an object
        Colon,
        AfterValue,   // ',' or the closing bracket, or the end
        String,
        Escape,
        Unicode,      // inside the four hex digits of \u
        Utf8,         // inside a multi-byte UTF-8 sequence
        Literal,
        Minus,        // after '-'
        Zero,         // a leading 0
        Integer,
        Dot,
        Fraction,
        Exponent,     // after 'e'
        ExponentSign,
        ExponentDigits,
        Done,
        Failed,
    };

    bool step(unsigned char c);
    bool value_start(unsigned char c);
    bool string_byte(unsigned char c);
    bool end_value();
    bool fail(const char* what);

    State state_ = State::Value;
    std::vector<bool> in_object_;  // one per open container: object or array
    bool key_ = false;             // the string being read is an object key
    std::uint8_t pending_ = 0;     // bytes left in a UTF-8 sequence or hex digits of \u
    std::uint8_t low_ = 0x80, high_ = 0xBF;  // range of the next UTF-8 continuation byte
    std::uint16_t unit_ = 0;       // the \u code unit read so far
    bool want_low_ = false;        // a high surrogate waits for its low half
    const char* literal_ = nullptr;
    std::string error_;
    std::size_t error_offset_ = 0;
};

}  // namespace corvel::audit_json
