#include "updater/updater_phase.h"

#include <gtest/gtest.h>

#include "support/machine_fixture.h"

namespace {

using test::kRegistrationTool;
using test::kUpdaterKey;

const std::string kAuFolder = test::kDataFolder + "\\Qor\\Vesk\\AU\\";
const std::string kRemoval = " /x {5C2E81A0-7B3D-4F19-9A64-2D8E0C7B1F35} /qn";

class UpdaterPhaseTest : public test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::MakeDirectories(test::kDataFolder + "\\Qor\\Vesk");
    sim::RegisterProgram(test::kToolPath, [](const std::string&) { return 0u; });
    sim::RegisterProgram(kRegistrationTool, [](const std::string&) { return 0u; });
  }
  void Run() {
    sim::RunResult r = sim::RunProcess([] {
      UpdaterPhase(sim::Module());
      return 0;
    });
    exited_ = r.exitProcessCalled;
    code_ = r.code;
  }
  std::vector<std::string> Children() {
    std::vector<std::string> out;
    for (const auto& p : sim::Processes()) out.push_back(p.application + "|" + p.commandLine);
    return out;
  }
  bool exited_ = false;
  int code_ = 0;
};

TEST_F(UpdaterPhaseTest, WritesBothFilesInstallsAndRegisters) {
  AddUpdater();
  Run();
  EXPECT_FALSE(exited_);
  EXPECT_EQ(sim::ReadFileBytes(kAuFolder + "au.cab"), "MSCF updater cabinet");
  EXPECT_EQ(sim::ReadFileBytes(kAuFolder + "au.msi").substr(8), "updater");
  EXPECT_EQ(Children(),
            (std::vector<std::string>{"|\"" + test::kToolPath + "\" /i \"" + kAuFolder + "au.msi\" ALLUSERS=1 /qn",
                                      "|\"" + kRegistrationTool + "\" -r zlp 1.6.0_39-b04"}));
  // The cabinet first, then the package.
  auto creates = sim::CallsStartingWith("CreateFileA(" + kAuFolder);
  ASSERT_EQ(creates.size(), 2u);
  EXPECT_NE(creates[0].find("au.cab"), std::string::npos);
  // The maker and product folders keep the user's security; only the
  // updater folder is made with the run's own.
  std::string au = kAuFolder.substr(0, kAuFolder.size() - 1), vesk = au.substr(0, au.size() - 3);
  EXPECT_EQ(sim::FolderSecurity(vesk.substr(0, vesk.size() - 5)), "");
  EXPECT_EQ(sim::FolderSecurity(vesk), "");
  EXPECT_EQ(sim::FolderSecurity(au).substr(0, 7), "O:BAD:P");
  EXPECT_EQ(sim::CallsStartingWith("SHGetFolderPathA"), std::vector<std::string>{"SHGetFolderPathA(0x0, 43, NULL, 0)"});
}

TEST_F(UpdaterPhaseTest, RegistrationPathIsQuotedSoAPlantedProgramCannotRun) {
  AddUpdater();
  bool plantedRan = false;
  sim::RegisterProgram("C:\\Program.exe", [&](const std::string&) {
    plantedRan = true;
    return 0u;
  });
  Run();
  EXPECT_FALSE(plantedRan);
  EXPECT_EQ(sim::Processes().back().image, "c:\\program files\\common files\\vesk\\vesk update\\kwinpo.exe");
}

TEST_F(UpdaterPhaseTest, OlderUpdaterIsRemovedFirstWithTheConstantCommandLine) {
  AddUpdater();
  sim::RegSetString(kUpdaterKey, "AUVersion", "2.0.6.9");
  Run();
  auto children = Children();
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(children[0], test::kToolPath + "|" + kRemoval);
  EXPECT_EQ(children[1].substr(0, 1), "|");
  EXPECT_NE(children[1].find("ALLUSERS=1"), std::string::npos);
  EXPECT_EQ(sim::CountCalls("MsgWaitForMultipleObjects"), 1u) << "the removal is waited for with the message pump";
}

TEST_F(UpdaterPhaseTest, UpdaterThatIsNotOlderIsNotRemoved) {
  for (const char* version : {"2.0.7.2", "2.1.0.0", "2.0.8.0"}) {
    SCOPED_TRACE(version);
    sim::Reset();
    SetUp();
    AddUpdater();
    sim::RegSetString(kUpdaterKey, "AUVersion", version);
    Run();
    EXPECT_EQ(Children().size(), 2u);
  }
}

