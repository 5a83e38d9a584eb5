#include <gtest/gtest.h>

#include <cstring>

#include "archive/zip_crypt.h"
#include "archive/zip_dir.h"
#include "archive/zip_exception.h"
#include "archive/zip_mask.h"
#include "archive/zip_names.h"
#include "archive/zip_records.h"

namespace tarvo::archive {
namespace {

TEST(ZipRecords, CentralHeaderRoundTripsEveryField) {
  CentralDirHeader h;
  h.version_made_by = 0x0B14;
  h.version_needed = 45;
  h.flags = 0x0809;
  h.method = 8;
  h.time = 0x1234;
  h.date = 0x5678;
  h.crc32 = 0xDEADBEEF;
  h.compressed_size = 0xFFFFFFFF;
  h.uncompressed_size = 7;
  h.name_length = 3;
  h.extra_length = 4;
  h.comment_length = 5;
  h.disk_number_start = 0xFFFF;
  h.internal_attributes = 1;
  h.external_attributes = 0x10;
  h.local_header_offset = 0x01020304;
  uint8_t raw[kCentralHeaderSize];
  h.Serialize(raw);
  EXPECT_EQ(GetU32(raw), kCentralHeaderSignature);
  EXPECT_EQ(GetU32(raw + 42), 0x01020304u);
  CentralDirHeader back = CentralDirHeader::Parse(raw);
  uint8_t again[kCentralHeaderSize];
  back.Serialize(again);
  EXPECT_EQ(std::memcmp(raw, again, sizeof raw), 0);
}

TEST(ZipRecords, EndRecordsHaveTheirSizesAndSignatures) {
  EndOfCentralDir e;
  uint8_t raw[kEndRecordSize];
  e.Serialize(raw);
  const uint8_t empty[kEndRecordSize] = {0x50, 0x4B, 0x05, 0x06};
  EXPECT_EQ(std::memcmp(raw, empty, sizeof raw), 0);  // what an empty archive consists of

  Zip64EndOfCentralDir z;
  z.total_entries = 70000;
  z.directory_offset = 0x100000000ull;
  uint8_t z_raw[kZip64EndRecordSize];
  z.Serialize(z_raw);
  EXPECT_EQ(GetU64(z_raw + 4), 44u);
  auto zb = Zip64EndOfCentralDir::Parse(z_raw);
  EXPECT_EQ(zb.total_entries, 70000u);
  EXPECT_EQ(zb.directory_offset, 0x100000000ull);
}

TEST(ZipRecords, ExtraFieldBlocksAreKeptAndCut) {
  // Block 0x5455 of 5 bytes, then a block that claims 10 bytes but has 2.
  const uint8_t extra[] = {0x55, 0x54, 5, 0, 1, 2, 3, 4, 5, 0x01, 0x00, 10, 0, 0xAA, 0xBB, 0x7};
  auto blocks = ParseExtraField(extra, sizeof extra - 1);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].id, 0x5455);
  EXPECT_EQ(blocks[0].data.size(), 5u);
  EXPECT_EQ(blocks[1].id, 1);
  EXPECT_EQ(blocks[1].data, (std::vector<uint8_t>{0xAA, 0xBB}));
  ByteWriter w;
  AppendExtraBlocks(w, {blocks[0]});
  EXPECT_EQ(w.data(), std::vector<uint8_t>(extra, extra + 9));
}

TEST(ZipRecords, Zip64BlockHoldsOnlyTheOverflowingFieldsInOrder) {
  Zip64Values v;
  v.has_compressed = true;
  v.compressed_size = 0x123456789ull;
  v.has_offset = true;
  v.local_header_offset = 0x200000000ull;
  ExtraBlock b = MakeCentralZip64Block(v);
  EXPECT_EQ(b.data.size(), 16u);
  Zip64Values back = ParseZip64Block(b.data, false, true, true, false);
  EXPECT_TRUE(back.has_compressed);
  EXPECT_EQ(back.compressed_size, 0x123456789ull);
  EXPECT_EQ(back.local_header_offset, 0x200000000ull);
  // A short block gives what it has and no more.
  Zip64Values partial = ParseZip64Block(std::vector<uint8_t>(b.data.begin(), b.data.begin() + 12),
                                        false, true, true, false);
  EXPECT_TRUE(partial.has_compressed);
  EXPECT_FALSE(partial.has_offset);
  EXPECT_EQ(MakeLocalZip64Block(1, 2).data.size(), 16u);
}

