#include "dbhelper/utf.h"

#include <gtest/gtest.h>

namespace dbhelper {
namespace {

TEST(UtfTest, DecodesStandardAndModifiedUtf8) {
  const struct {
    std::string bytes;
    std::u16string units;
  } cases[] = {
      {"abc", u"abc"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},                // standard 4-byte emoji
      {"\xED\xA0\xBD\xED\xB8\x80", u"\U0001F600"},        // modified UTF-8: surrogates one by one
      {"\xC0\x80", std::u16string(1, u'\0')},             // modified UTF-8 NUL
      {"a\xFF" "b", u"a\uFFFD" "b"},                      // invalid byte
      {"\xE2\x82", u"\uFFFD\uFFFD"},                      // truncated sequence
      {"\xC1\xBF", u"\uFFFD\uFFFD"},                      // overlong
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(decodeUtf8(c.bytes), c.units) << c.bytes;
}

TEST(UtfTest, EncodesStandardUtf8AndRoundTripsLoneSurrogates) {
  EXPECT_EQ(encodeUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(encodeUtf8(u"x\u00E9"), "x\xC3\xA9");
  const std::u16string odd = {u'a', 0xD800, u'b', 0xDC00, 0xDBFF};
  EXPECT_EQ(decodeUtf8(encodeUtf8(odd)), odd);
}

TEST(UtfTest, CanonicalFormJoinsModifiedUtf8SurrogatePairsOnly) {
  EXPECT_EQ(canonicalUtf8("N\xED\xA0\xBD\xED\xB8\x80x"), "N\xF0\x9F\x98\x80x");
  for (const std::string same : {"abc", "\xF0\x9F\x98\x80", "\xED\xA0\xBD", "\xED\xB8\x80\xED\xA0\xBD",
                                 "\xC0\x80", "\xED\xA0"}) {
    EXPECT_EQ(canonicalUtf8(same), same);
  }
}

}  // namespace
}  // namespace dbhelper
