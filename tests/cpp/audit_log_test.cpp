#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "audit_log/audit_log.hpp"
#include "audit_log/json_reader.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

// ---- Building storage files ---------------------------------------------------------------

using Members = std::vector<std::pair<std::string, std::string>>;

std::string object(const Members& members) {
    std::string out = "{";
    for (const auto& [name, value] : members) {
        if (out.size() > 1) out += ',';
        out += '"' + name + "\":" + value;
    }
    return out + "}";
}

std::string byte_array(std::size_t length, unsigned first) {
    std::string out = "[";
    for (std::size_t i = 0; i < length; ++i) {
        if (i != 0) out += ',';
        out += std::to_string((first + i) % 256);
    }
    return out + "]";
}

Members with(Members members, const std::string& name, const std::string& value) {
    for (auto& member : members) {
        if (member.first == name) {
            member.second = value;
            return members;
        }
    }
    members.emplace_back(name, value);
    return members;
}

Members without(Members members, const std::string& name) {
    std::erase_if(members, [&](const auto& member) { return member.first == name; });
    return members;
}

Members action_members() {
    return {{"action_type", "\"Delete\""}, {"target", "\"data.txt\""}, {"payload", "null"}, {"metadata", "null"}};
}

Members proof_members() {
    return {{"nonce", byte_array(32, 1)},
            {"timestamp", "1700000000"},
            {"ttl", "60"},
            {"action_hash", byte_array(32, 100)},
            {"action_type", "\"Delete\""},
            {"capsule_hash", '"' + std::string(64, 'c') + '"'},
            {"status", "\"OK\""},
            {"signature", byte_array(64, 200)}};
}

Members entry_members(std::uint64_t index = 0) {
    return {{"index", std::to_string(index)},
            {"timestamp", "1700000001"},
            {"action", object(action_members())},
            {"proof", object(proof_members())},
            {"decision", "\"Approved\""},
            {"prev_hash", byte_array(32, 0)},
            {"current_hash", byte_array(32, 255)},
            {"signature", byte_array(64, 7)}};
}

std::string log_of(const std::vector<std::string>& entries) {
    std::string out = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) out += (i ? "," : "") + entries[i];
    return out + "]";
}

std::string one_entry(const Members& entry) { return log_of({object(entry)}); }

Members entry_with_proof(const std::string& name, const std::string& value) {
    return with(entry_members(), "proof", object(with(proof_members(), name, value)));
}

Members entry_with_action(const std::string& name, const std::string& value) {
    return with(entry_members(), "action", object(with(action_members(), name, value)));
}

// ---- Loading ------------------------------------------------------------------------------

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "corvel-audit-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

class AuditLogTest : public ::testing::Test {
protected:
    std::expected<AuditLog, AuditError> load_path(const fs::path& path) {
        return AuditLog::with_storage(SoftwareKeyStore::generate(), path.string());
    }

    std::expected<AuditLog, AuditError> load(const std::string& text) {
        const fs::path path = dir_ / ("log" + std::to_string(files_++) + ".json");
        std::ofstream(path, std::ios::binary) << text;
        return load_path(path);
    }

    // The error text after the fixed prefix, which every refusal must carry.
    std::string refusal(const std::string& text) {
        const auto log = load(text);
        if (log) {
            ADD_FAILURE() << "accepted: " << text.substr(0, 200);
            return {};
        }
        EXPECT_EQ(log.error().kind(), AuditError::Kind::SerializationError) << log.error().message();
        const std::string prefix = "Serialization error in audit log: ";
        const std::string message = log.error().message();
        EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
        return message.substr(std::min(prefix.size(), message.size()));
    }

    AuditEntry only_entry(const std::string& text) {
        auto log = load(text);
        if (!log) {
            ADD_FAILURE() << log.error().message();
            return {};
        }
        EXPECT_EQ(log->size(), 1u);
        return log->size() == 1 ? log->entries()[0] : AuditEntry{};
    }

    TempDir dir_;
    int files_ = 0;
};

TEST_F(AuditLogTest, MissingPathGivesEmptyLogAndCreatesNothing) {
    const fs::path path = dir_ / "absent.json";
    auto log = load_path(path);
    ASSERT_TRUE(log) << log.error().message();
    EXPECT_EQ(log->size(), 0u);
    EXPECT_EQ(log->storage_path(), path.string());
    EXPECT_FALSE(fs::exists(path));

    // A dangling symlink and a path below a regular file do not exist either.
    fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
    EXPECT_EQ(load_path(dir_ / "dangling")->size(), 0u);
    std::ofstream(dir_ / "plain") << "[]";
    EXPECT_EQ(load_path(dir_ / "plain" / "below")->size(), 0u);
}

