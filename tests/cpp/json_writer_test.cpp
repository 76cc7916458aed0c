#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstdint>
#include <limits>
#include <string>

#include "base/fault.hpp"
#include "base/hex.hpp"
#include "base/json_writer.hpp"

namespace corvel {
namespace {

TEST(JsonWriter, PlacesCommasAndColonsAtEveryLevel) {
    std::string out;
    JsonWriter json(out);
    json.begin_object()
        .key("a").u64(1)
        .key("b").begin_array().end_array()
        .key("c").begin_object().end_object()
        .key("d").begin_array().i64(-1).begin_object().key("e").null().end_object().boolean(false).end_array()
        .key("f").boolean(true)
        .end_object();
    EXPECT_EQ(out, R"({"a":1,"b":[],"c":{},"d":[-1,{"e":null},false],"f":true})");
    EXPECT_EQ(json.depth(), 0u);
}

TEST(JsonWriter, AppendsAfterWhatTheBufferHolds) {
    std::string out = "prefix ";
    const std::size_t capacity = (out.reserve(64), out.capacity());
    JsonWriter(out).begin_array().string("x").end_array();
    EXPECT_EQ(out, R"(prefix ["x"])");
    EXPECT_EQ(out.capacity(), capacity);  // a reserved buffer is reused, not replaced
}

TEST(JsonWriter, IntegersAtTheirLimits) {
    std::string out;
    JsonWriter(out)
        .begin_array()
        .u64(0)
        .u64(std::numeric_limits<std::uint64_t>::max())
        .i64(std::numeric_limits<std::int64_t>::min())
        .i64(std::numeric_limits<std::int64_t>::max())
        .end_array();
    EXPECT_EQ(out, "[0,18446744073709551615,-9223372036854775808,9223372036854775807]");
}

TEST(JsonWriter, HexRawAndEscapedKeys) {
    const std::uint8_t bytes[] = {0x00, 0x7f, 0xab, 0xff};
    std::string out;
    JsonWriter(out).begin_object().key("h").hex(bytes).key("q\"\n").raw(R"({"pre":[1]})").key("z").hex({}).end_object();
    EXPECT_EQ(out, R"({"h":"007fabff","q\"\n":{"pre":[1]},"z":""})");
    EXPECT_EQ(to_hex(bytes), "007fabff");
}

TEST(JsonWriter, ClosingMoreThanWasOpenedIsAFault) {
    std::string out;
    JsonWriter json(out);
    json.begin_array().end_array();
    EXPECT_THROW(json.end_array(), Fault);
    EXPECT_THROW(JsonWriter(out).end_object(), Fault);
}

// Every byte value inside a string, and nesting, read back by an independent parser.
TEST(JsonWriter, ReadsBackThroughAJsonParser) {
    std::string every_byte;
    for (int c = 1; c < 0x80; ++c) every_byte.push_back(static_cast<char>(c));
    every_byte += "\xc3\xa9\xe2\x82\xac";  // two multi-byte characters pass through as they are
    std::string out;
    JsonWriter(out)
        .begin_object()
        .key(every_byte).string(every_byte)
        .key("list").begin_array().string("").string("\\").u64(42).end_array()
        .end_object();

    simdjson::ondemand::parser parser;
    simdjson::padded_string padded(out);
    simdjson::ondemand::document doc = parser.iterate(padded);
    simdjson::ondemand::object object = doc.get_object();
    std::size_t members = 0;
    for (auto field : object) {
        const std::string_view name = field.unescaped_key().value();
        if (members == 0) {
            EXPECT_EQ(name, every_byte);
            EXPECT_EQ(std::string_view(field.value().get_string().value()), every_byte);
        } else {
            EXPECT_EQ(name, "list");
            simdjson::ondemand::array list = field.value().get_array();
            auto it = list.begin();
            EXPECT_EQ(std::string_view((*it).get_string().value()), "");
            ++it;
            EXPECT_EQ(std::string_view((*it).get_string().value()), "\\");
            ++it;
            EXPECT_EQ(std::uint64_t((*it).get_uint64().value()), 42u);
        }
        ++members;
    }
    EXPECT_EQ(members, 2u);
}

}  // namespace
}  // namespace corvel
