#pragma once
// Unix seconds as an RFC 3339 UTC date and time, "YYYY-MM-DDTHH:MM:SS+00:00".
//
// The day is the floor quotient of the seconds by 86400, so times before 1970 land on the right
// day. RFC 3339 writes four-digit years only: a time outside the years 0000 to 9999 has no
// such rendering and is a fault ("No such local time").

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/fault.hpp"

namespace corvel {

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
    constexpr bool operator==(const CivilDate&) const = default;
};

// Days since 1970-01-01 to the proleptic Gregorian date (H. Hinnant's civil_from_days).
constexpr CivilDate civil_from_days(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<std::uint64_t>(days - era * 146097);            // [0, 146096]
    const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);           // [0, 365]
    const std::uint64_t mp = (5 * doy + 2) / 153;                                 // [0, 11]
    const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// The rendering's 25 characters, or nothing when the year is outside 0000..9999. Built in a
// fixed array so that it is a constant expression for every compiler (clang cannot evaluate
// libstdc++'s short-string buffer at compile time).
using Rfc3339Chars = std::array<char, 25>;

constexpr std::optional<Rfc3339Chars> rfc3339_chars(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t time = seconds % 86400;
    if (time < 0) {
        time += 86400;
        --days;
    }
    const CivilDate date = civil_from_days(days);
    if (date.year < 0 || date.year > 9999) return std::nullopt;
    Rfc3339Chars out{'0', '0', '0', '0', '-', '0', '0', '-', '0', '0', 'T', '0', '0',
                     ':', '0', '0', ':', '0', '0', '+', '0', '0', ':', '0', '0'};
    auto put = [&out](std::size_t at, std::uint64_t value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10) out[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    put(0, static_cast<std::uint64_t>(date.year), 4);
    put(5, date.month, 2);
    put(8, date.day, 2);
    put(11, static_cast<std::uint64_t>(time / 3600), 2);
    put(14, static_cast<std::uint64_t>(time / 60 % 60), 2);
    put(17, static_cast<std::uint64_t>(time % 60), 2);
    return out;
}

// The rendering, or nothing when the year is outside 0000..9999.
inline std::optional<std::string> try_rfc3339_utc(std::int64_t seconds) {
    const std::optional<Rfc3339Chars> chars = rfc3339_chars(seconds);
    if (!chars) return std::nullopt;
    return std::string(chars->data(), chars->size());
}

inline std::string rfc3339_utc(std::int64_t seconds) {
    std::optional<std::string> text = try_rfc3339_utc(seconds);
    if (!text) throw Fault("No such local time");
    return std::move(*text);
}

constexpr bool renders_as(std::int64_t seconds, std::string_view expected) {
    const std::optional<Rfc3339Chars> chars = rfc3339_chars(seconds);
    return chars && std::string_view(chars->data(), chars->size()) == expected;
}

// Checked at compile time: the epoch, the day before it, leap days, and both ends of the range.
static_assert(civil_from_days(0) == CivilDate{1970, 1, 1});
static_assert(civil_from_days(-1) == CivilDate{1969, 12, 31});
static_assert(civil_from_days(11016) == CivilDate{2000, 2, 29});
static_assert(civil_from_days(-719528) == CivilDate{0, 1, 1});
static_assert(renders_as(0, "1970-01-01T00:00:00+00:00"));
static_assert(renders_as(-1, "1969-12-31T23:59:59+00:00"));
static_assert(renders_as(-86400, "1969-12-31T00:00:00+00:00"));
static_assert(renders_as(951782400 + 86399, "2000-02-29T23:59:59+00:00"));
static_assert(renders_as(1700000000, "2023-11-14T22:13:20+00:00"));
static_assert(renders_as(253402300799, "9999-12-31T23:59:59+00:00"));
static_assert(!rfc3339_chars(253402300800).has_value());
static_assert(renders_as(-62167219200, "0000-01-01T00:00:00+00:00"));
static_assert(!rfc3339_chars(-62167219201).has_value());
static_assert(!rfc3339_chars(INT64_MIN).has_value());
static_assert(!rfc3339_chars(INT64_MAX).has_value());

}  // namespace corvel