TEST_F(AuditLogTest, EmptyArrayIsAnEmptyLogButAnEmptyFileIsRefused) {
    EXPECT_EQ(load("[]")->size(), 0u);
    EXPECT_EQ(load(" \t\r\n[ \n ]\n\n")->size(), 0u);
    EXPECT_EQ(refusal(""), "EOF while parsing a value");
    EXPECT_EQ(refusal("  \n"), "EOF while parsing a value");
}

TEST_F(AuditLogTest, ReadsEveryFieldOfEveryEntryInFileOrder) {
    const Members second = with(with(with(entry_members(1), "decision", R"({"Denied":{"reason":"too risky"}})"),
                                     "action",
                                     object({{"action_type", R"({"Custom":"deploy \"prod\""})"},
                                             {"target", R"("C:\\temp\\é\u00e9\ud83d\ude00")"},
                                             {"payload", "[0,255,16]"},
                                             {"metadata", R"("note")"}})),
                                "proof", object(with(proof_members(), "status", R"({"Failed":"why"})")));
    auto log = load(log_of({object(entry_members(0)), object(second)}) + "\n");
    ASSERT_TRUE(log) << log.error().message();
    ASSERT_EQ(log->size(), 2u);

    const AuditEntry& first = log->entries()[0];
    EXPECT_EQ(first.index, 0u);
    EXPECT_EQ(first.timestamp, 1700000001u);
    EXPECT_EQ(first.action, (Action{ActionKind::Delete, "data.txt", std::nullopt, std::nullopt}));
    EXPECT_EQ(first.proof.nonce[0], 1);
    EXPECT_EQ(first.proof.nonce[31], 32);
    EXPECT_EQ(first.proof.timestamp, 1700000000u);
    EXPECT_EQ(first.proof.ttl, 60u);
    EXPECT_EQ(first.proof.action_hash[0], 100);
    EXPECT_EQ(first.proof.action_type, ActionType(ActionKind::Delete));
    EXPECT_EQ(first.proof.capsule_hash, std::string(64, 'c'));
    EXPECT_EQ(first.proof.status, VerificationStatus::ok());
    ASSERT_EQ(first.proof.signature.size(), 64u);
    EXPECT_EQ(first.proof.signature[63], (200 + 63) % 256);
    EXPECT_EQ(first.decision, Decision::approved());
    EXPECT_EQ(first.prev_hash[31], 31);
    EXPECT_EQ(first.current_hash[0], 255);
    EXPECT_EQ(first.current_hash[1], 0);
    EXPECT_EQ(first.signature.size(), 64u);

    const AuditEntry& next = log->entries()[1];
    EXPECT_EQ(next.index, 1u);
    EXPECT_EQ(next.action.action_type, ActionType::custom("deploy \"prod\""));
    EXPECT_EQ(next.action.target, "C:\\temp\\\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(next.action.payload, (Bytes{0, 255, 16}));
    EXPECT_EQ(next.action.metadata, "note");
    EXPECT_EQ(next.proof.status, VerificationStatus::failed("why"));
    EXPECT_EQ(next.decision, Decision::denied("too risky"));
}

TEST_F(AuditLogTest, MembersInAnyOrderAndUnknownOnesDropped) {
    Members entry = entry_members(5);
    std::reverse(entry.begin(), entry.end());
    Members proof = proof_members();
    std::reverse(proof.begin(), proof.end());
    entry = with(entry, "proof", object(with(proof, "extra", R"({"deep":[1,2,{"x":null}],"t":true})")));
    entry = with(entry, "comment", R"("kept nowhere")");
    entry.insert(entry.begin(), {"zzz", "-1.5e3"});
    const AuditEntry read = only_entry(one_entry(entry));
    EXPECT_EQ(read.index, 5u);
    EXPECT_EQ(read.proof.ttl, 60u);
    EXPECT_EQ(read.proof.nonce[0], 1);

    // A key written with escapes is the same key.
    EXPECT_EQ(only_entry(one_entry(with(without(entry_members(), "index"), "\\u0069ndex", "9"))).index, 9u);
}

TEST_F(AuditLogTest, EveryMemberIsRequiredAndNamedWhenMissing) {
    for (const auto& [name, value] : entry_members()) {
        EXPECT_EQ(refusal(one_entry(without(entry_members(), name))), "missing field `" + name + "` at entry 0");
    }
    for (const auto& [name, value] : proof_members()) {
        const Members entry = with(entry_members(), "proof", object(without(proof_members(), name)));
        EXPECT_EQ(refusal(one_entry(entry)), "missing field `" + name + "` at entry 0, field `proof`");
    }
    for (const std::string name : {"action_type", "target"}) {
        const Members entry = with(entry_members(), "action", object(without(action_members(), name)));
        EXPECT_EQ(refusal(one_entry(entry)), "missing field `" + name + "` at entry 0, field `action`");
    }
}