TEST(ZipCrypt, CrcOfKnownText) {
  EXPECT_EQ(UpdateCrc32(0, "123456789", 9), 0xCBF43926u);
  uint32_t crc = UpdateCrc32(0, "1234", 4);
  EXPECT_EQ(UpdateCrc32(crc, "56789", 5), 0xCBF43926u);
  EXPECT_EQ(UpdateCrc32(0, "", 0), 0u);
}

TEST(ZipCrypt, RoundTripAcrossChunks) {
  std::string text = "The quick brown fox jumps over the lazy dog, twice over.";
  std::string data = text;
  ZipCipher enc("секрет");
  enc.Encipher(reinterpret_cast<uint8_t*>(data.data()), data.size());
  EXPECT_NE(data, text);
  ZipCipher dec("секрет");
  dec.Decipher(reinterpret_cast<uint8_t*>(data.data()), 10);
  dec.Decipher(reinterpret_cast<uint8_t*>(data.data()) + 10, data.size() - 10);
  EXPECT_EQ(data, text);
}

TEST(ZipCrypt, HeaderCheckUsesCrcTopByteOrTimeHighByte) {
  const uint32_t crc = 0xA1B2C3D4;
  std::array<uint8_t, 10> random{9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
  ZipCipher writer("pw");
  auto header = writer.MakeHeader(random, crc);

  ZipCipher reader("pw");
  EXPECT_TRUE(reader.CheckHeader(header.data(), crc, 0, 0));
  reader.Init("wrong");
  EXPECT_FALSE(reader.CheckHeader(header.data(), crc, 0, 0));
  // Byte 10 is not looked at: only the top byte of the CRC must agree.
  reader.Init("pw");
  EXPECT_TRUE(reader.CheckHeader(header.data(), 0xA1000000, 0, 0));
  // With flag bit 3 the check byte is the time's high byte, not the CRC's.
  reader.Init("pw");
  EXPECT_FALSE(reader.CheckHeader(header.data(), crc, 0x0000, 0x0008));
  reader.Init("pw");
  EXPECT_TRUE(reader.CheckHeader(header.data(), 0, 0xA100, 0x0008));
}

TEST(ZipCrypt, HeaderLeavesKeysReadyForTheData) {
  std::string plain = "payload";
  ZipCipher w("k");
  auto header = w.MakeHeader(RandomHeaderBytes(), 0x55000000);
  std::string data = plain;
  w.Encipher(reinterpret_cast<uint8_t*>(data.data()), data.size());
  ZipCipher r("k");
  ASSERT_TRUE(r.CheckHeader(header.data(), 0x55000000, 0, 0));
  r.Decipher(reinterpret_cast<uint8_t*>(data.data()), data.size());
  EXPECT_EQ(data, plain);
}

TEST(ZipException, MessageFormatWithAndWithoutName) {
  EZipException plain(ZipNative::kCannotCreateFile, {"C:\\Prog\\a.db"});
  EXPECT_STREQ(plain.what(), "Cannot create file \"C:\\Prog\\a.db\" - Native error: 00019");
  EXPECT_EQ(plain.ErrorCode(), 9);
  EXPECT_EQ(plain.NativeError(), 19);
  EZipException named(ZipNative::kBadSizeOrCrc, {}, "Z");
  EXPECT_STREQ(named.what(),
               "Z: Invalid size or check sum of file or unsupported compression format - Native "
               "error: 00008");
  EXPECT_EQ(ErrorCodeOfNative(8), 4);
  EXPECT_EQ(ErrorCodeOfNative(57), 27);
  EXPECT_EQ(ErrorCodeOfNative(61), 36);
  EXPECT_EQ(FormatZipMessage(ZipMessageText(17), {"10", "4"}),
            "Invalid compressed size, rfs.size = 10, count = 4");
  EXPECT_EQ(FormatZipMessage(ZipMessageText(36), {"x"}), "File name is too long: \r\n\"x\"");
}

TEST(ZipDir, NameIndexFindsWithoutCaseAndFollowsRenames) {
  TZipDirArray a;
  for (int i = 0; i < 3000; ++i) {
    TDirItem item;
    item.FileName = "Dir/File" + std::to_string(i) + ".db";
    a.Add(std::move(item));
  }
  TDirItem cyr;
  cyr.FileName = "База/Справка.TXT";
  a.Add(cyr);
  EXPECT_EQ(a.IndexOf("dir/file2999.DB"), 2999);
  EXPECT_EQ(a.IndexOf("БАЗА/справка.txt"), 3000);
  EXPECT_EQ(a.IndexOf("missing"), -1);
  a.SetName(5, "Renamed.db");
  EXPECT_EQ(a.IndexOf("renamed.DB"), 5);
  EXPECT_EQ(a.IndexOf("Dir/File5.db"), -1);
  a.Delete(0);
  EXPECT_EQ(a.IndexOf("renamed.db"), 4);
  EXPECT_THROW(a.At(-1), EZipException);
}

TEST(ZipDir, CapacityGrowsByDoublingSteps) {
  TZipDirArray a;
  a.Add(TDirItem());
  EXPECT_EQ(a.Capacity(), 1000u);
  for (int i = 1; i < 1001; ++i) a.Add(TDirItem());
  EXPECT_EQ(a.Capacity(), 3000u);  // +2000
  a.Reserve(50000);
  EXPECT_EQ(a.Capacity(), 50000u);  // straight to the need
  a.Clear();
  EXPECT_EQ(a.Capacity(), 0u);
  EXPECT_EQ(TZipStringHash("AB"), ((uint32_t{'A'} << 2) ^ 'B'));
}

TEST(ZipNames, OemUtf8AndAnsiNames) {
  const std::string cp866_name = "\x8F\xE0\xA8\xAC\xA5\xE0.txt";  // "Пример.txt"
  EXPECT_EQ(DecodeStoredName(cp866_name, 0, true), "Пример.txt");
  EXPECT_EQ(DecodeStoredName("Пример.txt", kFlagUtf8Name, true), "Пример.txt");
  // A bit-11 name that is not UTF-8 falls back to the code page.
  EXPECT_EQ(DecodeStoredName(cp866_name, kFlagUtf8Name, true), "Пример.txt");
  EXPECT_EQ(DecodeStoredName("\xCF", 0, false), "П");
  EncodedName e = EncodeStoredName("Пример.txt", true, false);
  EXPECT_EQ(e.bytes, cp866_name);
  EXPECT_FALSE(e.utf8);
  EncodedName u = EncodeStoredName("日本.txt", true, false);
  EXPECT_TRUE(u.utf8);
  EXPECT_EQ(u.bytes, "日本.txt");
}

TEST(ZipMask, EntryWildcardRules) {
  EXPECT_FALSE(ZipWildcardMatch("a", ""));
  EXPECT_TRUE(ZipWildcardMatch("noext", "*.*"));
  EXPECT_TRUE(ZipWildcardMatch("A.DB", "*.db"));
  EXPECT_TRUE(ZipWildcardMatch("СПРАВКА.txt", "справка.*"));
  EXPECT_TRUE(ZipWildcardMatch("readme", "readme."));
  EXPECT_FALSE(ZipWildcardMatch("readme.txt", "readme."));
  EXPECT_FALSE(ZipWildcardMatch("a.txt", "*."));
  EXPECT_TRUE(ZipWildcardMatch("abc", "a?c"));
  EXPECT_FALSE(ZipWildcardMatch("ac", "a?c"));
  EXPECT_TRUE(ZipWildcardMatch("a", "a*"));
  EXPECT_FALSE(ZipWildcardMatch("a", "a**"));  // "*" followed by more never tries the empty end
  EXPECT_TRUE(ZipWildcardMatch("xaybzc", "*a*b*c"));
  EXPECT_FALSE(
      ZipWildcardMatch("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST(ZipMask, DiskMaskRules) {
  EXPECT_TRUE(TMask("*?x").Matches("x"));  // "?" after "*" is dropped
  EXPECT_TRUE(TMask("[a]*").Matches("[a]b"));
  EXPECT_FALSE(TMask("[a]*").Matches("ab"));
  EXPECT_TRUE(TMask("*.*").Matches("nodot"));
  EXPECT_FALSE(TMask("*.d*").Matches("nodot"));
  EXPECT_TRUE(TMask("*.DB").Matches("base.db"));
  EXPECT_FALSE(TMask("БАЗА").Matches("база"));  // only A-Z ignore case
  EXPECT_TRUE(TMask("a*b*c").Matches("aXbYbc"));
  EXPECT_FALSE(TMask("a?").Matches("a"));
  std::string thirty, thirty_one;
  for (int i = 0; i < 30; ++i) thirty += "*a";
  thirty_one = thirty + "**b";
  EXPECT_NO_THROW(TMask{thirty});
  try {
    TMask m(thirty_one);
    FAIL();
  } catch (const EMaskException& e) {
    EXPECT_STREQ(e.what(), "'%s' is an invalid mask at (%d)");
  }
}

TEST(ZipMask, SelectionByFolderAndAttributes) {
  auto entry = [](std::string name, uint32_t attr = 0x20) {
    TDirItem d;
    d.FileName = std::move(name);
    d.header.external_attributes = attr;
    return d;
  };
  TInternalSearchRec rec;
  rec.Mask = PrepareSearchMask("C:Base\\*.*", TZipStorePathMode::spRelativePath);
  EXPECT_EQ(rec.Mask, "Base/*.*");
  EXPECT_TRUE(EntryMatchesSearch(entry("Base/a.db"), rec, true));
  EXPECT_TRUE(EntryMatchesSearch(entry("Base/sub/b.db"), rec, true));
  EXPECT_FALSE(EntryMatchesSearch(entry("Other/a.db"), rec, true));
  EXPECT_TRUE(EntryMatchesSearch(entry("base/a.db"), rec, false));
  EXPECT_FALSE(EntryMatchesSearch(entry("Base/sub/b.db"), rec, false));

  rec.Mask = "*.db";
  EXPECT_TRUE(EntryMatchesSearch(entry("Deep/Down/A.DB"), rec, true));
  rec.Mask = "*.*";
  EXPECT_TRUE(EntryMatchesSearch(entry("Sub/", 0x10), rec, true));
  rec.SearchAttr = 0x21;
  EXPECT_FALSE(EntryMatchesSearch(entry("hidden.txt", 0x22), rec, true));
  EXPECT_FALSE(EntryMatchesSearch(entry("Sub/", 0x10), rec, true));
  EXPECT_TRUE(EntryMatchesSearch(entry("ro.txt", 0x21), rec, true));
  rec.SearchAttr = 0x28BF;
  EXPECT_TRUE(EntryMatchesSearch(entry("hidden.txt", 0x22), rec, true));
}

TEST(ZipMask, StoredNamesThatLeaveTheBaseAreRefused) {
  EXPECT_EQ(SafeRelativePath("Sub/Dir/file.txt").value(), "Sub\\Dir\\file.txt");
  EXPECT_EQ(SafeRelativePath("a/../b.txt").value(), "a\\..\\b.txt");
  for (const char* bad : {"../evil.txt", "a/../../evil.txt", "/etc/passwd", "\\x", "C:\\x", "c:x",
                          "a//b", "\\\\server\\share\\x", "a/.../x/../../y", ".. /x"})
    EXPECT_FALSE(SafeRelativePath(bad).has_value()) << bad;
}

}  // namespace
}  // namespace tarvo::archive
