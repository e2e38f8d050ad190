#include "payload/staging_dir.h"

#include <gtest/gtest.h>

#include "support/machine_fixture.h"

namespace {

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
  EXPECT_EQ(sim::CallsStartingWith("CreateDirectoryA"),
            (std::vector<std::string>{"CreateDirectoryA(C:\\X, NULL)", "CreateDirectoryA(C:\\X\\Qor, NULL)",
                                      "CreateDirectoryA(C:\\X\\Qor\\Vesk, NULL)",
                                      "CreateDirectoryA(C:\\X\\Qor\\Vesk\\qmb1.6.0_39, sa)"}))
      << "only the staging directory is made with the run's own security";
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
  auto removed = sim::CallsStartingWith("RemoveDirectoryA");
  EXPECT_EQ(removed, (std::vector<std::string>{"RemoveDirectoryA(" + kStagingDir + ")",
                                              "RemoveDirectoryA(" + kDataFolder + "\\Qor\\Vesk)",
                                              "RemoveDirectoryA(" + kDataFolder + "\\Qor)"}))
      << "names without a trailing backslash, so that a link is seen as itself";
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