TEST_F(AuditLogTest, MemberGivenTwiceIsRefused) {
    Members twice = entry_members();
    twice.emplace_back("index", "1");
    EXPECT_EQ(refusal(one_entry(twice)), "duplicate field `index` at entry 0");

    Members proof = proof_members();
    proof.emplace_back("nonce", byte_array(32, 0));
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "proof", object(proof)))),
              "duplicate field `nonce` at entry 0, field `proof`");

    // Also when the second spelling uses escapes.
    Members escaped = entry_members();
    escaped.emplace_back("\\u0074imestamp", "1");
    EXPECT_EQ(refusal(one_entry(escaped)), "duplicate field `timestamp` at entry 0");
}

TEST_F(AuditLogTest, HashesAreExactly32Bytes) {
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "prev_hash", byte_array(31, 0)))),
              "invalid length 31, expected an array of length 32 at entry 0, field `prev_hash`");
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "current_hash", byte_array(33, 0)))),
              "invalid length 33, expected an array of length 32 at entry 0, field `current_hash`");
    EXPECT_EQ(refusal(one_entry(entry_with_proof("nonce", "[]"))),
              "invalid length 0, expected an array of length 32 at entry 0, field `proof.nonce`");
    EXPECT_NE(refusal(one_entry(entry_with_proof("action_hash", byte_array(31, 0)))).find("expected an array of length 32"),
              std::string::npos);
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "prev_hash", "\"00\""))),
              "invalid type: string, expected an array of length 32 at entry 0, field `prev_hash`");
}

TEST_F(AuditLogTest, BytesAreIntegersFrom0To255) {
    const std::string array31 = byte_array(31, 0);
    const auto with_last = [&](const std::string& last) {
        return one_entry(with(entry_members(), "prev_hash", array31.substr(0, array31.size() - 1) + "," + last + "]"));
    };
    EXPECT_EQ(only_entry(with_last("255")).prev_hash[31], 255);
    EXPECT_EQ(refusal(with_last("256")), "invalid value: integer `256`, expected u8 at entry 0, field `prev_hash`");
    EXPECT_EQ(refusal(with_last("-1")), "invalid value: integer `-1`, expected u8 at entry 0, field `prev_hash`");
    EXPECT_EQ(refusal(with_last("1.0")), "invalid type: floating point `1.0`, expected u8 at entry 0, field `prev_hash`");
    EXPECT_EQ(refusal(with_last("1e2")), "invalid type: floating point `1e2`, expected u8 at entry 0, field `prev_hash`");
    EXPECT_EQ(refusal(with_last("\"7\"")), "invalid type: string, expected u8 at entry 0, field `prev_hash`");
    EXPECT_EQ(refusal(with_last("null")), "invalid type: null, expected u8 at entry 0, field `prev_hash`");
    EXPECT_EQ(refusal(with_last("07")), "invalid number `07` at entry 0, field `prev_hash`");
    // A negative zero is not an unsigned integer, whatever its value.
    EXPECT_EQ(refusal(with_last("-0")), "invalid value: integer `-0`, expected u8 at entry 0, field `prev_hash`");
}

TEST_F(AuditLogTest, IntegersFitIn64BitsWithNoFractionOrExponent) {
    EXPECT_EQ(only_entry(one_entry(with(entry_members(), "index", "18446744073709551615"))).index,
              18446744073709551615u);
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "index", "18446744073709551616"))),
              "invalid value: integer `18446744073709551616`, expected u64 at entry 0, field `index`");
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "timestamp", "-1"))),
              "invalid value: integer `-1`, expected u64 at entry 0, field `timestamp`");
    EXPECT_EQ(refusal(one_entry(entry_with_proof("ttl", "60.0"))),
              "invalid type: floating point `60.0`, expected u64 at entry 0, field `proof.ttl`");
    EXPECT_EQ(refusal(one_entry(entry_with_proof("timestamp", "1E3"))),
              "invalid type: floating point `1E3`, expected u64 at entry 0, field `proof.timestamp`");
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "index", "\"1\""))),
              "invalid type: string, expected u64 at entry 0, field `index`");
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "index", "true"))),
              "invalid type: boolean, expected u64 at entry 0, field `index`");
    // Huge numbers are refused with a short quotation of the number, not all of it.
    const std::string message = refusal(one_entry(with(entry_members(), "index", std::string(100000, '9'))));
    EXPECT_LT(message.size(), 200u);
    EXPECT_NE(refusal(one_entry(with(entry_members(), "index", "1e400"))).find("floating point"), std::string::npos);
}

