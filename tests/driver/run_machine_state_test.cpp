// Whole runs through what the machine holds after the installer ran: the
// reinstall request, the silent follow-ups and the updater phase.
#include <gtest/gtest.h>

#include <functional>

#include "support/machine_fixture.h"

namespace {

using test::kToolPath;

const std::string kSettings = "Software\\Morvanta";
const std::string kKitKey = "SOFTWARE\\Morvanta\\Vesk Development Kit\\1.6.0_39";
const std::string kRuntimeKey = "SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_39";
const std::string kKit = "C:\\Program Files\\Morvanta\\Vesk";
const std::string kAuFolder = test::kDataFolder + "\\Qor\\Vesk\\AU";
const std::string kRegistration = "C:\\Program Files\\Common Files\\Vesk\\Vesk Update\\kwinpo.exe";

class RunMachineStateTest : public test::MachineTest {
 protected:
  // An installer tool that waits for the cabinets, then does what `act`
  // says for the n-th main install (1-based) and exits with its result.
  // Other command lines (follow-ups, updater) exit with 0.
  void Installer(std::function<DWORD(int)> act) {
    sim::RegisterProgram(kToolPath, [this, act](const std::string& line) {
      lines_.push_back(line);
      if (line.find("WRAPPER=1") == std::string::npos) return 0u;
      HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "QorQMBCabExtractWaitEvent");
      WaitForSingleObject(e, 10000);
      CloseHandle(e);
      return act(++mainRuns_);
    });
    sim::RegisterProgram(kRegistration, [this](const std::string& line) {
      lines_.push_back(line);
      return 0u;
    });
  }
  void SetCommandLine(const std::string& args) { sim::SetCommandLine("qmb-setup.exe " + args); }
  // Writes InstallStatus as the package does: the letters without a terminator.
  static void PackageWritesStatus(const std::string& text, bool terminated = false) {
    sim::RegSet(kSettings, "InstallStatus", REG_SZ, terminated ? text + std::string(1, '\0') : text);
  }
  void KitWithFollowUps() {
    sim::RegSetString(kKitKey, "VeskHome", kKit);
    for (const char* f : {"zlp.msi", "veskdb.msi", "zlp1041.MST", "zlp2052.MST", "bin\\vesk.exe"})
      sim::WriteFileBytes(kKit + "\\" + f, "x");
  }
  int MainRuns() const { return mainRuns_; }
  // A fresh machine for the next row of a table.
  void Restart() {
    sim::Reset();
    SetUp();
    lines_.clear();
    mainRuns_ = 0;
  }
  std::vector<std::string> lines_;

 private:
  int mainRuns_ = 0;
};

