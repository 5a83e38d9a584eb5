#include "tools/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo::tools {
namespace {

const std::set<std::string> kValues = {"--password", "--level"};
const std::set<std::string> kFlags = {"--tsv"};

TEST(CommandLineTest, ValuesFlagsAndPositionalWordsKeepTheirOrderAndMeaning) {
  CommandLine cl;
  ASSERT_TRUE(ParseCommandLine({"tool", "cmd", "a.zip", "--password", "--tsv", "--level", "3",
                                "*.txt", "--tsv", "--level", "5"},
                               2, kValues, kFlags, UnknownOption::kRefused, cl));
  // A value option takes the next word whatever it is, so a password may look like a switch.
  EXPECT_EQ(cl.Value("--password"), "--tsv");
  EXPECT_EQ(cl.Value("--level"), "5");  // the last one given
  EXPECT_TRUE(cl.Has("--tsv"));
  EXPECT_EQ(cl.positional, (std::vector<std::string>{"a.zip", "*.txt"}));
  EXPECT_FALSE(cl.Has("--exclude"));
  EXPECT_EQ(cl.Value("--exclude"), "");
}

TEST(CommandLineTest, AnEmptyValueIsStillGiven) {
  // tarvo-zip tells "--password ''" (try the empty password) from no password at all.
  CommandLine cl;
  ASSERT_TRUE(ParseCommandLine({"tool", "--password", ""}, 1, kValues, kFlags,
                               UnknownOption::kRefused, cl));
  EXPECT_TRUE(cl.Has("--password"));
  EXPECT_EQ(cl.Value("--password"), "");
  EXPECT_TRUE(cl.positional.empty());
}

TEST(CommandLineTest, AMissingValueAndUnknownOptionsAsTheToolWants) {
  CommandLine missing;
  EXPECT_FALSE(ParseCommandLine({"tool", "a", "--level"}, 1, kValues, kFlags,
                                UnknownOption::kPositional, missing));
  CommandLine refused;
  EXPECT_FALSE(ParseCommandLine({"tool", "--verbose", "a"}, 1, kValues, kFlags,
                                UnknownOption::kRefused, refused));
  CommandLine kept;
  ASSERT_TRUE(ParseCommandLine({"tool", "--verbose", "a"}, 1, kValues, kFlags,
                               UnknownOption::kPositional, kept));
  EXPECT_EQ(kept.positional, (std::vector<std::string>{"--verbose", "a"}));
  // Nothing before `first` is read: the program name and the command stay out.
  CommandLine from_two;
  ASSERT_TRUE(ParseCommandLine({"--tsv", "--tsv", "x"}, 2, kValues, kFlags, UnknownOption::kRefused,
                               from_two));
  EXPECT_FALSE(from_two.Has("--tsv"));
  EXPECT_EQ(from_two.positional, (std::vector<std::string>{"x"}));
}

}  // namespace
}  // namespace tarvo::tools
