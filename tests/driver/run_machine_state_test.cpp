// Whole runs through what the machine holds after the installer ran: the
// reinstall request, the silent follow-ups and the updater phase.
#include <gtest/gtest.h>

#include <functional>

#include "support/machine_fixture.h"

namespace {

using test::kKitFolder;
using test::kKitKey;
using test::kRegistrationTool;
using test::kRuntimeKey;
using test::kSettingsKey;
using test::kToolPath;

const std::string kAuFolder = test::kDataFolder + "\\Qor\\Vesk\\AU";

class RunMachineStateTest : public test::MachineTest {
 protected:
  // The kit's installer, and the updater's registration tool beside it.
  void Installer(std::function<DWORD(int)> act) {
    MachineTest::Installer(std::move(act));
    RecordedProgram(kRegistrationTool);
  }
  void SetCommandLine(const std::string& args) { sim::SetCommandLine("qmb-setup.exe " + args); }
  // Writes InstallStatus as the package does: the letters without a terminator.
  static void PackageWritesStatus(const std::string& text, bool terminated = false) {
    sim::RegSet(kSettingsKey, "InstallStatus", REG_SZ, terminated ? text + std::string(1, '\0') : text);
  }
  void KitWithFollowUps() {
    sim::RegSetString(kKitKey, "VeskHome", kKitFolder);
    for (const char* f : {"zlp.msi", "veskdb.msi", "zlp1041.MST", "zlp2052.MST", "bin\\vesk.exe"})
      sim::WriteFileBytes(kKitFolder + "\\" + f, "x");
  }
};

TEST_F(RunMachineStateTest, ReinstallRequestRerunsOnceAndReturnsTheSecondCode) {
  for (bool terminated : {false, true}) {
    SCOPED_TRACE(terminated ? "stored with its terminator" : "stored as the package stores it");
    Restart();
    AddPayload();
    KitWithFollowUps();
    SetCommandLine("/s");
    bool valueGoneBeforeRerun = false;
    Installer([&](int run) -> DWORD {
      if (run == 1) {
        PackageWritesStatus("reinstall", terminated);
        return 0;
      }
      valueGoneBeforeRerun = !sim::RegGet(kSettingsKey, "InstallStatus").has_value();
      return 3010;
    });
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(MainRuns(), 2);
    EXPECT_EQ(r.code, 3010);
    EXPECT_TRUE(valueGoneBeforeRerun);
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], lines[1]) << "the identical command line";
    EXPECT_NE(lines[2].find("zlp.msi"), std::string::npos) << "the follow-ups come after the rerun";
    EXPECT_NE(lines[3].find("veskdb.msi"), std::string::npos);
    EXPECT_EQ(sim::CountCalls("CreateThread"), 1u) << "the rerun uses the cabinets as they are";
    EXPECT_EQ(sim::CountCalls("CreateEventA(NULL"), 2u) << "the run's event and the one the cabinet thread sets";
  }
}

TEST_F(RunMachineStateTest, OtherStatusTextsGiveNoRerunAndStay) {
  for (const char* text : {"Reinstall", "reinstall ", "reinstallx", "exists", "decline", ""}) {
    SCOPED_TRACE(std::string("\"") + text + "\"");
    Restart();
    AddPayload();
    Installer([&](int) -> DWORD {
      PackageWritesStatus(text);
      return 0;
    });
    RunWinMain();
    EXPECT_EQ(MainRuns(), 1);
    ASSERT_TRUE(sim::RegGet(kSettingsKey, "InstallStatus").has_value());
    EXPECT_EQ(sim::RegGet(kSettingsKey, "InstallStatus")->bytes, text);
  }
}

TEST_F(RunMachineStateTest, RequestWrittenDuringTheRerunWaitsForTheNextRun) {
  AddPayload();
  Installer([&](int) -> DWORD {
    PackageWritesStatus("reinstall");
    return 0;
  });
  RunWinMain();
  EXPECT_EQ(MainRuns(), 2);
  EXPECT_TRUE(sim::RegGet(kSettingsKey, "InstallStatus").has_value());
}

