#include "package/signing/releasesignature.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/signing/signingkey.h"

namespace {

using signing::CanonicalForm;
using taln::UpdateItem;

UpdateItem Item(const std::string& name, std::uint64_t size, std::vector<unsigned char> hash,
                bool required, std::uint16_t index = 0) {
  UpdateItem item;
  item.index = index;
  item.name = name;
  item.size = size;
  item.hash = std::move(hash);
  item.required = required;
  return item;
}

// The form spelled out byte by byte, as docs/signing.md gives it.
TEST(ReleaseSignatureTest, CanonicalFormBytes) {
  const std::vector<UpdateItem> items = {
      Item("b", 0x0102, {0xaa, 0xbb}, false, 0),
      Item("release.sig", 92, {0x01}, true, 1),
      Item("a/x", 5, {0xcc}, true, 2),
  };
  const std::string expected =
      std::string("AUSREL01") + std::string("\x01\x00\x00\x00", 4) +  // major 1
      std::string("\x02\x00\x00\x00", 4) +                            // minor 2
      std::string("\xff\xff\xff\x7f", 4) +                            // revision 2^31-1
      std::string("\x10\x32\x54\x76\0\0\0\0", 8) +                    // signing time
      std::string("\x02\x00\x00\x00", 4) +                            // two items
      // "a/x" sorts before "b"; the index is not signed.
      std::string("\x03\x00\x00\x00", 4) + "a/x" + std::string("\x05\0\0\0\0\0\0\0", 8) +
      std::string("\x01\x00\x00\x00", 4) + "\xcc" + std::string("\x01", 1) +
      std::string("\x01\x00\x00\x00", 4) + "b" + std::string("\x02\x01\0\0\0\0\0\0", 8) +
      std::string("\x02\x00\x00\x00", 4) + "\xaa\xbb" + std::string("\x00", 1);
  EXPECT_EQ(CanonicalForm({1, 2, 2147483647}, 0x76543210, items), expected);
}

// Servers list files in their own order; the signature must not depend on it.
TEST(ReleaseSignatureTest, CanonicalFormIgnoresListOrderAndIndexes) {
  const std::vector<UpdateItem> one = {Item("a", 1, {1}, true, 0), Item("b", 2, {2}, true, 1),
                                       Item("ab", 3, {3}, false, 2)};
  const std::vector<UpdateItem> other = {Item("ab", 3, {3}, false, 7), Item("b", 2, {2}, true, 5),
                                         Item("a", 1, {1}, true, 9)};
  EXPECT_EQ(CanonicalForm({1, 0, 0}, 5, one), CanonicalForm({1, 0, 0}, 5, other));
}

TEST(ReleaseSignatureTest, SignatureFileRoundTripAndMalformedFiles) {
  const signing::ReleaseSignature signature{{4, 35, 7}, 1765380000, std::string(64, 's')};
  const std::string bytes = signing::FormatSignatureFile(signature);
  ASSERT_EQ(bytes.size(), signing::kSignatureFileBytes);
  const auto parsed = signing::ParseSignatureFile(bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->version, (Version{4, 35, 7}));
  EXPECT_EQ(parsed->signedAt, 1765380000);
  EXPECT_EQ(parsed->signature, std::string(64, 's'));

  std::string wrongTag = bytes;
  wrongTag[7] = '2';
  for (const std::string& malformed : {std::string(), bytes.substr(0, bytes.size() - 1),
                                       bytes + "x", wrongTag, std::string(92, '\0')}) {
    SCOPED_TRACE(malformed.size());
    EXPECT_FALSE(signing::ParseSignatureFile(malformed));
  }
}

TEST(ReleaseSignatureTest, VerifiesOnlyTheSignedMessageWithTheSigningKey) {
  const auto key = signing::SigningKey::Generate();
  const auto other = signing::SigningKey::Generate();
  const std::string message = CanonicalForm({1, 0, 0}, 1, {Item("a", 1, {1}, true)});
  const std::string signature = key.Sign(message);
  ASSERT_EQ(signature.size(), signing::kSignatureBytes);
  EXPECT_TRUE(signing::VerifySignature(key.Public(), message, signature));

  std::string changed = message;
  changed.back() ^= 1;
  std::string flipped = signature;
  flipped[10] ^= 0x40;
  EXPECT_FALSE(signing::VerifySignature(key.Public(), changed, signature));
  EXPECT_FALSE(signing::VerifySignature(key.Public(), message, flipped));
  EXPECT_FALSE(signing::VerifySignature(other.Public(), message, signature));
  EXPECT_FALSE(signing::VerifySignature(key.Public(), message, signature.substr(0, 63)));
  EXPECT_FALSE(signing::VerifySignature(key.Public(), message, ""));
}

TEST(ReleaseSignatureTest, KeysSurvivePemAndHex) {
  const auto key = signing::SigningKey::Generate();
  const auto read = signing::SigningKey::FromPem(key.PrivatePem());
  EXPECT_EQ(read.Public(), key.Public());
  EXPECT_NE(key.PublicPem().find("BEGIN PUBLIC KEY"), std::string::npos);
  EXPECT_THROW(signing::SigningKey::FromPem(key.PublicPem()), signing::SigningKeyError);
  EXPECT_THROW(signing::SigningKey::FromPem("junk"), signing::SigningKeyError);

  const std::string hex = signing::FormatPublicKey(key.Public());
  ASSERT_EQ(hex.size(), 64u);
  EXPECT_EQ(signing::ParsePublicKey(hex), key.Public());
}

TEST(ReleaseSignatureTest, ParsePublicKey) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  } cases[] = {
      {"lower", std::string(64, 'a'), true},
      {"upper", "0123456789ABCDEF" + std::string(48, 'F'), true},
      {"empty", "", false},
      {"63 digits", std::string(63, '0'), false},
      {"65 digits", std::string(65, '0'), false},
      {"not hex", "g" + std::string(63, '0'), false},
      {"blank inside", std::string(31, '0') + " " + std::string(32, '0'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(signing::ParsePublicKey(c.text).has_value(), c.valid);
  }
  const auto key = signing::ParsePublicKey("00ff" + std::string(60, '1'));
  ASSERT_TRUE(key);
  EXPECT_EQ((*key)[0], 0x00);
  EXPECT_EQ((*key)[1], 0xff);
  EXPECT_EQ((*key)[2], 0x11);
}

TEST(ReleaseSignatureTest, VersionOrder) {
  EXPECT_TRUE(signing::IsOlder({1, 2, 3}, {1, 2, 4}));
  EXPECT_TRUE(signing::IsOlder({1, 9, 9}, {2, 0, 0}));
  EXPECT_FALSE(signing::IsOlder({1, 2, 3}, {1, 2, 3}));
  EXPECT_FALSE(signing::IsOlder({1, 3, 0}, {1, 2, 9}));
}

}  // namespace
