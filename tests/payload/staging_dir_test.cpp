#include "payload/staging_dir.h"

#include <gtest/gtest.h>

#include "support/machine_fixture.h"

namespace {

using test::Lower;

using test::kDataFolder;
using test::kStagingDir;

class StagingDirTest : public test::MachineTest {
 protected:
  void UseDataFolder(const std::string& folder) {
    sim::SetKnownFolder(sim::LocalAppDataLowId(), std::u16string(folder.begin(), folder.end()));
    sim::MakeDirectories(folder);
  }
};

TEST_F(StagingDirTest, PackagePathInBothFlavours) {
  UseDataFolder("C:\\X");
  PathText path;
  HeldFolders held;
  PreparePackagePath(&path, false, &held);
  EXPECT_STREQ(path.c_str(), "C:\\X\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi");
  EXPECT_TRUE(sim::IsDirectory("C:\\X\\Qor\\Vesk\\qmb1.6.0_39"));
  PreparePackagePath(&path, true, &held);
  EXPECT_STREQ(path.c_str(), "C:\\X\\Qor\\Vesk\\qmb1.6.0_39_x64\\qmb1.6.0_39.msi");
  EXPECT_TRUE(sim::IsDirectory("C:\\X\\Qor\\Vesk\\qmb1.6.0_39_x64"));
}

TEST_F(StagingDirTest, PackageFoldersAreCreatedFromTheDataFolderDown) {
  UseDataFolder("C:\\X");
  PathText path;
  HeldFolders held;
  PreparePackagePath(&path, false, &held);
  // Only the staging directory is made with the run's own security; each is
  // made below the folder above it, held.
  for (const char* folder : {"C:\\X", "C:\\X\\Qor", "C:\\X\\Qor\\Vesk"}) {
    EXPECT_TRUE(sim::IsDirectory(folder)) << folder;
    EXPECT_EQ(sim::FolderSecurity(folder), "") << folder;
  }
  EXPECT_EQ(sim::FolderSecurity("C:\\X\\Qor\\Vesk\\qmb1.6.0_39").substr(0, 7), "O:BAD:P");
  EXPECT_EQ(sim::CountCalls("NtCreateFile(c:\\x\\qor"), 3u);
}

TEST_F(StagingDirTest, CabinetPathAndItsFolders) {
  UseDataFolder("C:\\X");
  PathText path;
  HeldFolders held;
  for (bool is64Bit : {false, true}) {
    PreparePackagePath(&path, is64Bit, &held);
    sim::ClearCalls();
    PrepareCabinetPath(&path, "sj160390", is64Bit, &held);
    EXPECT_STREQ(path.c_str(), is64Bit ? "C:\\X\\Qor\\Vesk\\qmb1.6.0_39_x64\\sj160390.cab"
                                       : "C:\\X\\Qor\\Vesk\\qmb1.6.0_39\\sj160390.cab");
    EXPECT_EQ(sim::CountCalls("CreateDirectoryA"), 0u) << "the cabinet thread makes no folder";
  }
}

TEST_F(StagingDirTest, PathsThatDoNotFitAreLeftEmptyNotCut) {
  // "\Qor\Vesk\qmb1.6.0_39\qmb1.6.0_39.msi" adds 37 characters to the folder.
  std::string fits = "C:\\" + std::string(100, 'a') + "\\" + std::string(118, 'b');  // 222 + 37 = 259
  UseDataFolder(fits);
  PathText path;
  HeldFolders held;
  PreparePackagePath(&path, false, &held);
  EXPECT_EQ(std::string(path.c_str()), fits + "\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi");
  EXPECT_EQ(path.size(), 259u);

  std::string tooLong = fits + "c";
  UseDataFolder(tooLong);
  PreparePackagePath(&path, false, &held);
  EXPECT_TRUE(path.empty());
  PrepareCabinetPath(&path, "ss160390", false, &held);  // 34 characters: still fits
  EXPECT_EQ(std::string(path.c_str()), tooLong + "\\Qor\\Vesk\\qmb1.6.0_39\\ss160390.cab");
}

TEST_F(StagingDirTest, CleanupDeletesFilesAndRemovesEmptyFolders) {
  sim::WriteFileBytes(kStagingDir + "\\qmb1.6.0_39.msi", "m");
  sim::WriteFileBytes(kStagingDir + "\\ss160390.cab", "c");
  EXPECT_EQ(RemoveStagingDir(1), 0);
  EXPECT_FALSE(sim::Exists(kDataFolder + "\\Qor"));
  EXPECT_TRUE(sim::IsDirectory(kDataFolder)) << "the data folder itself stays";
  // Bottom-up, each through a handle opened below the folder above it.
  std::vector<std::string> folders;
  for (const std::string& c : sim::CallsStartingWith("NtSetInformationFile("))
    if (c.find(".cab") == std::string::npos && c.find(".msi") == std::string::npos) folders.push_back(c);
  EXPECT_EQ(folders, (std::vector<std::string>{"NtSetInformationFile(" + Lower(kStagingDir) + ", delete)",
                                              "NtSetInformationFile(" + Lower(kDataFolder) + "\\qor\\vesk, delete)",
                                              "NtSetInformationFile(" + Lower(kDataFolder) + "\\qor, delete)"}));
}

// The cleanup goes only where the run's folders are: when the shell value
// leads elsewhere by the time it runs (changed after the ready event), the
// names lead to folders that are not the ones held, and nothing is deleted
// or removed, there or here.
TEST_F(StagingDirTest, CleanupOfAChainWhoseNamesLeadElsewhereTouchesNothing) {
  const std::string elsewhere = "C:\\Users\\tester\\Elsewhere";
  sim::WriteFileBytes(elsewhere + "\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi", "the user's own");
  PathText path;
  HeldFolders held;
  PreparePackagePath(&path, false, &held);
  sim::WriteFileBytes(path.c_str(), "the run's package");
  sim::SetKnownFolder(sim::LocalAppDataLowId(), std::u16string(elsewhere.begin(), elsewhere.end()));
  RemoveStagingDir(kKitStaging, &held);
  EXPECT_EQ(sim::ReadFileBytes(elsewhere + "\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"), "the user's own");
  EXPECT_EQ(sim::ReadFileBytes(path.c_str()), "the run's package");
}

TEST_F(StagingDirTest, CleanupLeavesWhatItCannotRemove) {
  sim::WriteFileBytes(kStagingDir + "\\a.cab", "a");
  sim::WriteFileBytes(kStagingDir + "\\sub\\inner.txt", "i");
  RemoveStagingDir(1);
  EXPECT_FALSE(sim::Exists(kStagingDir + "\\a.cab"));
  EXPECT_TRUE(sim::Exists(kStagingDir + "\\sub\\inner.txt")) << "not recursive";
  EXPECT_TRUE(sim::IsDirectory(kDataFolder + "\\Qor\\Vesk"));
}

TEST_F(StagingDirTest, ReadOnlyOrOpenFilesStayAndTheirFoldersToo) {
  sim::WriteFileBytes(kStagingDir + "\\ro.cab", "r");
  sim::WriteFileBytes(kStagingDir + "\\b.cab", "b");
  sim::SetReadOnly(kStagingDir + "\\ro.cab", true);
  EXPECT_EQ(DeleteFilesInFolder(kStagingDir.c_str()), 0);
  EXPECT_FALSE(sim::Exists(kStagingDir + "\\b.cab")) << "the others are still deleted";
  sim::SetReadOnly(kStagingDir + "\\ro.cab", false);
  sim::HoldFileOpen(kStagingDir + "\\ro.cab", GENERIC_WRITE, 0);
  RemoveStagingDir(1);
  EXPECT_TRUE(sim::Exists(kStagingDir + "\\ro.cab"));
  sim::ReleaseHeldFiles();
  EXPECT_EQ(DeleteFilesInFolder(kStagingDir.c_str()), 1);
}

TEST_F(StagingDirTest, UpdaterFolderKeepsItsParents) {
  sim::WriteFileBytes(kStagingDir + "\\qmb1.6.0_39.msi", "m");
  sim::WriteFileBytes(kDataFolder + "\\Qor\\Vesk\\AU\\au.msi", "u");
  RemoveStagingDir(1);
  EXPECT_FALSE(sim::Exists(kStagingDir));
  EXPECT_TRUE(sim::Exists(kDataFolder + "\\Qor\\Vesk\\AU\\au.msi"));
}

TEST_F(StagingDirTest, CleanupOfAMissingTreeDoesNothingAndTheRuntimeSelectorNamesZlp) {
  EXPECT_EQ(RemoveStagingDir(1), 0);
  EXPECT_EQ(DeleteFilesInFolder("C:\\nowhere"), 1);
  std::string runtimeDir = kDataFolder + "\\Qor\\Vesk\\zlp1.6.0_39";
  sim::WriteFileBytes(runtimeDir + "\\zlp.msi", "z");
  sim::WriteFileBytes(kStagingDir + "\\keep.cab", "k");
  RemoveStagingDir(0);
  EXPECT_FALSE(sim::Exists(runtimeDir));
  EXPECT_TRUE(sim::Exists(kStagingDir + "\\keep.cab"));
}

}  // namespace
