#include "engine/silent_followups.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/machine_fixture.h"

namespace {

using test::kKitKey;
using test::Lower;
const std::string kKit = "C:\\Program Files\\Morvanta\\Vesk 1.6.0_39";
const std::string kTool = test::kToolPath;

class SilentFollowUpsTest : public test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::RegisterProgram(kTool, [this](const std::string& line) {
      lines_.push_back(line);
      return 1603u;  // results are not used
    });
    options_.silent = true;
  }
  void KitFiles(bool runtime, bool database) {
    sim::RegSetString(kKitKey, "VeskHome", kKit);
    if (runtime) sim::WriteFileBytes(kKit + "\\zlp.msi", "r");
    if (database) sim::WriteFileBytes(kKit + "\\veskdb.msi", "d");
    sim::WriteFileBytes(kKit + "\\zlp1041.MST", "j");
    sim::WriteFileBytes(kKit + "\\zlp2052.MST", "c");
    sim::WriteFileBytes(kKit + "\\other.txt", "o");
  }
  void Run() { SilentFollowUps(options_, kTool.c_str()); }
  // The files deleted, in order, as the names the kit's folder gave them
  // (lower case: the names below a held folder).
  std::vector<std::string> Deletions() {
    std::vector<std::string> out;
    const std::string call = "NtSetInformationFile(", tail = ", delete)";
    for (const auto& c : sim::CallsStartingWith(call))
      if (c.size() > tail.size() && c.compare(c.size() - tail.size(), tail.size(), tail) == 0)
        out.push_back(c.substr(call.size(), c.size() - call.size() - tail.size()));
    return out;
  }


  InstallOptions options_;
  std::vector<std::string> lines_;  // written by the fake tool's thread, read after it ended
};

TEST_F(SilentFollowUpsTest, WithoutSilentNothingHappens) {
  KitFiles(true, true);
  options_.silent = false;
  Run();
  EXPECT_TRUE(sim::Processes().empty());
  EXPECT_TRUE(sim::Exists(kKit + "\\zlp.msi"));
  EXPECT_EQ(sim::CountCalls("RegOpenKeyExA"), 0u);
}

TEST_F(SilentFollowUpsTest, WithoutTheKitFolderNothingIsInstalledOrDeleted) {
  sim::WriteFileBytes(kKit + "\\zlp.msi", "r");
  Run();
  EXPECT_TRUE(sim::Processes().empty());
  EXPECT_TRUE(Deletions().empty());
  sim::RegSet(kKitKey, "VeskHome", REG_DWORD, std::string("\x01\x00\x00\x00", 4));
  Run();
  EXPECT_TRUE(sim::Processes().empty());
}

TEST_F(SilentFollowUpsTest, EnglishInstallsBothThenDeletesFourFilesInOrder) {
  KitFiles(true, true);
  Run();
  EXPECT_EQ(lines_, (std::vector<std::string>{
                        "\"" + kTool + "\" /i \"" + kKit + "\\zlp.msi\" /qn ADDLOCAL=ALL SDKSILENT=1",
                        "\"" + kTool + "\" /i \"" + kKit + "\\veskdb.msi\" /qn",
                    }));
  EXPECT_EQ(Deletions(), (std::vector<std::string>{Lower(kKit + "\\zlp.msi"), Lower(kKit + "\\veskdb.msi"),
                                                   Lower(kKit + "\\zlp2052.MST"), Lower(kKit + "\\zlp1041.MST")}));
  EXPECT_EQ(sim::ListDirectory(kKit), std::vector<std::string>{"other.txt"});
}

TEST_F(SilentFollowUpsTest, OtherLanguagesNameTheExternalTransformByFullPath) {
  for (LANGID lang : {LANGID(1041), LANGID(2052)}) {
    SCOPED_TRACE(lang);
    lines_.clear();
    KitFiles(true, false);
    sim::WriteFileBytes(kKit + "\\zlp" + std::to_string(lang) + ".MST", "t");
    options_.language = lang;
    Run();
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0], "\"" + kTool + "\" /i \"" + kKit + "\\zlp.msi\" TRANSFORMS=\"" + kKit + "\\zlp" +
                             std::to_string(lang) + ".MST\" /qn ADDLOCAL=ALL SDKSILENT=1");
    EXPECT_FALSE(sim::Exists(kKit + "\\zlp" + std::to_string(lang) + ".MST"));
  }
  // The transform is named whether or not it is there.
  lines_.clear();
  sim::WriteFileBytes(kKit + "\\zlp.msi", "r");
  options_.language = 1041;
  Run();
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("TRANSFORMS=\"" + kKit + "\\zlp1041.MST\""), std::string::npos);
}

TEST_F(SilentFollowUpsTest, FolderOptionsAreAppendedUnquoted) {
  KitFiles(true, true);
  options_.runtimeInstallDir.assign("D:\\My Runtime");
  options_.databaseInstallDir.assign("E:\\db");
  Run();
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_EQ(lines_[0], "\"" + kTool + "\" /i \"" + kKit + "\\zlp.msi\" /qn ADDLOCAL=ALL SDKSILENT=1 INSTALLDIR=D:\\My Runtime");
  EXPECT_EQ(lines_[1], "\"" + kTool + "\" /i \"" + kKit + "\\veskdb.msi\" /qn INSTALLDIR=E:\\db");
}

