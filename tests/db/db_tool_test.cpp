// tarvo-table as a black box: its commands, output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "tests/db/db_test_util.h"

namespace tarvo::db {
namespace {

using namespace testing;

struct Result {
  int status;
  std::string out;
};

Result Tool(const std::string& args) {
  std::string cmd = std::string(TARVO_TABLE_TOOL) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  Result r{-1, ""};
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

TEST(Tool, SchemaDumpCheck) {
  std::string t = Q((SampleDir() / "db_CUSTOMER.DB").string());
  Result s = Tool("schema " + t);
  EXPECT_EQ(s.status, 0);
  EXPECT_NE(s.out.find("records 20"), std::string::npos);
  EXPECT_NE(s.out.find("  8\tComments\tM100"), std::string::npos);
  EXPECT_NE(s.out.find("index City\tsingle\tmaintained\tCity"), std::string::npos);
  Result d = Tool("dump --filter \"City = 'Aptos'\" --index City --tsv " + t);
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.out.substr(0, d.out.find('\n')),
            "CustNo\tFirstName\tLastName\tEMail\tStreet\tCity\tState/Prov\tZip/Postal Code\t"
            "Comments\tDateEntered");
  EXPECT_NE(d.out.find("\n12\tFrotus\tTortullia\t"), std::string::npos);
  EXPECT_EQ(std::count(d.out.begin(), d.out.end(), '\n'), 4);  // names and three records
  EXPECT_EQ(Tool("check " + t).status, 0);
  Result c = Tool("check " + Q((SampleDir() / "TypSammlung.DB").string()));
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("primary index (.PX) is missing"), std::string::npos);
  EXPECT_EQ(Tool("dump /nonexistent/x.db").status, 2);
  EXPECT_EQ(Tool("dump --filter \"NOPE = 1\" " + t).status, 1);
  EXPECT_EQ(Tool("frobnicate " + t).status, 3);
}

TEST(Tool, CreateAppendDeleteEmpty) {
  TempDir dir;
  std::string t = Q(dir / "k.db");
  ASSERT_EQ(Tool("create --key 1 --codepage 1251 --index kl_spr_kod=Kod " + t +
                 " Kod:A10 NAME:A40 YEAR:A4 Group_kod:I")
                .status,
            0);
  EXPECT_EQ(Tool("append " + t + " Kod=B NAME=Второй YEAR=04").status, 0);
  EXPECT_EQ(Tool("append " + t + " Kod=A NAME=Первый YEAR=05 Group_kod=7").status, 0);
  EXPECT_EQ(Tool("append " + t + " Kod=A").status, 1);  // key violation
  Result d = Tool("dump --tsv " + t);
  EXPECT_EQ(d.out, "Kod\tNAME\tYEAR\tGroup_kod\nA\tПервый\t05\t7\nB\tВторой\t04\t\n");
  EXPECT_EQ(Tool("check " + t).status, 0);
  Result del = Tool("delete --where YEAR=05 " + t);
  EXPECT_EQ(del.status, 0);
  EXPECT_NE(del.out.find("1 record(s) deleted"), std::string::npos);
  EXPECT_EQ(Tool("dump --tsv " + t).out, "Kod\tNAME\tYEAR\tGroup_kod\nB\tВторой\t04\t\n");
  EXPECT_EQ(Tool("empty " + t).status, 0);
  EXPECT_EQ(Tool("dump --tsv " + t).out, "Kod\tNAME\tYEAR\tGroup_kod\n");
  EXPECT_EQ(Tool("check " + t).status, 0);
}

}  // namespace
}  // namespace tarvo::db