TEST_F(AuditLogTest, ActionTypeForms) {
    const std::pair<const char*, ActionType> forms[] = {
        {"\"Delete\"", ActionType(ActionKind::Delete)},   {"\"Write\"", ActionType(ActionKind::Write)},
        {"\"Read\"", ActionType(ActionKind::Read)},       {"\"Execute\"", ActionType(ActionKind::Execute)},
        {"\"Network\"", ActionType(ActionKind::Network)}, {R"({"Custom":"name"})", ActionType::custom("name")},
        {R"({"Custom":""})", ActionType::custom("")},
    };
    for (const auto& [json, expected] : forms) {
        const AuditEntry entry = only_entry(one_entry(with(entry_with_action("action_type", json), "proof",
                                                           object(with(proof_members(), "action_type", json)))));
        EXPECT_EQ(entry.action.action_type, expected) << json;
        EXPECT_EQ(entry.proof.action_type, expected) << json;
    }

    EXPECT_EQ(refusal(one_entry(entry_with_action("action_type", "\"Deleted\""))),
              "unknown variant `Deleted`, expected one of `Delete`, `Write`, `Read`, `Execute`, `Network`, `Custom` "
              "at entry 0, field `action.action_type`");
    EXPECT_NE(refusal(one_entry(entry_with_proof("action_type", R"({"Remove":"x"})"))).find("unknown variant `Remove`"),
              std::string::npos);
    for (const char* bad : {"\"delete\"", "\"Custom\"", R"({"Custom":5})", R"({"Custom":"a","Delete":null})", "{}",
                            R"({"Delete":null})", "5", "null", R"(["Delete"])"}) {
        refusal(one_entry(entry_with_action("action_type", bad)));
    }
}

TEST_F(AuditLogTest, PayloadAndMetadataAreNullableAndMayBeLeftOut) {
    EXPECT_EQ(only_entry(one_entry(entry_with_action("payload", "[]"))).action.payload, Bytes{});
    EXPECT_EQ(only_entry(one_entry(entry_with_action("metadata", "\"\""))).action.metadata, std::string());
    const AuditEntry bare = only_entry(
        one_entry(with(entry_members(), "action", object(without(without(action_members(), "payload"), "metadata")))));
    EXPECT_FALSE(bare.action.payload.has_value());
    EXPECT_FALSE(bare.action.metadata.has_value());

    refusal(one_entry(entry_with_action("payload", "[256]")));
    refusal(one_entry(entry_with_action("payload", "\"abc\"")));
    refusal(one_entry(entry_with_action("payload", "nul")));
    refusal(one_entry(entry_with_action("metadata", "7")));
    refusal(one_entry(entry_with_action("target", "null")));
}

TEST_F(AuditLogTest, StatusForms) {
    EXPECT_EQ(only_entry(one_entry(entry_with_proof("status", "\"Tampered\""))).proof.status,
              VerificationStatus::tampered());
    EXPECT_EQ(only_entry(one_entry(entry_with_proof("status", R"({"Failed":"why"})"))).proof.status,
              VerificationStatus::failed("why"));
    EXPECT_EQ(refusal(one_entry(entry_with_proof("status", "\"Ok\""))),
              "unknown variant `Ok`, expected one of `OK`, `Tampered`, `Failed` at entry 0, field `proof.status`");
    refusal(one_entry(entry_with_proof("status", "\"Failed\"")));
    refusal(one_entry(entry_with_proof("status", R"({"Failed":null})")));
    refusal(one_entry(entry_with_proof("status", R"({"OK":"x"})")));
}

TEST_F(AuditLogTest, DecisionForms) {
    EXPECT_EQ(only_entry(one_entry(with(entry_members(), "decision", R"({"Denied":{"reason":"r","x":[1]}})"))).decision,
              Decision::denied("r"));
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "decision", "\"Denied\""))),
              "invalid type: unit variant, expected struct variant at entry 0, field `decision`");
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "decision", R"({"Denied":{}})"))),
              "missing field `reason` at entry 0, field `decision`");
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "decision", "\"Rejected\""))),
              "unknown variant `Rejected`, expected `Approved` or `Denied` at entry 0, field `decision`");
    refusal(one_entry(with(entry_members(), "decision", R"({"Denied":{"reason":"a","reason":"b"}})")));
    refusal(one_entry(with(entry_members(), "decision", R"({"Denied":"r"})")));
    refusal(one_entry(with(entry_members(), "decision", R"({"Approved":null})")));
}

TEST_F(AuditLogTest, SignaturesMayHaveAnyLength) {
    for (std::size_t length : {0, 1, 63, 64, 65, 128, 129, 300}) {
        const AuditEntry entry = only_entry(one_entry(with(entry_with_proof("signature", byte_array(length, 9)),
                                                           "signature", byte_array(length, 3))));
        ASSERT_EQ(entry.proof.signature.size(), length);
        ASSERT_EQ(entry.signature.size(), length);
        if (length > 0) {
            EXPECT_EQ(entry.proof.signature.back(), (9 + length - 1) % 256);
            EXPECT_EQ(entry.signature.front(), 3);
        }
    }
}

