#include <gtest/gtest.h>

#include "base/hex.hpp"
#include "crypto/sha256.hpp"
#include "proof/action.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

using test::from_hex;

Action make(ActionType type, std::string target, std::optional<Bytes> payload = std::nullopt,
            std::optional<std::string> metadata = std::nullopt) {
    return Action{std::move(type), std::move(target), std::move(payload), std::move(metadata)};
}

TEST(ActionEncoding, DeleteExampleIsTwentyTwoBytes) {
    const Action action = make(ActionKind::Delete, "data.txt");
    const Bytes expected = from_hex("00000000" "0800000000000000" "646174612e747874" "00" "00");
    EXPECT_EQ(action.encoded_size(), 22u);
    EXPECT_EQ(action.canonical_encoding(), expected);
    EXPECT_EQ(action.hash(), hash_bytes(expected));
}

TEST(ActionEncoding, EmptyTargetIsEightZeroBytes) {
    EXPECT_EQ(make(ActionKind::Read, "").canonical_encoding(),
              from_hex("02000000" "0000000000000000" "00" "00"));
}

TEST(ActionEncoding, PresentFieldsCarryFlagLengthAndBytes) {
    const Action action = make(ActionKind::Write, "f", Bytes{0xaa, 0xbb}, std::string("m"));
    EXPECT_EQ(action.canonical_encoding(),
              from_hex("01000000" "0100000000000000" "66"
                       "01" "0200000000000000" "aabb"
                       "01" "0100000000000000" "6d"));
    EXPECT_EQ(action.encoded_size(), action.canonical_encoding().size());
}

TEST(ActionEncoding, AbsentAndEmptyOptionalFieldsDiffer) {
    const Action absent = make(ActionKind::Write, "f");
    const Action empty_payload = make(ActionKind::Write, "f", Bytes{});
    const Action empty_metadata = make(ActionKind::Write, "f", std::nullopt, std::string());
    EXPECT_EQ(empty_payload.canonical_encoding(),
              from_hex("01000000" "0100000000000000" "66" "01" "0000000000000000" "00"));
    EXPECT_NE(absent.hash(), empty_payload.hash());
    EXPECT_NE(absent.hash(), empty_metadata.hash());
    EXPECT_NE(empty_payload.hash(), empty_metadata.hash());
    EXPECT_NE(make(ActionKind::Write, "f", std::nullopt, std::string("a")).hash(),
              make(ActionKind::Write, "f", std::nullopt, std::string("b")).hash());
}

TEST(ActionEncoding, CustomKindCarriesItsName) {
    EXPECT_EQ(make(ActionType::custom(""), "").canonical_encoding(),
              from_hex("05000000" "0000000000000000" "0000000000000000" "00" "00"));
    EXPECT_EQ(make(ActionType::custom("Delete"), "x").canonical_encoding(),
              from_hex("05000000" "0600000000000000" "44656c657465" "0100000000000000" "78" "00" "00"));
}

TEST(ActionEncoding, EveryKindHashesDifferentlyForTheSameTarget) {
    const std::vector<ActionType> kinds = {ActionKind::Delete, ActionKind::Write, ActionKind::Read,
                                           ActionKind::Execute, ActionKind::Network, ActionType::custom(""),
                                           ActionType::custom("Delete")};
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        for (std::size_t j = i + 1; j < kinds.size(); ++j) {
            EXPECT_NE(make(kinds[i], "t").hash(), make(kinds[j], "t").hash()) << i << " vs " << j;
        }
    }
}

TEST(ActionEncoding, LengthsCountUtf8BytesAndTextsAreNotNormalised) {
    const Action accented = make(ActionKind::Read, "\xc3\xa9");  // é
    EXPECT_EQ(accented.canonical_encoding(), from_hex("02000000" "0200000000000000" "c3a9" "00" "00"));
    // The decomposed form (e + combining acute) is a different text and hashes differently.
    EXPECT_NE(accented.hash(), make(ActionKind::Read, "e\xcc\x81").hash());
    EXPECT_NE(make(ActionKind::Read, "A").hash(), make(ActionKind::Read, "a").hash());
}

TEST(ActionEncoding, HashIsStable) {
    const Action action = make(ActionKind::Execute, "ls -la", Bytes{1, 2, 3}, std::string("meta"));
    EXPECT_EQ(action.hash(), action.hash());
    EXPECT_EQ(action.hash(), hash_bytes(action.canonical_encoding()));
}

TEST(HashBytes, KnownDigests) {
    EXPECT_EQ(to_hex(hash_bytes({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(to_hex(hash_bytes(as_bytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ActionType, VariantNames) {
    EXPECT_EQ(ActionType(ActionKind::Network).variant_name(), "Network");
    EXPECT_EQ(ActionType::custom("x").variant_name(), "Custom");
    EXPECT_EQ(ActionType::custom("x").custom_name(), "x");
}

}  // namespace
}  // namespace corvel
