#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "common/test_util.h"
#include "istd/process.h"
#include "istd/ver_info.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Outside the anonymous namespace so that the frames have exported names.
namespace stacktest {
__attribute__((noinline)) std::string WhoCallsMe() { return istd::ThisFncName(); }
__attribute__((noinline)) std::vector<std::string> StackOf(int depth) {
  return istd::GetExecutionStack(depth);
}
}  // namespace stacktest

namespace {
using stacktest::StackOf;
using stacktest::WhoCallsMe;

TEST(ProcessTest, NamesAndIds) {
  EXPECT_STREQ(istd::GetProgName(), "istd_tests");
  EXPECT_EQ(istd::GetPid(), static_cast<int>(::getpid()));
  EXPECT_EQ(istd::GetTid(), istd::GetPid()) << "the main thread's id is the process id";
  int other = 0;
  std::thread([&] { other = istd::GetTid(); }).join();
  EXPECT_NE(other, 0);
  EXPECT_NE(other, istd::GetPid());
}

TEST(ProcessTest, CppNameDemanglesOrReturnsUnchanged) {
  EXPECT_EQ(istd::CppName("int"), "int");
  EXPECT_EQ(istd::CppName("not a mangled name"), "not a mangled name");
  EXPECT_EQ(istd::CppName(typeid(int)), "int");
  EXPECT_EQ(istd::CppName(typeid(std::vector<int>)), "std::vector<int, std::allocator<int> >");
  EXPECT_EQ(istd::CppName("_ZN4istd6GetPidEv"), "istd::GetPid()");
}


TEST(ProcessTest, ExecutionStackStartsAtCallerAndIsCapped) {
  EXPECT_TRUE(istd::GetExecutionStack(0).empty());
  const std::vector<std::string> some = StackOf(3);
  ASSERT_EQ(some.size(), 3u);
  EXPECT_THAT(some[0], HasSubstr("(stacktest::StackOf"));
  EXPECT_THAT(some[0], HasSubstr("istd_tests("));
  EXPECT_LE(istd::GetExecutionStack(1000).size(), 128u);
  EXPECT_THAT(WhoCallsMe(), HasSubstr("(stacktest::WhoCallsMe"));
}

TEST(ProcessTest, DeepStackIsCappedAt128Frames) {
  std::function<std::vector<std::string>(int)> recurse = [&](int n) {
    if (n == 0) return istd::GetExecutionStack(1000);
    std::vector<std::string> r = recurse(n - 1);
    asm volatile("" ::: "memory");  // keep the frames
    return r;
  };
  EXPECT_EQ(recurse(200).size(), 128u);
}

TEST(VerInfoTest, InitComposesVersionStringAndDumpPrintsIt) {
  testutil::ChildResult fresh = testutil::RunInChild([] {
    std::cout << "[" << istd::VerInfo::VersionString() << "][" << istd::VerInfo::Label() << "]";
  });
  EXPECT_EQ(fresh.output, "[][build info not set]");

  testutil::ChildResult child = testutil::RunInChild([] {
    istd::VerInfo::Init(2, 8, 171, 21249, "x", "gcc", "2014/11/17 15:53:46", "host", "me");
    std::cout << istd::VerInfo::GetInstance() << "|" << istd::VerInfo::Major()
              << istd::VerInfo::Minor() << "|" << istd::VerInfo::Build() << "|"
              << istd::VerInfo::Revision() << "\n";
    istd::VerInfo::Dump();
  });
  EXPECT_EQ(child.output,
            "2.8-171-r21249 x|28|171|21249\n"
            "Revision:      2.8-171-r21249 x\n"
            "Compiler:      gcc\n"
            "Build Time:    2014/11/17 15:53:46\n"
            "Build Machine: host\n"
            "Build User:    me\n");
}

TEST(VerInfoTest, LibraryCarriesFilledKeywordStrings) {
  std::ifstream lib(VARNEK_ISTD_LIBRARY_FILE, std::ios::binary);
  ASSERT_TRUE(lib.good()) << VARNEK_ISTD_LIBRARY_FILE;
  const std::string bytes((std::istreambuf_iterator<char>(lib)), std::istreambuf_iterator<char>());
  const istd::LibraryBuildInfo& info = istd::IstdBuildInfo();
  EXPECT_THAT(info.version, StartsWith("2.6."));
  EXPECT_NE(bytes.find(std::string("$ROZVersion: ") + info.version + " $"), std::string::npos);
  EXPECT_NE(bytes.find(std::string("$ROZSvnRevision: ") + info.revision + " $"), std::string::npos);
  EXPECT_NE(bytes.find(std::string("$ROZBuildCompiler: ") + info.compiler + " $"),
            std::string::npos);
  EXPECT_NE(bytes.find(std::string("$ROZBuildMachine: ") + info.machine + " $"), std::string::npos);
  EXPECT_NE(bytes.find(std::string("$ROZBuildTime: ") + info.time + " $"), std::string::npos);
  EXPECT_NE(bytes.find(std::string("$ROZBuildUser: ") + info.user + " $"), std::string::npos);
  EXPECT_STRNE(info.compiler, "");
  EXPECT_TRUE(std::regex_match(info.time, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)")));
}

}  // namespace