TEST_F(AuditLogTest, OnlyWhiteSpaceMayFollowTheArray) {
    const std::string entry = one_entry(entry_members());
    EXPECT_EQ(load(entry + " \n\t\r")->size(), 1u);
    EXPECT_EQ(refusal("[] x"), "trailing characters at byte 3");
    EXPECT_EQ(refusal("[][]"), "trailing characters at byte 2");
    EXPECT_EQ(refusal(entry + ","), "trailing characters at byte " + std::to_string(entry.size()));
    refusal(std::string("[]\0", 3));
}

TEST_F(AuditLogTest, TopLevelMustBeAnArrayOfEntryObjects) {
    const std::string entry = object(entry_members());
    EXPECT_EQ(refusal(entry), "expected `[` (a JSON array of audit entries) at byte 0");
    EXPECT_EQ(refusal("[1]"), "invalid type: number, expected struct AuditEntry at entry 0");
    EXPECT_EQ(refusal("[" + entry + ",]"), "trailing comma at byte " + std::to_string(entry.size() + 2));
    EXPECT_EQ(refusal("[," + entry + "]"), "expected value at byte 1");
    EXPECT_EQ(refusal("[" + entry + ",," + entry + "]"), "expected value at byte " + std::to_string(entry.size() + 2));
    EXPECT_EQ(refusal("[" + entry), "EOF while parsing a list");
    EXPECT_EQ(refusal("[" + entry + " " + entry + "]"), "invalid JSON syntax at entry 0");
    refusal("[}]");
    const std::string unclosed = entry.substr(0, entry.size() - 1);
    refusal("[" + unclosed + "]]");
    refusal(std::string("[\"").append(entry).append("\"]"));
}

TEST_F(AuditLogTest, StringsAndSkippedValuesAreValidatedToo) {
    refusal(one_entry(entry_with_action("target", "\"tab\there\"")));       // raw control character
    refusal(one_entry(entry_with_action("target", "\"bad \\q escape\"")));  // unknown escape
    refusal(one_entry(entry_with_action("target", "\"\\ud800\"")));        // lone surrogate
    refusal(one_entry(entry_with_action("target", "\"\xC3\x28\"")));       // invalid UTF-8
    for (const char* bad : {"[1,,2]", "tru", "nul", "01", "1.", "-", "{\"a\" 1}", "{\"a\":1,}", "\"\\x\"",
                            "[1 2]", "\"\xFF\"", "{\"\xFF\":1}", "{\"\\q\":1}"}) {
        refusal(one_entry(with(entry_members(), "extra", bad)));
    }
    EXPECT_NE(refusal(one_entry(with(entry_members(), "extra", "tru"))).find("invalid literal"), std::string::npos);
}

TEST_F(AuditLogTest, DeepNestingIsRefusedNotFollowed) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(refusal(one_entry(with(entry_members(), "extra", deep))),
              "recursion limit exceeded at entry 0");
    std::string deep_objects;
    for (int i = 0; i < 100000; ++i) deep_objects += "{\"a\":";
    deep_objects += "0" + std::string(100000, '}');
    refusal(one_entry(with(entry_members(), "extra", deep_objects)));
    refusal("[" + deep + "]");
    refusal(std::string(100000, '['));
    // Nesting within the limit is fine.
    const std::string nested = std::string(50, '[') + std::string(50, ']');
    EXPECT_EQ(load(one_entry(with(entry_members(), "extra", nested)))->size(), 1u);
}

