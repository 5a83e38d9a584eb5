#include "platform/pe_version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "platform/services.h"
#include "tests/platform/pe_builder.h"

namespace tarvo::platform {
namespace {

using tarvo::testing::PeImage;
using tarvo::testing::VersionResource;
using tarvo::testing::VersionSpec;

const std::vector<std::string> kNames = {"FileVersion", "ProductVersion", "Comments"};

VersionSpec ProductSpec() {
  VersionSpec shape;
  shape.strings = {{"CompanyName", "Tarvo"}, {"FileVersion", "7.2.5.0"}, {"ProductVersion", "b"}};
  return shape;
}

TEST(PeVersion, ReadsStringsUnderTheFirstTranslation) {
  const auto s = ReadPeVersionStrings(PeImage(VersionResource(ProductSpec())), kNames);
  EXPECT_TRUE(s.has_resource);
  EXPECT_TRUE(s.has_translation);
  EXPECT_EQ(s.values[0], "7.2.5.0");
  EXPECT_EQ(s.values[1], "b");
  EXPECT_FALSE(s.values[2].has_value());
}

TEST(PeVersion, NamesAndTableKeysIgnoreCase) {
  VersionSpec shape = ProductSpec();
  shape.table_key = "041904E3";
  shape.strings = {{"FILEVERSION", "1.0"}};
  const auto s = ReadPeVersionStrings(PeImage(VersionResource(shape)), {"fileversion"});
  EXPECT_EQ(s.values[0], "1.0");
}

TEST(PeVersion, WithoutTranslationOrResource) {
  VersionSpec shape = ProductSpec();
  shape.translation.reset();
  const auto no_translation = ReadPeVersionStrings(PeImage(VersionResource(shape)), kNames);
  EXPECT_TRUE(no_translation.has_resource);
  EXPECT_FALSE(no_translation.has_translation);
  EXPECT_FALSE(no_translation.values[0].has_value());

  // A translation naming a table that is not there finds nothing.
  VersionSpec other = ProductSpec();
  other.translation = std::make_pair(uint16_t{0x0409}, uint16_t{0x04B0});
  const auto mismatch = ReadPeVersionStrings(PeImage(VersionResource(other)), kNames);
  EXPECT_TRUE(mismatch.has_translation);
  EXPECT_FALSE(mismatch.values[0].has_value());

  const auto none = ReadPeVersionStrings(PeImage(""), kNames);
  EXPECT_FALSE(none.has_resource);
  EXPECT_FALSE(ReadPeVersionStrings("not a PE file at all", kNames).has_resource);
}

TEST(PeVersion, DamagedImagesNeverCrash) {
  const std::string image = PeImage(VersionResource(ProductSpec()));
  for (size_t n = 0; n < image.size(); ++n) {
    ReadPeVersionStrings(image.substr(0, n), kNames);
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = image;
    for (int k = 0; k < 4; ++k) {
      damaged[rng() % damaged.size()] = static_cast<char>(rng());
    }
    const auto s = ReadPeVersionStrings(damaged, kNames);
    for (const auto& v : s.values) {
      if (v) {
        EXPECT_LT(v->size(), damaged.size());
      }
    }
  }
}

TEST(PeVersion, AgreesWithTheSystemReader) {
  // On Windows this is the real version API; on Linux the stand-in that uses our reader.
  Services services = MakeSystemServices();
  const std::string path = services.fs->TempFolder() + "tarvo_pe_version_test.exe";
  VersionSpec with_comments = ProductSpec();
  with_comments.strings.push_back({"Comments", "a longer text, with commas"});
  VersionSpec no_translation = ProductSpec();
  no_translation.translation.reset();
  for (const std::string& image : {PeImage(VersionResource(with_comments)),
                                   PeImage(VersionResource(no_translation)), PeImage("")}) {
    {
      std::ofstream out(path, std::ios::binary);
      out << image;
    }
    const auto system = services.version->Read(path, kNames);
    const auto ours = ReadPeVersionStrings(image, kNames);
    EXPECT_EQ(system.has_resource, ours.has_resource);
    EXPECT_EQ(system.has_translation, ours.has_translation);
    EXPECT_EQ(system.values, ours.values);
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarvo::platform
