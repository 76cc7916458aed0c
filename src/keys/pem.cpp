#include "keys/pem.hpp"

#include <sodium.h>

#include <algorithm>
#include <optional>
#include <string>

namespace corvel {

namespace {

constexpr std::size_t kLineLength = 64;
constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";

TrailKeyError malformed(std::string detail) {
    return TrailKeyError(TrailKeyError::Kind::Malformed, {}, std::move(detail));
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    out += text;
    out += '"';
    return out;
}

std::size_t encoded_length(std::size_t size) { return (size + 2) / 3 * 4; }

// The label of a "-----BEGIN LABEL-----" or "-----END LABEL-----" line (without its newline),
// or nothing if the line has not that shape.
std::optional<std::string_view> armour_label(std::string_view line, std::string_view opener) {
    if (!line.starts_with(opener) || !line.ends_with(kDashes) || line.size() < opener.size() + kDashes.size()) {
        return std::nullopt;
    }
    return line.substr(opener.size(), line.size() - opener.size() - kDashes.size());
}

// Decodes strict standard base64 into `out`, which has room for it.
bool decode_into(std::string_view text, SecretBuffer& out) {
    // libsodium's decoder takes some bytes above 0x7f for alphabet characters: check first.
    const bool alphabet = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
               c == '=';
    });
    if (!alphabet || out.capacity() == 0) return false;
    std::size_t written = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out.data(), out.capacity(), text.data(), text.size(), nullptr, &written, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return false;
    }
    out.resize(written);
    return true;
}

}  // namespace

SecretBuffer pem_encode(std::string_view label, ByteView der) {
    const std::size_t body = encoded_length(der.size());
    const std::size_t lines = (body + kLineLength - 1) / kLineLength;
    SecretBuffer base64(body + 1);  // sodium writes a terminator
    sodium_bin2base64(reinterpret_cast<char*>(base64.data()), base64.capacity(), der.data(), der.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    base64.resize(body);

    const std::size_t frame = kBegin.size() + kEnd.size() + 2 * (label.size() + kDashes.size() + 1);
    SecretBuffer out(frame + body + lines);
    out.append(kBegin);
    out.append(label);
    out.append(kDashes);
    out.append("\n");
    for (std::size_t at = 0; at < body; at += kLineLength) {
        out.append(base64.text().substr(at, kLineLength));
        out.append("\n");
    }
    out.append(kEnd);
    out.append(label);
    out.append(kDashes);
    out.append("\n");
    return out;
}

std::expected<SecretBuffer, TrailKeyError> pem_decode(std::string_view text, std::string_view label) {
    if (text.empty()) return std::unexpected(malformed("the file is empty"));
    std::size_t cursor = 0;
    // The next line without its newline; a line that does not end in a newline is a cut.
    auto next_line = [&]() -> std::optional<std::string_view> {
        const std::size_t newline = text.find('\n', cursor);
        if (newline == std::string_view::npos) return std::nullopt;
        std::string_view line = text.substr(cursor, newline - cursor);
        cursor = newline + 1;
        return line;
    };
    const std::string cut = "the PEM text is cut short: it must end with the line \"-----END " +
                            std::string(label) + "-----\" and a newline";

    if (text.find('\r') != std::string_view::npos) {
        return std::unexpected(malformed("the PEM lines must end in a bare newline, without carriage returns"));
    }
    const std::size_t first_newline = text.find('\n');
    const std::string_view first = text.substr(0, first_newline);
    if (first_newline == std::string_view::npos &&
        (std::string_view(kBegin).starts_with(first) || first.starts_with(kBegin))) {
        return std::unexpected(malformed(cut));
    }
    const auto begin_label = armour_label(first, kBegin);
    if (!begin_label) {
        return std::unexpected(malformed("not a PEM text: it must begin with \"-----BEGIN " + std::string(label) +
                                         "-----\""));
    }
    if (*begin_label != label) {
        // The label found is shown only when it is short printable text: it comes from the file.
        const bool showable = begin_label->size() <= 40 && std::all_of(begin_label->begin(), begin_label->end(),
                                                                       [](char c) { return c >= 0x20 && c < 0x7f; });
        return std::unexpected(malformed(showable ? "the PEM label is " + quoted(*begin_label) + ", expected " + quoted(label)
                                                  : "the PEM label is not " + quoted(label)));
    }
    cursor = first_newline + 1;

    // The body is at most as long as the text, so the buffer never grows.
    SecretBuffer base64(text.size());
    bool short_line_seen = false;
    for (;;) {
        const auto line = next_line();
        if (!line) return std::unexpected(malformed(cut));
        if (line->starts_with(kDashes)) {
            const auto end_label = armour_label(*line, kEnd);
            if (!end_label || *end_label != label) {
                return std::unexpected(malformed("the END line does not match: expected \"-----END " +
                                                 std::string(label) + "-----\""));
            }
            break;
        }
        if (line->empty() || line->size() > kLineLength || short_line_seen) {
            return std::unexpected(malformed("the PEM body must be base64 in lines of 64 characters"));
        }
        short_line_seen = line->size() < kLineLength;
        base64.append(*line);
    }
    if (cursor != text.size()) return std::unexpected(malformed("there is data after the END line"));
    if (base64.size() == 0) return std::unexpected(malformed("the PEM body is empty"));

    SecretBuffer der(base64.size() / 4 * 3 + 3);
    if (!decode_into(base64.text(), der)) return std::unexpected(malformed("the PEM body is not valid base64"));
    return der;
}

}  // namespace corvel
