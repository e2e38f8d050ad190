// Whole runs: how the command line and the user's language reach the
// installer tool's main command line, and how options that do not fit end
// the run.
#include <gtest/gtest.h>

#include <string>

#include "driver/install_options.h"
#include "support/machine_fixture.h"

namespace {

using test::kPackagePath;
using test::kStagingDir;
using test::kToolPath;

const std::string kHead = "\"" + kToolPath + "\" /i \"" + kPackagePath + "\" ";

class RunOptionsTest : public test::MachineTest {};

struct LineRow {
  const char* name;
  const char* arguments;  // after the program's name
  LANGID userLanguage;
  std::string expected;   // the main command line, exactly
  UINT codePage = 1252;
};

TEST_F(RunOptionsTest, MainCommandLineCarriesTheOptions) {
  const LineRow rows[] = {
      {"no arguments", "", 1033, kHead + " WRAPPER=1"},
      {"only /s", "/s", 1033, kHead + " /qn ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"},
      {"accepted /lang=1041", "/lang=1041", 1033, kHead + "TRANSFORMS=:1041  WRAPPER=1"},
      {"/s and a pass-through /qn", "/s /qn", 1033, kHead + "/qn  ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"},
      {"/s and an argument beginning with /qn", "/s /qn+", 1033,
       kHead + "/qn+  ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"},
      {"/s and /qn inside /v", "/s /v\\\"/qn\\\"", 1033,
       kHead + " /qn  ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"},
      {"/s and /QN", "/s /QN", 1033, kHead + "/QN  /qn ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"},
      {"/s and ADDLOCAL=ALL", "/s ADDLOCAL=ALL", 1033, kHead + "ADDLOCAL=ALL  /qn WRAPPER=1"},
      {"/s and ADDLOCAL=ALL inside /v", "/s /vADDLOCAL=ALL", 1033,
       kHead + " ADDLOCAL=ALL  /qn ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"},
      {"Japanese user", "", 1041, kHead + "TRANSFORMS=:1041  WRAPPER=1"},
      {"Japanese user, rejected /lang=1036", "/lang=1036", 1041, kHead + "TRANSFORMS=:1041  WRAPPER=1"},
      {"Japanese user chooses English", "/lang=1033", 1041, kHead + " WRAPPER=1"},
      {"German user falls back to English", "", 1031, kHead + " WRAPPER=1"},
      {"folder options are not passed on", "/INSTALLDIRPUBZLP=D:\\rt \"/INSTALLDIRVESKDB=D:\\d b\"", 1033,
       kHead + " WRAPPER=1"},
      {"pass-through keeps the split's text", "\"A=1 2\" B=\\\"x\\\"", 1033, kHead + "A=1 2 B=\"x\"  WRAPPER=1"},
      {"Japanese system: the second byte of a character is no backslash", "\"/INSTALLDIRPUBZLP=D:\\\x95\x5c\" /s",
       1041, kHead + "TRANSFORMS=:1041  /qn ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1", 932},
  };
  for (const LineRow& row : rows) {
    SCOPED_TRACE(row.name);
    sim::Reset();
    ForgetWindowsVersionForTesting();
    sim::RegSetString(test::kInstallerKey, "InstallerLocation", "C:\\Windows\\system32");
    sim::SetUserLangId(row.userLanguage);
    sim::SetCodePage(row.codePage);
    sim::SetCommandLine(std::string("\"C:\\Downloads\\qmb-setup.exe\" ") + row.arguments);
    AddPayload();
    FakeInstaller(0);
    size_t before = Runs().size();  // the fixture keeps the earlier rows' runs
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(r.code, 0);
    auto runs = Runs();
    ASSERT_EQ(runs.size(), before + 1);
    EXPECT_EQ(runs.back().commandLine, row.expected);
  }
}

TEST_F(RunOptionsTest, OptionsBeyondTheirTextsEndTheRunBeforeTheVersionGate) {
  const std::string rows[] = {
      std::string(PassThroughArgs::kCapacity, 'a'),                    // with its blank: 1024
      "/v" + std::string(PassThroughArgs::kCapacity - 1, 'a'),         // " " + 1022 + " "
      "/INSTALLDIRPUBZLP=" + std::string(CommandText::kCapacity + 1, 'd'),
  };
  for (const std::string& argument : rows) {
    SCOPED_TRACE(argument.substr(0, 20));
    sim::Reset();
    ForgetWindowsVersionForTesting();
    sim::SetMsiVersion(0x00020000, 0x0A27FFFF);  // too old: the gate would show its message
    sim::SetCommandLine("qmb-setup.exe /s " + argument);
    AddPayload();
    FakeInstaller(0);
    size_t before = Runs().size();
    sim::RunResult r = RunWinMain();
    EXPECT_FALSE(r.exitProcessCalled);
    EXPECT_EQ(r.code, 1639);
    EXPECT_TRUE(sim::MessageBoxes().empty()) << "the gate is not reached";
    EXPECT_FALSE(sim::Exists(test::kDataFolder + "\\Qor")) << "nothing is written";
    EXPECT_EQ(Runs().size(), before);
  }
}

TEST_F(RunOptionsTest, LongestPassThroughThatFitsReachesTheGate) {
  sim::SetMsiVersion(0x00020000, 0x0A27FFFF);
  sim::SetCommandLine("qmb-setup.exe " + std::string(PassThroughArgs::kCapacity - 1, 'a'));
  EXPECT_EQ(RunWinMain().code, -2);
}

TEST_F(RunOptionsTest, SilentDefaultsThatDoNotFitEndTheRunAfterCleanup) {
  // 1021 characters parse; " /qn" would make 1025.
  sim::SetCommandLine("qmb-setup.exe /s " + std::string(PassThroughArgs::kCapacity - 3, 'a'));
  AddPayload();
  FakeInstaller(0);
  sim::RunResult r = RunWinMain();
  EXPECT_EQ(r.code, 1639);
  EXPECT_TRUE(Runs().empty());
  EXPECT_EQ(sim::CountCalls("CreateThread"), 0u);
  EXPECT_EQ(sim::CountCalls("CreateFileA(" + kPackagePath), 1u) << "the package was written";
  EXPECT_FALSE(sim::Exists(kStagingDir)) << "and removed again";
}

}  // namespace
