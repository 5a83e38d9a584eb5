#include "text/profile.h"

#include <gtest/gtest.h>

namespace tarvo::text {
namespace {

TEST(Profile, SectionsAndKeysIgnoreCaseFirstOccurrenceWins) {
  const auto ini = ProfileFile::Parse(
      "[Info]\r\nCaption=First\r\ncaption=Second\r\n[INFO]\r\nOther=x\r\n[backup]\r\nK=v\r\n");
  EXPECT_EQ(ini.ReadString("info", "CAPTION"), "First");
  EXPECT_EQ(ini.ReadString("Backup", "k"), "v");
  // Only the first section of a name is searched.
  EXPECT_EQ(ini.ReadString("Info", "Other"), "");
  EXPECT_EQ(ini.ReadString("Missing", "Caption"), "");
  EXPECT_EQ(ini.ReadString("Info", "Missing"), "");
}

TEST(Profile, BlanksAndOnePairOfQuotesAreStripped) {
  const auto ini = ProfileFile::Parse(
      "[S]\n  Key one  =   spaced value \t\nq=\"quoted\"\nqq=\"\"twice\"\"\nsq='single'\n"
      "half=\"open\nmixed=\"a'\ninner=a \"b\" c\nempty=\nbare\n");
  EXPECT_EQ(ini.ReadString("S", "Key one"), "spaced value");
  EXPECT_EQ(ini.ReadString("S", "q"), "quoted");
  EXPECT_EQ(ini.ReadString("S", "qq"), "\"twice\"");
  EXPECT_EQ(ini.ReadString("S", "sq"), "single");
  EXPECT_EQ(ini.ReadString("S", "half"), "\"open");
  EXPECT_EQ(ini.ReadString("S", "mixed"), "\"a'");
  EXPECT_EQ(ini.ReadString("S", "inner"), "a \"b\" c");
  EXPECT_EQ(ini.ReadString("S", "empty"), "");
  EXPECT_EQ(ini.ReadString("S", "bare"), "");
}

TEST(Profile, ValuesAreCutAt2047Characters) {
  const std::string ini_text = "[S]\nlong=" + std::string(3000, 'x') + "\n";
  const auto ini = ProfileFile::Parse(ini_text);
  EXPECT_EQ(ini.ReadString("S", "long").size(), 2047u);
  // The buffer is filled before the closing quote is dropped.
  const auto quoted = ProfileFile::Parse("[S]\nq=\"" + std::string(2047, 'd') + "\"\n");
  EXPECT_EQ(quoted.ReadString("S", "q").size(), 2046u);
  const auto fits = ProfileFile::Parse("[S]\nq=\"" + std::string(2046, 'd') + "\"\n");
  EXPECT_EQ(fits.ReadString("S", "q"), std::string(2046, 'd'));
}

TEST(Profile, TextIsWindows1251UnlessMarkedUtf8) {
  const auto ansi = ProfileFile::Parse("[\xC8\xED\xF4\xEE]\n\xCA\xEB\xFE\xF7=\xC7\xED\xE0\xF7\n");
  EXPECT_EQ(ansi.ReadString("Инфо", "ключ"), "Знач");
  const auto utf8 = ProfileFile::Parse("\xEF\xBB\xBF[Info]\nCaption=Обновление\n");
  EXPECT_EQ(utf8.ReadString("Info", "Caption"), "Обновление");
}

TEST(Profile, IntegersDecimalHexAndDefaults) {
  const auto ini = ProfileFile::Parse(
      "[S]\na=12\nb=-7\nc=0x1F\nd=0X0\ne=$1\nf=0x\ng=yes\nh=\ni=2147483648\nj=0xFFFFFFFF\n"
      "k=12abc\nl=+5\nm=-$10\n");
  EXPECT_EQ(ini.ReadInteger("S", "a", 99), 12);
  EXPECT_EQ(ini.ReadInteger("S", "b", 99), -7);
  EXPECT_EQ(ini.ReadInteger("S", "c", 99), 31);
  EXPECT_EQ(ini.ReadInteger("S", "d", 99), 0);
  EXPECT_EQ(ini.ReadInteger("S", "e", 99), 1);
  EXPECT_EQ(ini.ReadInteger("S", "f", 99), 99);  // "0x" alone is too short to be hexadecimal
  EXPECT_EQ(ini.ReadInteger("S", "g", 99), 99);
  EXPECT_EQ(ini.ReadInteger("S", "h", 99), 99);
  EXPECT_EQ(ini.ReadInteger("S", "i", 99), 99);  // out of range
  EXPECT_EQ(ini.ReadInteger("S", "j", 99), -1);  // hexadecimal may use all 32 bits
  EXPECT_EQ(ini.ReadInteger("S", "k", 99), 99);
  EXPECT_EQ(ini.ReadInteger("S", "l", 99), 5);
  EXPECT_EQ(ini.ReadInteger("S", "m", 99), -16);
  EXPECT_EQ(ini.ReadInteger("S", "missing", -3), -3);
}

TEST(Profile, Booleans) {
  const auto ini = ProfileFile::Parse("[S]\ntwo=2\nminus=-1\nyes=yes\nzero=0x0\nhex=$1\n");
  EXPECT_TRUE(ini.ReadBool("S", "two", false));
  EXPECT_TRUE(ini.ReadBool("S", "minus", false));
  EXPECT_FALSE(ini.ReadBool("S", "yes", false));
  EXPECT_TRUE(ini.ReadBool("S", "yes", true));
  EXPECT_FALSE(ini.ReadBool("S", "zero", true));
  EXPECT_TRUE(ini.ReadBool("S", "hex", false));
}

}  // namespace
}  // namespace tarvo::text
