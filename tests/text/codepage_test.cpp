#include "text/codepage.h"

#include <gtest/gtest.h>

namespace tarvo::text {
namespace {

TEST(CodePage, EveryByteRoundTripsThroughUtf8) {
  for (CodePage cp : {CodePage::kWindows1251, CodePage::kCp866}) {
    for (int b = 0; b < 256; ++b) {
      const std::string byte(1, static_cast<char>(b));
      const std::string utf8 = ToUtf8(byte, cp);
      ASSERT_TRUE(IsValidUtf8(utf8)) << b;
      auto back = FromUtf8Exact(utf8, cp);
      ASSERT_TRUE(back.has_value()) << "code page " << static_cast<int>(cp) << " byte " << b;
      EXPECT_EQ(*back, byte);
    }
  }
}

TEST(CodePage, RussianLettersInBothCodePages) {
  EXPECT_EQ(Cp1251ToUtf8("\xC0\xE1\xE2\xE3\xA8\xB8\xFF"), "АбвгЁёя");
  EXPECT_EQ(Cp866ToUtf8("\x80\xA1\xA2\xA3\xF0\xF1\xEF"), "АбвгЁёя");
  EXPECT_EQ(Utf8ToCp866("Сборники пользователя"),
            "\x91\xA1\xAE\xE0\xAD\xA8\xAA\xA8 \xAF\xAE\xAB\xEC\xA7\xAE\xA2\xA0\xE2\xA5\xAB\xEF");
  EXPECT_EQ(Cp866ToUtf8("\xFC"), "№");
  EXPECT_EQ(Cp1251ToUtf8("\xB9"), "№");
}

TEST(CodePage, BestFitAsWindowsConverts) {
  // Characters of one code page that the other lacks.
  EXPECT_EQ(Cp1251ToCp866("\xAB"), "<");     // «
  EXPECT_EQ(Cp1251ToCp866("\x95"), "\x07");  // bullet
  EXPECT_EQ(Cp1251ToCp866("\x88"), "?");     // euro sign has no stand-in
  EXPECT_EQ(Cp866ToCp1251("\xC4"), "-");     // box drawing ─
  EXPECT_EQ(Cp866ToCp1251("\xB3"), "\xA6");  // │ becomes ¦
  EXPECT_EQ(Cp866ToCp1251("\xFB"), "v");     // √
  EXPECT_EQ(FromUtf8("日本", CodePage::kCp866), "??");
  EXPECT_FALSE(FromUtf8Exact("«", CodePage::kCp866).has_value());
  EXPECT_FALSE(FromUtf8Exact("\xFF", CodePage::kCp866).has_value());  // not UTF-8
}

TEST(CodePage, Utf16AndBadSequences) {
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("Ёж 😀")), "Ёж 😀");
  EXPECT_EQ(Utf8ToUtf16("😀").size(), 2u);
  EXPECT_EQ(Utf8ToUtf32("a\xC0\x80z"), U"a\uFFFD\uFFFDz");  // overlong
  EXPECT_EQ(Utf8ToUtf32("\xE2\x82"), U"\uFFFD\uFFFD");      // truncated
  EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");      // lone surrogate
}

TEST(Case, CyrillicAndLatin) {
  EXPECT_EQ(ToUpperUtf8("ёлка Straße є ґ"), "ЁЛКА STRAßE Є Ґ");
  EXPECT_EQ(ToLowerUtf8("АБВ ЯЁ ЇІ ÀÉ"), "абв яё їі àé");
  EXPECT_TRUE(EqualsIgnoreCase("Kl_SPR.db", "kl_spr.DB"));
  EXPECT_TRUE(EqualsIgnoreCase("Сборники", "СБОРНИКИ"));
  EXPECT_FALSE(EqualsIgnoreCase("abc", "abcd"));
  EXPECT_LT(CompareIgnoreCase("abc", "ABD"), 0);
  EXPECT_GT(CompareIgnoreCase("abcd", "ABC"), 0);
}

TEST(Wildcard, StarsQuestionMarksAndCase) {
  EXPECT_TRUE(WildcardMatch("*.db", "Base8491.DB"));
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_TRUE(WildcardMatch("a?c", "ABC"));
  EXPECT_FALSE(WildcardMatch("a?c", "ac"));
  EXPECT_TRUE(WildcardMatch("*смет*", "Открытые СМЕТЫ"));
  EXPECT_TRUE(WildcardMatch("**a*b*c", "xaxbxc"));
  EXPECT_FALSE(WildcardMatch("*a*b*c", "xaxbx"));
  // Many stars against a long name must not take exponential time.
  EXPECT_FALSE(WildcardMatch(std::string(40, '*') + "b", std::string(5000, 'a')));
}

}  // namespace
}  // namespace tarvo::text
