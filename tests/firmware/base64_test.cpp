#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "firmware/Base64.h"

namespace {

struct Decoded {
  std::optional<std::string> bytes;  // nullopt: refused
  bool terminated = false;           // a 0 byte follows the decoded bytes
};

// Decodes text held in a heap buffer of exactly its length (no terminator), so that a read past
// its end is caught by the address sanitizer.
Decoded _decode(const std::string& text) {
  std::unique_ptr<char[]> exact(new char[text.size()]);
  std::memcpy(exact.get(), text.data(), text.size());
  size_t length = 12345;
  unsigned char* bytes = base64_decode(exact.get(), text.size(), &length);
  if (bytes == nullptr) return {};
  Decoded decoded{std::string(reinterpret_cast<char*>(bytes), length), bytes[length] == 0};
  std::free(bytes);
  return decoded;
}

std::string _encode(const std::string& bytes) {
  size_t length = 0;
  char* text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
  std::string result(text, length);
  EXPECT_EQ(text[length], '\0');
  std::free(text);
  return result;
}

TEST(Base64, DecodesPaddedGroups) {
  // In "QR==" the unused low bits of the last character are not zero; they are ignored.
  const std::pair<std::string, std::string> cases[] = {
      {"QQ==", "A"},        {"QUI=", "AB"}, {"QUJD", "ABC"}, {"AP8A//7+", std::string("\x00\xFF\x00\xFF\xFE\xFE", 6)},
      {"QUJDRA==", "ABCD"}, {"QR==", "A"},
  };
  for (const auto& [text, bytes] : cases) {
    const Decoded decoded = _decode(text);
    EXPECT_EQ(decoded.bytes, bytes) << text;
    EXPECT_TRUE(decoded.terminated) << text;
  }
}

TEST(Base64, RefusesTextThatIsNotBase64) {
  const std::string cases[] = {
      "",         // nothing to decode
      "QQ=",      // length not a multiple of 4
      "QUJDR",    //
      "QQ!=",     // outside the alphabet
      "QQ-_",     // the URL-safe alphabet is not this one
      "QUJ\r",    // a carriage return left from a CRLF reply
      "QU\nD",    //
      "Q\x80==",  // bytes above 0x7F must not index outside the table
      "Q\xFFQQ",  //
      std::string("QQ\0=", 4),
      "=QQQ",      // padding before data
      "Q=Q=",      //
      "Q===",      // three padding characters
      "====",      //
      "QQ==QUJD",  // padding in a group that is not the last
  };
  for (const std::string& text : cases) EXPECT_EQ(_decode(text).bytes, std::nullopt) << text;
}

TEST(Base64, EncodesWithPaddingAndDecodesBackEveryLength) {
  EXPECT_EQ(_encode("A"), "QQ==");
  EXPECT_EQ(_encode("AB"), "QUI=");
  EXPECT_EQ(_encode("ABC"), "QUJD");
  EXPECT_EQ(_encode(""), "");
  std::string bytes;
  for (int length = 1; length <= 300; ++length) {
    bytes.push_back(static_cast<char>(length * 37));
    const std::string text = _encode(bytes);
    EXPECT_EQ(text.size(), 4 * ((bytes.size() + 2) / 3));
    EXPECT_EQ(_decode(text).bytes, bytes) << "length " << length;
  }
}

}  // namespace
