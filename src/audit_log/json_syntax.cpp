#include "audit_log/json_syntax.hpp"

#include "audit_log/json_lexing.hpp"

namespace corvel::audit_json {

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool JsonSyntaxCheck::fail(const char* what) {
    error_ = what;
    state_ = State::Failed;
    return false;
}

bool JsonSyntaxCheck::end_value() {
    state_ = in_object_.empty() ? State::Done : State::AfterValue;
    return true;
}

bool JsonSyntaxCheck::value_start(unsigned char c) {
    switch (c) {
        case '{':
        case '[':
            if (in_object_.size() >= kMaxDepth) return fail("recursion limit exceeded");
            in_object_.push_back(c == '{');
            state_ = c == '{' ? State::KeyOrClose : State::ValueOrClose;
            return true;
        case '"':
            key_ = false;
            state_ = State::String;
            return true;
        case '-': state_ = State::Minus; return true;
        case '0': state_ = State::Zero; return true;
        case 't': literal_ = "rue"; state_ = State::Literal; return true;
        case 'f': literal_ = "alse"; state_ = State::Literal; return true;
        case 'n': literal_ = "ull"; state_ = State::Literal; return true;
        default:
            if (is_digit(c)) {
                state_ = State::Integer;
                return true;
            }
            return fail("expected value");
    }
}

bool JsonSyntaxCheck::string_byte(unsigned char c) {
    // After a high surrogate only the escape of its low half may follow.
    if (want_low_ && c != '\\') return fail("invalid escape in string");
    if (c == '"') {
        if (key_) {
            state_ = State::Colon;
            return true;
        }
        return end_value();
    }
    if (c == '\\') {
        state_ = State::Escape;
        return true;
    }
    if (c < 0x20) return fail("control character in string");
    if (c < 0x80) return true;
    // The well-formed UTF-8 sequences: no overlong forms, no surrogates, nothing past U+10FFFF.
    low_ = 0x80;
    high_ = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        pending_ = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        pending_ = 2;
        if (c == 0xE0) low_ = 0xA0;
        if (c == 0xED) high_ = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        pending_ = 3;
        if (c == 0xF0) low_ = 0x90;
        if (c == 0xF4) high_ = 0x8F;
    } else {
        return fail("invalid UTF-8");
    }
    state_ = State::Utf8;
    return true;
}

bool JsonSyntaxCheck::step(unsigned char c) {
    switch (state_) {
        case State::Value:
            return is_json_space(c) || value_start(c);
        case State::ValueOrClose:
            if (is_json_space(c)) return true;
            if (c == ']') {
                in_object_.pop_back();
                return end_value();
            }
            return value_start(c);
        case State::KeyOrClose:
            if (is_json_space(c)) return true;
            if (c == '}') {
                in_object_.pop_back();
                return end_value();
            }
            [[fallthrough]];
        case State::Key:
            if (is_json_space(c)) return true;
            if (c != '"') return fail("key must be a string");
            key_ = true;
            state_ = State::String;
            return true;
        case State::Colon:
            if (is_json_space(c)) return true;
            if (c != ':') return fail("expected `:`");
            state_ = State::Value;
            return true;
        case State::AfterValue:
            if (is_json_space(c)) return true;
            if (c == ',') {
                state_ = in_object_.back() ? State::Key : State::Value;
                return true;
            }
            if (c == (in_object_.back() ? '}' : ']')) {
                in_object_.pop_back();
                return end_value();
            }
            return fail(in_object_.back() ? "expected `,` or `}`" : "expected `,` or `]`");
        case State::String: return string_byte(c);
        case State::Escape:
            if (want_low_ && c != 'u') return fail("invalid escape in string");
            switch (c) {
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                    state_ = State::String;
                    return true;
                case 'u':
                    pending_ = 4;
                    unit_ = 0;
                    state_ = State::Unicode;
                    return true;
                default: return fail("invalid escape in string");
            }
        case State::Unicode: {
            const int digit = hex_value(c);
            if (digit < 0) return fail("invalid escape in string");
            unit_ = static_cast<std::uint16_t>(unit_ * 16 + digit);
            if (--pending_ != 0) return true;
            const bool high = unit_ >= 0xD800 && unit_ <= 0xDBFF;
            const bool low = unit_ >= 0xDC00 && unit_ <= 0xDFFF;
            if (want_low_ ? !low : low) return fail("invalid escape in string");
            want_low_ = high;
            state_ = State::String;
            return true;
        }
        case State::Utf8:
            if (c < low_ || c > high_) return fail("invalid UTF-8");
            low_ = 0x80;
            high_ = 0xBF;
            if (--pending_ == 0) state_ = State::String;
            return true;
        case State::Literal:
            if (c != static_cast<unsigned char>(*literal_)) return fail("invalid literal");
            if (*++literal_ == '\0') return end_value();
            return true;
        case State::Minus:
            if (c == '0') {
                state_ = State::Zero;
                return true;
            }
            if (is_digit(c)) {
                state_ = State::Integer;
                return true;
            }
            return fail("invalid number");
        case State::Zero:
        case State::Integer:
            if (is_digit(c)) {
                if (state_ == State::Zero) return fail("invalid number");
                return true;
            }
            if (c == '.') {
                state_ = State::Dot;
                return true;
            }
            [[fallthrough]];
        case State::Fraction:
            if (state_ == State::Fraction && is_digit(c)) return true;
            if (c == 'e' || c == 'E') {
                state_ = State::Exponent;
                return true;
            }
            end_value();
            return step(c);
        case State::Dot:
            if (!is_digit(c)) return fail("invalid number");
            state_ = State::Fraction;
            return true;
        case State::Exponent:
            if (c == '+' || c == '-') {
                state_ = State::ExponentSign;
                return true;
            }
            [[fallthrough]];
        case State::ExponentSign:
            if (!is_digit(c)) return fail("invalid number");
            state_ = State::ExponentDigits;
            return true;
        case State::ExponentDigits:
            if (is_digit(c)) return true;
            end_value();
            return step(c);
        case State::Done:
            return is_json_space(c) || fail("trailing characters");
        case State::Failed: return false;
    }
    return fail("invalid JSON syntax");
}

bool JsonSyntaxCheck::feed(const unsigned char* data, std::size_t size) {
    if (state_ == State::Failed) {
        error_offset_ = 0;
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (!step(data[i])) {
            error_offset_ = i;
            return false;
        }
    }
    return true;
}

bool JsonSyntaxCheck::finish() {
    switch (state_) {
        case State::Zero:
        case State::Integer:
        case State::Fraction:
        case State::ExponentDigits: end_value(); break;
        default: break;
    }
    if (state_ == State::Done) return true;
    if (state_ != State::Failed) fail("EOF while parsing a value");
    return false;
}

}  // namespace corvel::audit_json