TEST_F(RunMachineStateTest, TypicalSilentRunInstallsFollowUpsAndTheUpdater) {
  AddPayload();
  KitWithFollowUps();
  SetCommandLine("/s");
  Installer([&](int) -> DWORD {
    sim::MakeRegistryKey(kRuntimeKey);
    return 0;
  });
  sim::RunResult r = RunWinMain();
  EXPECT_EQ(r.code, 0);
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].find("\"  /qn ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"), std::string::npos);
  EXPECT_EQ(lines[1], "\"" + kToolPath + "\" /i \"" + kKitFolder + "\\zlp.msi\" /qn ADDLOCAL=ALL SDKSILENT=1");
  EXPECT_EQ(lines[2], "\"" + kToolPath + "\" /i \"" + kKitFolder + "\\veskdb.msi\" /qn");
  EXPECT_EQ(lines[3], "\"" + kToolPath + "\" /i \"" + kAuFolder + "\\au.msi\" ALLUSERS=1 /qn");
  EXPECT_EQ(lines[4], "\"" + kRegistrationTool + "\" -r zlp 1.6.0_39-b04");
  EXPECT_EQ(sim::ListDirectory(kKitFolder), std::vector<std::string>{"bin"}) << "the four files are deleted";
  EXPECT_EQ(sim::ListDirectory(kAuFolder), (std::vector<std::string>{"au.cab", "au.msi"}));
  EXPECT_FALSE(sim::Exists(test::kStagingDir));
  EXPECT_TRUE(sim::IsDirectory(test::kDataFolder + "\\Qor\\Vesk")) << "kept for the updater folder";
}

TEST_F(RunMachineStateTest, FailedOrCancelledSilentInstallStillRunsTheFollowUpsButNotTheUpdater) {
  for (DWORD code : {1602u, 1603u, 3010u}) {
    SCOPED_TRACE(code);
    Restart();
    AddPayload();
    KitWithFollowUps();
    sim::MakeRegistryKey(kRuntimeKey);
    SetCommandLine("/s");
    Installer([&](int) -> DWORD { return code; });
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(static_cast<DWORD>(r.code), code);
    EXPECT_EQ(Lines().size(), 3u) << "main install and two follow-ups";
    EXPECT_FALSE(sim::Exists(kAuFolder));
    EXPECT_EQ(sim::CountCalls("RegOpenKeyExA(0x80000002, " + kRuntimeKey), 0u) << "no probe after a failure";
  }
}

TEST_F(RunMachineStateTest, InstallerThatDoesNotStartStillChecksAndFollowsUp) {
  AddPayload();
  KitWithFollowUps();
  sim::MakeRegistryKey(kRuntimeKey);
  SetCommandLine("/s");
  sim::RunResult r = RunWinMain();  // no installer tool on the machine
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(sim::CountCalls("RegOpenKeyExA(0x80000002, Software, "), 1u) << "the reinstall check";
  EXPECT_FALSE(sim::Exists(kKitFolder + "\\zlp.msi")) << "the follow-up phase ran and deleted its files";
  EXPECT_FALSE(sim::Exists(kAuFolder));
}

TEST_F(RunMachineStateTest, WithoutSilentNoFollowUps) {
  AddPayload();
  KitWithFollowUps();
  Installer([&](int) -> DWORD { return 0; });
  RunWinMain();
  EXPECT_EQ(Lines().size(), 1u);
  EXPECT_TRUE(sim::Exists(kKitFolder + "\\zlp.msi"));
}

TEST_F(RunMachineStateTest, SuccessWithoutTheRuntimeKeySkipsTheUpdater) {
  AddPayload();
  Installer([&](int) -> DWORD { return 0; });
  EXPECT_EQ(RunWinMain().code, 0);
  EXPECT_EQ(Lines().size(), 1u);
  EXPECT_FALSE(sim::Exists(kAuFolder));
  EXPECT_EQ(sim::CountCalls("RegOpenKeyExA(0x80000002, " + kRuntimeKey), 1u);
}

TEST_F(RunMachineStateTest, OptionsReachTheFollowUps) {
  AddPayload();
  KitWithFollowUps();
  // A folder with blanks reaches msiexec whole only with its own, escaped quotes.
  SetCommandLine("/s /lang=2052 \"/INSTALLDIRPUBZLP=D:\\My Runtime\" \"/INSTALLDIRVESKDB=\\\"E:\\My db\\\"\"");
  Installer([&](int) -> DWORD { return 0; });
  RunWinMain();
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" TRANSFORMS=:2052 "), std::string::npos);
  EXPECT_EQ(lines[1], "\"" + kToolPath + "\" /i \"" + kKitFolder + "\\zlp.msi\" TRANSFORMS=\"" + kKitFolder +
                           "\\zlp2052.MST\" /qn ADDLOCAL=ALL SDKSILENT=1 INSTALLDIR=D:\\My Runtime");
  EXPECT_EQ(lines[2], "\"" + kToolPath + "\" /i \"" + kKitFolder + "\\veskdb.msi\" /qn INSTALLDIR=\"E:\\My db\"");
}

}  // namespace
