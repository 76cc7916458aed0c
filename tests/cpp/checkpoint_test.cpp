// Checkpoint texts: their exact form, every malformed one refused, and signed checkpoints
// verified against the tree's root.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "note/base64.hpp"
#include "note/checkpoint.hpp"
#include "merkle/merkle_tree.hpp"
#include "note/signed_note.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

SeedNoteSigner signer(const std::string& name, std::uint8_t fill) { return test::seed_signer(name, fill); }

merkle::Hash root_of(std::uint8_t fill) {
    merkle::Hash root;
    root.fill(fill);
    return root;
}

TEST(CheckpointText, IsOriginSizeRootAndExtensionsOnePerLine) {
    Checkpoint checkpoint{"example.com/agent-7", 1234, root_of(0xAB), {}};
    const std::string root_b64 = base64_encode(root_of(0xAB));
    EXPECT_EQ(checkpoint.text().value(), "example.com/agent-7\n1234\n" + root_b64 + "\n");
    checkpoint.extensions = {"ext one", "ext two"};
    EXPECT_EQ(checkpoint.text().value(), "example.com/agent-7\n1234\n" + root_b64 + "\next one\next two\n");
    EXPECT_EQ(Checkpoint::parse(checkpoint.text().value()).value(), checkpoint);

    const Checkpoint largest{"o", UINT64_MAX, root_of(1), {}};
    EXPECT_EQ(Checkpoint::parse(largest.text().value()).value(), largest);
    const Checkpoint empty_tree{"o", 0, merkle::empty_root(), {}};
    EXPECT_EQ(Checkpoint::parse(empty_tree.text().value()).value(), empty_tree);
}

TEST(CheckpointText, MalformedTextsAreRefused) {
    const std::string root = base64_encode(root_of(1)) + "\n";
    const std::vector<std::string> texts = {
             std::string("o\n5\n"),                              // no root
             "o\n5\n" + root.substr(0, root.size() - 1),          // no final newline
             "\n5\n" + root,                                     // empty origin
             "o\n05\n" + root,                                   // leading zero
             "o\n+5\n" + root, "o\n-5\n" + root, "o\n 5\n" + root, "o\n5 \n" + root, "o\n\n" + root,
             "o\n0x5\n" + root,
             "o\n18446744073709551616\n" + root,                 // 2^64
             "o\n5\n" + base64_encode(Bytes(31, 1)) + "\n",      // 31-byte root
             "o\n5\n" + base64_encode(Bytes(33, 1)) + "\n",
             std::string("o\n5\nAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQF=\n"),  // stray bits
             "o\n5\n" + root + "\n",                             // empty extension line
             "o\n5\n" + root + "ext\n\n",
             "o\t\n5\n" + root,                                  // control character
             "o p\n5\n" + root,                                 // spaces: the origin names the key
             "o\xC2\xA0p\n5\n" + root, "o\xE3\x80\x80p\n5\n" + root, "o\xE2\x80\xA8p\n5\n" + root,
    };
    for (const std::string& text : texts) {
        auto parsed = Checkpoint::parse(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error().kind(), NoteError::Kind::BadCheckpoint) << text;
    }
    for (const Checkpoint& bad : {Checkpoint{"", 1, {}, {}}, Checkpoint{"a\nb", 1, {}, {}},
                                  Checkpoint{"o", 1, {}, {""}}, Checkpoint{"o", 1, {}, {"x\ny"}},
                                  Checkpoint{"o\xE1\x9A\x80p", 1, {}, {}}}) {
        EXPECT_EQ(bad.text().error().kind(), NoteError::Kind::BadCheckpoint);
    }
}

TEST(SignedCheckpoint, VerifiesUnderItsKeyAndYieldsTheTreesSizeAndRoot) {
    auto tree = merkle::MerkleTree::open(std::make_unique<merkle::MemoryNodeStore>()).value();
    for (std::uint8_t i = 0; i < 37; ++i) ASSERT_TRUE(tree.append(merkle::leaf_hash(Bytes(32, i))));
    const SeedNoteSigner log = signer("example.com/agent-7", 9);
    const Checkpoint checkpoint{"example.com/agent-7", tree.size(), tree.root(), {}};
    const std::string note = sign_checkpoint(checkpoint, log).value();
    const VerifierKey key = VerifierKey::parse(log.verifier_key().text()).value();

    const Checkpoint verified = verify_checkpoint(note, key, "example.com/agent-7").value();
    EXPECT_EQ(verified, checkpoint);
    EXPECT_EQ(verify_checkpoint(note, key).value(), checkpoint);
    EXPECT_EQ(verify_checkpoint(note, key, "example.com/agent-8").error().message(),
              "Checkpoint origin \"example.com/agent-7\" is not the expected one");

    // Cosigned by a witness: still the log's checkpoint.
    const std::string witnessed = sign_note(checkpoint.text().value(), signer("witness", 10)).value();
    const std::string cosigned = note + witnessed.substr(witnessed.rfind("\n\n") + 2);
    EXPECT_EQ(verify_checkpoint(cosigned, key).value(), checkpoint);

    // Signed by another key under the same name; a changed size; a note that is no checkpoint.
    const std::string forged = sign_checkpoint(checkpoint, signer("example.com/agent-7", 11)).value();
    EXPECT_EQ(verify_checkpoint(forged, key).error().kind(), NoteError::Kind::NoKnownSignature);
    std::string changed = note;
    changed.replace(changed.find("\n37\n"), 4, "\n38\n");
    EXPECT_EQ(verify_checkpoint(changed, key).error().kind(), NoteError::Kind::BadSignature);
    const std::string not_checkpoint = sign_note("example.com/agent-7\n37\n", log).value();
    EXPECT_EQ(verify_checkpoint(not_checkpoint, key).error().kind(), NoteError::Kind::BadCheckpoint);
}

}  // namespace
}  // namespace corvel