TEST_F(RunMachineStateTest, ReinstallRequestRerunsOnceAndReturnsTheSecondCode) {
  for (bool terminated : {false, true}) {
    SCOPED_TRACE(terminated ? "stored with its terminator" : "stored as the package stores it");
    Restart();
    AddPayload();
    bool valueGoneBeforeRerun = false;
    Installer([&](int run) -> DWORD {
      if (run == 1) {
        PackageWritesStatus("reinstall", terminated);
        return 0;
      }
      valueGoneBeforeRerun = !sim::RegGet(kSettings, "InstallStatus").has_value();
      return 3010;
    });
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(MainRuns(), 2);
    EXPECT_EQ(r.code, 3010);
    EXPECT_TRUE(valueGoneBeforeRerun);
    EXPECT_FALSE(sim::RegKeyExists(kSettings)) << "the emptied settings key goes too";
    ASSERT_EQ(lines_.size(), 2u);
    EXPECT_EQ(lines_[0], lines_[1]) << "the identical command line";
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
    ASSERT_TRUE(sim::RegGet(kSettings, "InstallStatus").has_value());
    EXPECT_EQ(sim::RegGet(kSettings, "InstallStatus")->bytes, text);
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
  EXPECT_TRUE(sim::RegGet(kSettings, "InstallStatus").has_value());
}

TEST_F(RunMachineStateTest, TypicalSilentRunInstallsFollowUpsAndTheUpdater) {
  AddPayload();
  KitWithFollowUps();
  SetCommandLine("/s");
  Installer([&](int) -> DWORD {
    sim::RegCreateKey(kRuntimeKey);
    return 0;
  });
  sim::RunResult r = RunWinMain();
  EXPECT_EQ(r.code, 0);
  ASSERT_EQ(lines_.size(), 5u);
  EXPECT_NE(lines_[0].find("\"  /qn ADDLOCAL=PubliczlpFeature,ToolsFeature WRAPPER=1"), std::string::npos);
  EXPECT_EQ(lines_[1], "\"" + kToolPath + "\" /i \"" + kKit + "\\zlp.msi\" /qn ADDLOCAL=ALL SDKSILENT=1");
  EXPECT_EQ(lines_[2], "\"" + kToolPath + "\" /i \"" + kKit + "\\veskdb.msi\" /qn");
  EXPECT_EQ(lines_[3], "\"" + kToolPath + "\" /i \"" + kAuFolder + "\\au.msi\" ALLUSERS=1 /qn");
  EXPECT_EQ(lines_[4], "\"" + kRegistration + "\" -r zlp 1.6.0_39-b04");
  EXPECT_EQ(sim::ListDirectory(kKit), std::vector<std::string>{"bin"}) << "the four files are deleted";
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
    sim::RegCreateKey(kRuntimeKey);
    SetCommandLine("/s");
    Installer([&](int) -> DWORD { return code; });
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(static_cast<DWORD>(r.code), code);
    EXPECT_EQ(lines_.size(), 3u) << "main install and two follow-ups";
    EXPECT_FALSE(sim::Exists(kAuFolder));
    EXPECT_EQ(sim::CountCalls("RegOpenKeyExA(0x80000002, " + kRuntimeKey), 0u) << "no probe after a failure";
  }
}

TEST_F(RunMachineStateTest, InstallerThatDoesNotStartStillChecksAndFollowsUp) {
  // Without cabinets, so that no cabinet write races the run's cleanup.
  AddPackage();
  AddUpdater();
  KitWithFollowUps();
  sim::RegCreateKey(kRuntimeKey);
  SetCommandLine("/s");
  sim::RunResult r = RunWinMain();  // no installer tool on the machine
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(sim::CountCalls("RegOpenKeyExA(0x80000002, Software, "), 1u) << "the reinstall check";
  EXPECT_FALSE(sim::Exists(kKit + "\\zlp.msi")) << "the follow-up phase ran and deleted its files";
  EXPECT_FALSE(sim::Exists(kAuFolder));
}

TEST_F(RunMachineStateTest, WithoutSilentNoFollowUps) {
  AddPayload();
  KitWithFollowUps();
  Installer([&](int) -> DWORD { return 0; });
  RunWinMain();
  EXPECT_EQ(lines_.size(), 1u);
  EXPECT_TRUE(sim::Exists(kKit + "\\zlp.msi"));
}

TEST_F(RunMachineStateTest, SuccessWithoutTheRuntimeKeySkipsTheUpdater) {
  AddPayload();
  Installer([&](int) -> DWORD { return 0; });
  EXPECT_EQ(RunWinMain().code, 0);
  EXPECT_EQ(lines_.size(), 1u);
  EXPECT_FALSE(sim::Exists(kAuFolder));
  EXPECT_EQ(sim::CountCalls("RegOpenKeyExA(0x80000002, " + kRuntimeKey), 1u);
}

TEST_F(RunMachineStateTest, OptionsReachTheFollowUps) {
  AddPayload();
  KitWithFollowUps();
  SetCommandLine("/s /lang=2052 \"/INSTALLDIRPUBZLP=D:\\My Runtime\" /INSTALLDIRVESKDB=E:\\db");
  Installer([&](int) -> DWORD { return 0; });
  RunWinMain();
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_NE(lines_[0].find(" TRANSFORMS=:2052 "), std::string::npos);
  EXPECT_EQ(lines_[1], "\"" + kToolPath + "\" /i \"" + kKit + "\\zlp.msi\" TRANSFORMS=\"" + kKit +
                           "\\zlp2052.MST\" /qn ADDLOCAL=ALL SDKSILENT=1 INSTALLDIR=D:\\My Runtime");
  EXPECT_EQ(lines_[2], "\"" + kToolPath + "\" /i \"" + kKit + "\\veskdb.msi\" /qn INSTALLDIR=E:\\db");
}

}  // namespace