TEST_F(AuditLogTest, FileSystemOutcomes) {
    // A directory opens but cannot be read.
    fs::create_directory(dir_ / "folder");
    const auto folder = load_path(dir_ / "folder");
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().kind(), AuditError::Kind::SerializationError);
    EXPECT_EQ(folder.error().message(), "Serialization error in audit log: Is a directory");

    // A socket exists but cannot be opened.
    const fs::path socket_path = dir_ / "sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto socket = load_path(socket_path);
    ::close(fd);
    ASSERT_FALSE(socket);
    EXPECT_EQ(socket.error().kind(), AuditError::Kind::IoError);
    EXPECT_EQ(socket.error().message(), "IO error in audit log: " + std::string(std::strerror(ENXIO)));

    // A FIFO with no writer reads as an empty file instead of blocking the open.
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    const auto fifo = load_path(dir_ / "fifo");
    ASSERT_FALSE(fifo);
    EXPECT_EQ(fifo.error().kind(), AuditError::Kind::SerializationError);

    // Nor does one with a writer that never writes: no FIFO or device is read at all.
    const int writer = ::open((dir_ / "fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ::alarm(20);  // a read that blocks ends the test binary rather than hanging it
    const auto live = load_path(dir_ / "fifo");
    ::alarm(0);
    ::close(writer);
    ASSERT_FALSE(live);
    EXPECT_EQ(live.error().message(), "Serialization error in audit log: not a regular file");
    EXPECT_EQ(load_path("/dev/zero").error().message(), "Serialization error in audit log: not a regular file");
}

TEST_F(AuditLogTest, PathsThatCannotBeCheckedAreReportedNotTakenAsEmpty) {
    fs::create_symlink(dir_ / "loop-b", dir_ / "loop-a");
    fs::create_symlink(dir_ / "loop-a", dir_ / "loop-b");
    const auto loop = load_path(dir_ / "loop-a");
    ASSERT_FALSE(loop);
    EXPECT_EQ(loop.error().kind(), AuditError::Kind::IoError);
    ASSERT_NE(loop.error().io(), nullptr);
    EXPECT_EQ(loop.error().io()->errnum, ELOOP);

    std::ofstream(dir_ / "real.json") << "[]";
    const auto with_nul = AuditLog::with_storage(SoftwareKeyStore::generate(), (dir_ / "real.json").string() + '\0' + "x");
    ASSERT_FALSE(with_nul);
    EXPECT_EQ(with_nul.error().kind(), AuditError::Kind::IoError);
}

// ---- Large and split input ----------------------------------------------------------------

// An entry whose strings carry escapes, quotes and brackets, so that cutting it up exercises
// the scan state across piece boundaries.
std::string tricky_entry(std::uint64_t index) {
    const Members action = {{"action_type", R"({"Custom":"a\"],}{[b"})"},
                            {"target", R"("\\\\server\\share\"x\" \u005d, \ud83d\ude00 é")"},
                            {"payload", byte_array(index % 50, static_cast<unsigned>(index))},
                            {"metadata", R"("}]")"}};
    return object(with(with(entry_members(index), "action", object(action)), "note", R"(["\\",{"\"":"]"}])"));
}

TEST_F(AuditLogTest, LargeLogAcrossManyBatchesKeepsOrderAndNamesTheFaultyEntry) {
    std::vector<std::string> entries;
    for (std::uint64_t i = 0; i < 3000; ++i) entries.push_back(tricky_entry(i));
    const std::string text = log_of(entries);
    ASSERT_GT(text.size(), 3u << 20);  // several batches

    auto log = load(text);
    ASSERT_TRUE(log) << log.error().message();
    ASSERT_EQ(log->size(), 3000u);
    for (std::uint64_t i = 0; i < 3000; ++i) ASSERT_EQ(log->entries()[i].index, i);
    EXPECT_EQ(log->entries()[7].action.target, "\\\\server\\share\"x\" ], \xF0\x9F\x98\x80 \xC3\xA9");
    EXPECT_EQ(log->entries()[7].action.action_type, ActionType::custom("a\"],}{[b"));
    EXPECT_EQ(log->entries()[49].action.payload->size(), 49u);

    std::vector<std::string> broken = entries;
    broken[2500] = object(without(entry_members(2500), "decision"));
    EXPECT_EQ(refusal(log_of(broken)), "missing field `decision` at entry 2500");

    // A fault that the parser finds before reading any entry is still pinned to its entry.
    broken = entries;
    broken[1800] = object(with(entry_members(1800), "note", "\"\xC0\xAF\""));
    EXPECT_EQ(refusal(log_of(broken)), "invalid UTF-8 at entry 1800");
}

TEST(AuditJsonReaderTest, InputInSmallPiecesReadsTheSameAsAllAtOnce) {
    std::vector<std::string> entries;
    for (std::uint64_t i = 0; i < 40; ++i) entries.push_back(tricky_entry(i));
    const std::string text = " \n" + log_of(entries) + " \n";
    const auto whole = parse_audit_entries(text);
    ASSERT_TRUE(whole) << whole.error();
    ASSERT_EQ(whole->size(), 40u);

    std::mt19937 random(12345);
    for (int round = 0; round < 5; ++round) {
        AuditJsonReader reader;
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t piece = std::min<std::size_t>(text.size() - at, 1 + random() % 97);
            const std::span<char> space = reader.input_space(piece);
            std::memcpy(space.data(), text.data() + at, piece);
            ASSERT_TRUE(reader.commit(piece));
            at += piece;
        }
        const auto pieced = reader.finish();
        ASSERT_TRUE(pieced) << pieced.error();
        EXPECT_EQ(*pieced, *whole);
    }
}

