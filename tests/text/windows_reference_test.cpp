// Our conversions and profile reading against the Windows functions themselves.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "text/codepage.h"
#include "text/profile.h"

namespace tarvo::text {
namespace {

TEST(WindowsReference, RussianCodePagesAreActive) {
  ASSERT_EQ(GetACP(), 1251u) << "run under a Russian locale (LANG=ru_RU.UTF-8)";
  ASSERT_EQ(GetOEMCP(), 866u);
}

TEST(WindowsReference, CharToOemAndOemToCharForEveryByte) {
  for (int b = 1; b < 256; ++b) {
    const char in[2] = {static_cast<char>(b), 0};
    char oem[2] = {0, 0};
    char ansi[2] = {0, 0};
    CharToOemA(in, oem);
    OemToCharA(in, ansi);
    EXPECT_EQ(Cp1251ToCp866(std::string(1, in[0])), std::string(1, oem[0])) << "CharToOemA " << b;
    EXPECT_EQ(Cp866ToCp1251(std::string(1, in[0])), std::string(1, ansi[0])) << "OemToCharA " << b;
  }
}

struct Query {
  std::string section;
  std::string key;
};

void CompareWithWindows(const std::string& name, const std::string& bytes,
                        const std::vector<Query>& queries) {
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string path = std::string(temp) + name;
  {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
  }
  const ProfileFile ini = ProfileFile::Parse(bytes);
  for (const Query& q : queries) {
    std::vector<char> buffer(2048, '\0');
    GetPrivateProfileStringA(Utf8ToCp1251(q.section).c_str(), Utf8ToCp1251(q.key).c_str(), "",
                             buffer.data(), 2048, path.c_str());
    EXPECT_EQ(ini.ReadString(q.section, q.key), Cp1251ToUtf8(buffer.data()))
        << name << " [" << q.section << "] " << q.key;
  }
  DeleteFileA(path.c_str());
}

TEST(WindowsReference, ProfileTextReadsOfAwkwardFiles) {
  CompareWithWindows("dup.ini",
                     "[Info]\r\nCaption=one\r\nCAPTION=two\r\n[info]\r\nCaption=three\r\n"
                     "Late=only in the second\r\n",
                     {{"Info", "Caption"}, {"INFO", "caption"}, {"Info", "Late"}});
  CompareWithWindows(
      "quotes.ini",
      "[S]\r\na=\"x\"\r\nb='y'\r\nc=\"\"z\"\"\r\nd=\"open\r\ne=\"a'\r\nf= \" pad \" \r\n"
      "g=\"\r\nh=''\r\n",
      {{"S", "a"},
       {"S", "b"},
       {"S", "c"},
       {"S", "d"},
       {"S", "e"},
       {"S", "f"},
       {"S", "g"},
       {"S", "h"}});
  CompareWithWindows("blanks.ini",
                     "  [S]  \r\n\tkey\t=\t value with  inner  blanks \t\r\n  spaced key = v \r\n"
                     "novalue\r\n=no name\r\nx==y\r\n",
                     {{"S", "key"},
                      {"S", "spaced key"},
                      {"S", " spaced key "},
                      {"S", "novalue"},
                      {"S", ""},
                      {"S", "x"},
                      {" S ", "key"}});
  CompareWithWindows(
      "sections.ini",
      "top=before any section\r\n[A]\r\nk=1\r\n[B\r\nk=2\r\n[C]x\r\nk=3\r\n[]\r\nk=4\r\n",
      {{"A", "k"}, {"B", "k"}, {"C", "k"}, {"", "k"}, {"Missing", "k"}, {"A", "top"}});
  CompareWithWindows("long.ini",
                     "[S]\r\nlong=" + std::string(2046, 'a') + "\r\nlonger=" +
                         std::string(2047, 'b') + "\r\nlongest=" + std::string(5000, 'c') +
                         "\r\nquoted=\"" + std::string(2047, 'd') + "\"\r\n",
                     {{"S", "long"}, {"S", "longer"}, {"S", "longest"}, {"S", "quoted"}});
  // Wine folds only ASCII letters in names, Windows all; our names are ASCII, so Cyrillic names
  // are compared here in their own case only.
  CompareWithWindows("cyrillic.ini",
                     "[\xC8\xED\xF4\xEE]\r\n\xCA\xEB\xFE\xF7=\xC7\xED\xE0\xF7\xE5\xED\xE8\xE5\r\n"
                     "\xEA\xEB\xFE\xF7=second\r\n",
                     {{"Инфо", "Ключ"}});
  CompareWithWindows("comments.ini", "[S]\r\n;k=commented\r\nk=real\r\n# hash=1\r\n",
                     {{"S", "k"}, {"S", ";k"}, {"S", "# hash"}});
  CompareWithWindows("lineends.ini", "[S]\na=unix\n[T]\r\nb=dos\r\n", {{"S", "a"}, {"T", "b"}});
}

}  // namespace
}  // namespace tarvo::text