TEST_F(SilentFollowUpsTest, OnlyThePackagesPresentRunAndAreDeleted) {
  KitFiles(false, true);
  Run();
  EXPECT_EQ(lines_, std::vector<std::string>{"\"" + kTool + "\" /i \"" + kKit + "\\veskdb.msi\" /qn"});
  EXPECT_EQ(Deletions(), (std::vector<std::string>{Lower(kKit + "\\veskdb.msi"), Lower(kKit + "\\zlp2052.MST"),
                                                   Lower(kKit + "\\zlp1041.MST")}));
}

// What is not a plain file of the kit's folder is neither installed nor
// deleted: a folder of a package's name, and a kit folder that is empty,
// a link, or not there (whose names would lead to the root of the current
// drive, or elsewhere).
TEST_F(SilentFollowUpsTest, OnlyPlainFilesOfARealKitFolderAreUsed) {
  struct Row {
    const char* name;
    std::function<void()> plant;
  } rows[] = {
      {"a folder named like the package", [] { sim::MakeDirectories(kKit + "\\zlp.msi"); }},
      {"an empty kit folder",
       [] {
         sim::RegSetString(kKitKey, "VeskHome", "");
         sim::WriteFileBytes("C:\\veskdb.msi", "d");
       }},
      {"a kit folder that is a link",
       [] {
         sim::WriteFileBytes("C:\\Elsewhere\\veskdb.msi", "d");
         sim::MakeLink(kKit + " linked", "C:\\Elsewhere");
         sim::RegSetString(kKitKey, "VeskHome", kKit + " linked");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Restart();  // the fake tool registered anew
    lines_.clear();
    sim::RegSetString(kKitKey, "VeskHome", kKit);
    sim::MakeDirectories(kKit);
    row.plant();
    Run();
    EXPECT_TRUE(lines_.empty());
    EXPECT_TRUE(Deletions().empty());
  }
  EXPECT_TRUE(sim::Exists("C:\\Elsewhere\\veskdb.msi"));
}

// The kit's folder may be one every user can change (a kit installed right
// below a drive's root): what another process of the user does to the
// packages while their installers run, or between an installer and the
// deletion, reaches neither the installer nor the deletion.
TEST_F(SilentFollowUpsTest, PackagesAreHeldUntilTheirInstallerEndedAndDeletedOnlyWhenStillTheSame) {
  const std::string runtime = kKit + "\\zlp.msi";
  struct Row {
    const char* name;
    std::function<DWORD()> duringRuntime;   // must be refused (non-zero)
    std::function<void()> duringDatabase;   // after the runtime's installer ended
    bool runtimeDeleted;
  } rows[] = {
      {"the runtime package rewritten while its installer runs", [&] { return sim::UserWriteFile(runtime, "x"); }, nullptr,
       true},
      {"the runtime package renamed away while its installer runs",
       [&] { return sim::UserRename(runtime, kKit + "\\moved.msi"); }, nullptr, true},
      {"the runtime package swapped for another once its installer ended", nullptr,
       [&] {
         sim::UserRename(runtime, kKit + "\\moved.msi");
         sim::UserWriteFile(runtime, "the user's own");
       },
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Restart();
    KitFiles(true, true);
    DWORD refused = 0;
    std::string installed;
    sim::RegisterProgram(kTool, [&](const std::string& line) -> DWORD {
      bool isRuntime = line.find("zlp.msi") != std::string::npos;
      if (isRuntime) {
        installed = sim::ReadFileBytes(runtime);
        if (row.duringRuntime) refused = row.duringRuntime();
      } else if (row.duringDatabase) {
        row.duringDatabase();
      }
      return 0;
    });
    Run();
    EXPECT_EQ(installed, "r") << "the installer found the package as it was checked";
    if (row.duringRuntime) {
      EXPECT_NE(refused, 0u) << "the change went through";
    }
    EXPECT_EQ(sim::Exists(runtime), !row.runtimeDeleted);
    if (!row.runtimeDeleted) {
      EXPECT_EQ(sim::ReadFileBytes(runtime), "the user's own") << "another file of the name is not deleted";
    }
  }
}

TEST_F(SilentFollowUpsTest, CommandThatWouldNotFitIsNotStartedAndThePhaseGoesOn) {
  KitFiles(true, true);
  // The runtime command is 83 characters before its suffix of 12 + folder.
  std::string prefix = "\"" + kTool + "\" /i \"" + kKit + "\\zlp.msi\" /qn ADDLOCAL=ALL SDKSILENT=1 INSTALLDIR=";
  options_.runtimeInstallDir.assign(std::string(1023 - prefix.size(), 'r').c_str());
  Run();
  ASSERT_EQ(lines_.size(), 2u) << "exactly 1023 characters still fit";
  EXPECT_EQ(lines_[0].size(), 1023u);
  lines_.clear();
  KitFiles(true, true);
  options_.runtimeInstallDir.assign(std::string(1024 - prefix.size(), 'r').c_str());
  Run();
  EXPECT_EQ(lines_, std::vector<std::string>{"\"" + kTool + "\" /i \"" + kKit + "\\veskdb.msi\" /qn"});
  EXPECT_EQ(Deletions().size(), 8u) << "both phases deleted all four files";
}

}  // namespace