// Mutated logs, read whole and in random pieces: the two must agree on every outcome, so the
// state carried between pieces can never change what a file means.
TEST(AuditJsonReaderTest, MutatedLogsReadTheSameWholeAndInPieces) {
    const std::string base = log_of({tricky_entry(1), object(entry_members(2))});
    const std::string alphabet = "[]{},:\"\\ 0123456789-.eEtrufalsn\xC3\xA9\x80";
    std::mt19937 random(2024);
    std::size_t accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = base;
        test::mutate(text, alphabet, random);
        const auto whole = parse_audit_entries(text);
        AuditJsonReader reader;
        std::expected<void, std::string> taken;
        for (std::size_t at = 0; at < text.size() && taken;) {
            const std::size_t piece = std::min<std::size_t>(text.size() - at, 1 + random() % 40);
            std::memcpy(reader.input_space(piece).data(), text.data() + at, piece);
            taken = reader.commit(piece);
            at += piece;
        }
        const auto pieced = taken ? reader.finish() : std::unexpected(taken.error());
        ASSERT_EQ(whole.has_value(), pieced.has_value()) << text;
        if (whole) {
            EXPECT_EQ(*whole, *pieced) << text;
            ++accepted;
        } else {
            EXPECT_EQ(whole.error(), pieced.error()) << text;
        }
    }
    EXPECT_GT(accepted, 0u);  // some edits (a digit for a digit) leave a valid log
}

// ---- Hostile input ------------------------------------------------------------------------

TEST_F(AuditLogTest, EveryTruncationIsRefused) {
    const std::string text = log_of({object(entry_members(0)), tricky_entry(1)});
    ASSERT_TRUE(parse_audit_entries(text));
    for (std::size_t length = 0; length < text.size(); ++length) {
        const auto parsed = parse_audit_entries(std::string_view(text).substr(0, length));
        ASSERT_FALSE(parsed) << "accepted a prefix of " << length << " bytes";
    }
}