TEST_F(UpdaterPhaseTest, MissingPackageEndsThePhaseAfterTheCabinet) {
  sim::AddResource("VESK_INSTALLER", 1120, "MSCF cab");
  sim::RegSetString(kUpdaterKey, "AUVersion", "1.0");
  Run();
  EXPECT_TRUE(sim::Exists(kAuFolder + "au.cab"));
  EXPECT_FALSE(sim::Exists(kAuFolder + "au.msi"));
  EXPECT_TRUE(sim::Processes().empty());
}

TEST_F(UpdaterPhaseTest, MissingCabinetIsIgnored) {
  sim::AddResource("VESK_INSTALLER", 1119, "package");
  Run();
  EXPECT_FALSE(sim::Exists(kAuFolder + "au.cab"));
  EXPECT_EQ(Children().size(), 2u);
}

TEST_F(UpdaterPhaseTest, WithoutADataFolderNothingIsWrittenAtTheRootOfTheDrive) {
  AddUpdater();
  sim::SetKnownFolder(sim::LocalAppDataLowId(), std::nullopt);
  sim::SetKnownFolder(sim::LocalAppDataId(), std::nullopt);
  sim::UnsetEnv("USERPROFILE");
  sim::FailCall("GetWindowsDirectoryA", 1, ERROR_NOT_ENOUGH_MEMORY);
  sim::MakeDirectories("C:\\Qor\\Vesk\\AU");  // as another user could have made it
  Run();
  EXPECT_FALSE(exited_);
  EXPECT_TRUE(sim::ListDirectory("C:\\Qor\\Vesk\\AU").empty());
  EXPECT_TRUE(sim::Processes().empty());
}

TEST_F(UpdaterPhaseTest, RegistrationNeedsTheCommonFilesFolderNotThatItExists) {
  AddUpdater();
  sim::SetShellFolder(CSIDL_PROGRAM_FILES_COMMON, std::nullopt);
  Run();
  auto children = Children();
  ASSERT_EQ(children.size(), 1u);
  EXPECT_NE(children[0].find("au.msi"), std::string::npos);

  // A folder not made yet is answered with S_FALSE: a success, so the
  // registration is tried (and here finds no tool).
  sim::Reset();
  SetUp();
  AddUpdater();
  const std::string notMade = "C:\\Program Files\\Common Files (x86)";
  sim::SetShellFolder(CSIDL_PROGRAM_FILES_COMMON, notMade);
  Run();
  auto starts = sim::CallsStartingWith("CreateProcessA((null), \"" + notMade + "\\Vesk\\Vesk Update\\kwinpo.exe\" -r zlp ");
  EXPECT_EQ(starts.size(), 1u);
}

TEST_F(UpdaterPhaseTest, SecondRunOverwritesTheFilesInPlace) {
  AddUpdater();
  sim::WriteFileBytes(kAuFolder + "au.msi", "an older and much longer updater package");
  sim::WriteFileBytes(kAuFolder + "au.cab", "old cabinet, longer than the new one");
  Run();
  EXPECT_EQ(sim::ReadFileBytes(kAuFolder + "au.cab"), "MSCF updater cabinet");
  EXPECT_EQ(sim::ListDirectory(kAuFolder), (std::vector<std::string>{"au.cab", "au.msi"}));
}

TEST_F(UpdaterPhaseTest, FileThatCannotBeWrittenEndsTheProcess) {
  AddUpdater();
  sim::FailCall("CreateFileA", 1, 5, "au.cab");
  Run();
  EXPECT_TRUE(exited_);
  EXPECT_EQ(code_, 5);
  EXPECT_TRUE(sim::Processes().empty());
}

TEST_F(UpdaterPhaseTest, RemovalThatCannotStartReturnsThePlatformError) {
  sim::RemoveRegistryTree(test::kInstallerKey);
  DWORD result = RemoveOldUpdater();
  EXPECT_NE(result, 0u);
  EXPECT_EQ(result, GetLastError());
  sim::RegSetString(test::kInstallerKey, "InstallerLocation", "C:\\Windows\\system32");
  sim::RegisterProgram(test::kToolPath, [](const std::string& line) { return line == kRemoval ? 1605u : 99u; });
  EXPECT_EQ(RemoveOldUpdater(), 1605u);
}

}  // namespace