TEST_F(AuditLogTest, BinaryAndOddEncodingsAreRefused) {
    std::mt19937 random(99);
    for (std::size_t size : {1, 7, 64, 1000, 70000}) {
        std::string noise(size, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        refusal(noise);
        refusal("[" + noise + "]");
    }
    EXPECT_EQ(refusal("\xEF\xBB\xBF[]"), "expected `[` (a JSON array of audit entries) at byte 0");
    refusal(std::string("\xFF\xFE[\0]\0", 6));  // UTF-16
}

TEST_F(AuditLogTest, JsonTestSuiteNeverCrashesTheLoader) {
    const fs::path suite = test::testdata("jsontestsuite");
    std::size_t seen = 0;
    for (const auto& file : fs::directory_iterator(suite)) {
        const std::string name = file.path().filename().string();
        if (file.path().extension() != ".json") continue;
        ++seen;
        const auto log = load_path(file.path());
        if (log) {
            // Nothing that is not valid JSON may load; valid JSON loads only as an empty log,
            // since the suite holds no audit entries.
            EXPECT_NE(name[0], 'n') << name;
            EXPECT_EQ(log->size(), 0u) << name;
        } else {
            EXPECT_EQ(log.error().kind(), AuditError::Kind::SerializationError) << name << ": " << log.error().message();
        }
    }
    EXPECT_GT(seen, 300u);
}

// ---- Junk is refused where it starts ------------------------------------------------------

// Feeds `head` and then `unit` over and over, in pieces of 64 KiB, up to 64 MiB. Returns the
// reader's error and how many bytes it had taken when it gave it.
std::pair<std::string, std::size_t> feed_junk(const std::string& head, const std::string& unit) {
    constexpr std::size_t kPiece = std::size_t{64} << 10;
    std::string piece = head;
    while (piece.size() < kPiece) piece += unit;
    AuditJsonReader reader;
    std::size_t fed = 0;
    while (fed < (std::size_t{64} << 20)) {
        std::memcpy(reader.input_space(piece.size()).data(), piece.data(), piece.size());
        fed += piece.size();
        if (auto taken = reader.commit(piece.size()); !taken) return {taken.error(), fed};
        if (fed == piece.size()) {
            piece.clear();
            while (piece.size() < kPiece) piece += unit;
        }
    }
    auto end = reader.finish();
    return {end ? std::string("accepted") : end.error(), fed};
}

TEST(AuditJsonReaderTest, EndlessJunkIsRefusedWithinItsFirstPieces) {
    const std::string entry_start = R"([{"index":0,"note":)";
    const struct {
        std::string head, unit, error;
    } cases[] = {
        {"[", std::string(1, '\0'), "expected value at byte 1"},
        {"[", "7", "invalid type: number, expected struct AuditEntry at entry 0"},
        {"[", "\"", "invalid type: string, expected struct AuditEntry at entry 0"},
        {"[", "[", "invalid type: sequence, expected struct AuditEntry at entry 0"},
        {"[", "x", "expected value at byte 1"},
        {entry_start, "x", "expected value at byte 19"},
        {entry_start, "1 ", "expected `,` or `}` at byte 21"},
        {entry_start, "t", "invalid literal at byte 20"},
        {entry_start, "[", "recursion limit exceeded at entry 0"},
        {entry_start, "{\"a\":", "recursion limit exceeded at entry 0"},
        {entry_start + "\"", std::string(1, '\0'), "control character in string at byte 20"},
        {entry_start + "\"", "ab\\x", "invalid escape in string at byte 23"},
        {entry_start + "\"", "\xC3", "invalid UTF-8 at byte 21"},
        {entry_start + "\"", "\\ud800", "invalid escape in string at byte 31"},
        {entry_start + "\"x\",", "x", "key must be a string at byte 23"},
    };
    for (const auto& c : cases) {
        const auto [error, fed] = feed_junk(c.head, c.unit);
        EXPECT_EQ(error, c.error) << c.head << c.unit;
        // Within what one read of the loader brings in, whatever the file's size.
        EXPECT_LE(fed, std::size_t{1} << 20) << c.head << c.unit;
    }
}

TEST_F(AuditLogTest, FaultsInEarlierEntriesComeBeforeTheJunk) {
    const std::string missing = object(without(entry_members(1), "index"));
    const std::string fine = object(entry_members(1));
    EXPECT_EQ(refusal(log_of({fine, missing, "7"})), "missing field `index` at entry 1");
    EXPECT_EQ(refusal(log_of({fine, missing, object(with(entry_members(2), "x", std::string(2000, '[')))})),
              "missing field `index` at entry 1");
    EXPECT_EQ(refusal(log_of({fine, fine, "[]"})), "invalid type: sequence, expected struct AuditEntry at entry 2");
}

// A long entry (one with a large unknown member) goes through the syntax check as well as the
// parser: valid ones load exactly, and whole and pieced reads agree on edits anywhere in it.
TEST(AuditJsonReaderTest, LongEntriesAreCheckedAsTheyArriveAndStillReadExactly) {
    std::string filler = "[";
    for (int i = 0; filler.size() < (std::size_t{200} << 10); ++i) {
        filler += R"({"n":-12.5e3,"t":true,"f":false,"z":null,"s":"\u00e9\ud83d\ude00\"\\ é"},)";
    }
    filler += "0]";
    const std::string long_target = '"' + std::string(100000, 'a') + " \\\" \xF0\x9F\x98\x80\"";
    const std::string text = log_of({tricky_entry(0), object(with(entry_members(1), "filler", filler)),
                                     object(with(entry_members(2), "action",
                                                 object(with(action_members(), "target", long_target)))),
                                     tricky_entry(3)});
    const auto whole = parse_audit_entries(text);
    ASSERT_TRUE(whole) << whole.error();
    ASSERT_EQ(whole->size(), 4u);
    EXPECT_EQ((*whole)[2].action.target, std::string(100000, 'a') + " \" \xF0\x9F\x98\x80");
    EXPECT_EQ((*whole)[3].index, 3u);

    const std::string alphabet = "[]{},:\"\\ 0123456789-.eEtrufalsn\x01\xC3\xA9\x80";
    std::mt19937 random(31);
    for (int round = 0; round < 200; ++round) {
        std::string mutated = text;
        const std::size_t at = random() % mutated.size();
        mutated[at] = alphabet[random() % alphabet.size()];
        const auto expected = parse_audit_entries(mutated);
        AuditJsonReader reader;
        std::expected<void, std::string> taken;
        for (std::size_t fed = 0; fed < mutated.size() && taken;) {
            const std::size_t piece = std::min<std::size_t>(mutated.size() - fed, 1 + random() % 30000);
            std::memcpy(reader.input_space(piece).data(), mutated.data() + fed, piece);
            taken = reader.commit(piece);
            fed += piece;
        }
        const auto pieced = taken ? reader.finish() : std::unexpected(taken.error());
        ASSERT_EQ(expected.has_value(), pieced.has_value()) << "edit at " << at;
        if (expected) {
            EXPECT_EQ(*expected, *pieced);
        } else {
            EXPECT_EQ(expected.error(), pieced.error()) << "edit at " << at;
        }
    }
}

// ---- Errors -------------------------------------------------------------------------------

TEST(AuditErrorTest, DisplayTexts) {
    Hash32 expected{};
    expected[1] = 255;
    Hash32 found;
    found.fill(7);
    std::string expected_list = "[0, 255";
    for (int i = 0; i < 30; ++i) expected_list += ", 0";
    std::string found_list = "[7";
    for (int i = 0; i < 31; ++i) found_list += ", 7";
    EXPECT_EQ(AuditError::chain_broken(12, expected, found).message(),
              "Audit chain integrity broken at index 12: expected " + expected_list + "], found " + found_list + "]");
    EXPECT_EQ(AuditError::invalid_signature(3).message(), "Invalid signature at audit log index 3");
    EXPECT_EQ(AuditError::io_error(ENOENT).message(), "IO error in audit log: No such file or directory");
    EXPECT_EQ(AuditError::serialization_error("x").message(), "Serialization error in audit log: x");
    EXPECT_EQ(AuditError::crypto(CryptoError(CryptoError::Kind::InvalidSignature)).message(),
              "Cryptographic error in audit log: Invalid signature");
}

}  // namespace
}  // namespace corvel
