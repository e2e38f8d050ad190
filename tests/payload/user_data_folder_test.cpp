#include "payload/user_data_folder.h"

#include <gtest/gtest.h>

#include "support/machine_fixture.h"

namespace {

class UserDataFolderTest : public test::MachineTest {
 protected:
  struct Outcome {
    bool flag;
    std::string folder;
  };
  Outcome Resolve() {
    PathText folder;
    bool flag = ResolveUserDataFolder(&folder);
    return {flag, folder.c_str()};
  }
  void OlderSystem() { sim::SetWindowsVersion(5, 1); }
};

TEST_F(UserDataFolderTest, WindowsSixUsesTheLocalLowKnownFolder) {
  Outcome o = Resolve();
  EXPECT_TRUE(o.flag);
  EXPECT_EQ(o.folder, "C:\\Users\\tester\\AppData\\LocalLow");
  EXPECT_EQ(sim::LoadedLibraryReferences(), 0) << "shell32 is released";
  for (const auto& load : sim::LibraryLoads()) EXPECT_EQ(load.path, "C:\\Windows\\system32\\shell32.dll");
}

TEST_F(UserDataFolderTest, OnlyTheLocalKnownFolderGetsLowAppended) {
  sim::SetKnownFolder(sim::LocalAppDataLowId(), std::nullopt);
  sim::SetKnownFolder(sim::LocalAppDataId(), u"D:\\Profiles\\u\\AppData\\Local");
  Outcome o = Resolve();
  EXPECT_TRUE(o.flag);
  EXPECT_EQ(o.folder, "D:\\Profiles\\u\\AppData\\LocalLow");
}

TEST_F(UserDataFolderTest, WindowsSixWithoutAFolderFallsBackToTheProfileAndStillReportsSuccess) {
  sim::SetKnownFolder(sim::LocalAppDataLowId(), std::nullopt);
  sim::SetKnownFolder(sim::LocalAppDataId(), std::nullopt);
  EXPECT_EQ(Resolve().folder, "C:\\Users\\tester");
  EXPECT_TRUE(Resolve().flag);

  sim::Reset();
  ForgetWindowsVersionForTesting();
  sim::RemoveExport("shell32.dll", "SHGetFolderPathEx");
  EXPECT_EQ(Resolve().folder, "C:\\Users\\tester");

  sim::Reset();
  ForgetWindowsVersionForTesting();
  sim::RemoveLibrary("shell32.dll");
  sim::UnsetEnv("USERPROFILE");
  Outcome o = Resolve();
  EXPECT_TRUE(o.flag);
  EXPECT_EQ(o.folder, "C:\\Windows");
}

TEST_F(UserDataFolderTest, LocalFolderTooLongForLowCountsAsNotFound) {
  sim::SetKnownFolder(sim::LocalAppDataLowId(), std::nullopt);
  sim::SetKnownFolder(sim::LocalAppDataId(), u"C:\\" + std::u16string(254, u'a'));  // 257: "Low" does not fit
  EXPECT_EQ(Resolve().folder, "C:\\Users\\tester");
  sim::SetKnownFolder(sim::LocalAppDataId(), u"C:\\" + std::u16string(253, u'a'));  // 256 + 3 = 259 fits
  EXPECT_EQ(Resolve().folder, "C:\\" + std::string(253, 'a') + "Low");
}

// A name the ANSI code page cannot write exactly would come out as another
// folder's name (best fit: "Michał" as "Michal"), or with a replacement
// character: the data folder is refused, with no fallback that would name it
// the same inexact way.
TEST_F(UserDataFolderTest, FolderTheCodePageCannotNameExactlyIsRefused) {
  for (const std::u16string& name : {std::u16string(u"Mich\u0142al"), std::u16string(u"\u0416\u00e9")}) {
    sim::SetKnownFolder(sim::LocalAppDataLowId(), u"C:\\Users\\" + name + u"\\LocalLow");
    PathText folder;
    folder.assign("left");
    DWORD refusal = 0;
    EXPECT_TRUE(ResolveUserDataFolder(&folder, &refusal));
    EXPECT_EQ(std::string(folder.c_str()), "");
    EXPECT_EQ(refusal, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  }
  sim::SetKnownFolder(sim::LocalAppDataLowId(), u"C:\\Users\\Jos\u00e9\\LocalLow");
  EXPECT_EQ(Resolve().folder, "C:\\Users\\Jos\xe9\\LocalLow") << "what code page 1252 has stays";
}

TEST_F(UserDataFolderTest, VersionTestIsExactlySixAndAskedOnce) {
  struct Row {
    DWORD major, platform;
    bool six;
  } rows[] = {{6, 2, true}, {5, 2, false}, {10, 2, false}, {7, 2, false}, {6, 1, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE("major " + std::to_string(row.major) + " platform " + std::to_string(row.platform));
    ForgetWindowsVersionForTesting();
    sim::SetWindowsVersion(row.major, 0, row.platform);
    EXPECT_EQ(IsWindowsVersion6(), row.six);
  }
  sim::ClearCalls();
  sim::SetWindowsVersion(5, 0);
  EXPECT_FALSE(IsWindowsVersion6());  // still the cached answer of the last row
  ForgetWindowsVersionForTesting();
  EXPECT_FALSE(IsWindowsVersion6());
  sim::SetWindowsVersion(6, 0);
  EXPECT_FALSE(IsWindowsVersion6());
  EXPECT_EQ(sim::CountCalls("GetVersionExA(148)"), 1u);
}

TEST_F(UserDataFolderTest, OlderSystemsAskShfolderFirst) {
  OlderSystem();
  Outcome o = Resolve();
  EXPECT_TRUE(o.flag);
  EXPECT_EQ(o.folder, "C:\\Users\\tester\\AppData\\Roaming");
  EXPECT_EQ(sim::CallsStartingWith("SHGetFolderPathA"), std::vector<std::string>{"SHGetFolderPathA(0x0, 26, NULL, 0)"});
  EXPECT_EQ(sim::CountCalls("SHGetSpecialFolderPathA"), 0u);
  EXPECT_EQ(sim::LoadedLibraryReferences(), 0);
}

TEST_F(UserDataFolderTest, OlderSystemsFallBackAsTheTableSays) {
  struct Row {
    const char* name;
    bool shfolder, shfolderExport, shell32Export, folderWorks;
    const char* profile;  // nullptr: unset
    bool flag;
    std::string folder;
  } rows[] = {
      {"shfolder without its export", true, false, true, true, "C:\\Users\\tester", true, "C:\\Users\\tester"},
      {"shfolder without export, empty profile", true, false, true, true, "", true, "C:\\Windows"},
      {"shfolder's lookup fails", true, true, true, false, "C:\\Users\\tester", false, "C:\\Users\\tester"},
      {"no shfolder, shell32", false, false, true, true, "C:\\Users\\tester", true, "C:\\Users\\tester\\AppData\\Roaming"},
      {"no shfolder, shell32 fails", false, false, true, false, "C:\\P", false, "C:\\P"},
      {"no shfolder, no export", false, false, false, true, nullptr, true, "C:\\Windows"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::Reset();
    ForgetWindowsVersionForTesting();
    OlderSystem();
    if (!row.shfolder) sim::RemoveLibrary("shfolder.dll");
    if (!row.shfolderExport) sim::RemoveExport("shfolder.dll", "SHGetFolderPathA");
    if (!row.shell32Export) sim::RemoveExport("shell32.dll", "SHGetSpecialFolderPathA");
    if (!row.folderWorks) sim::SetShellFolder(CSIDL_APPDATA, std::nullopt);
    if (row.profile == nullptr)
      sim::UnsetEnv("USERPROFILE");
    else
      sim::SetEnv("USERPROFILE", row.profile);
    Outcome o = Resolve();
    EXPECT_EQ(o.flag, row.flag);
    EXPECT_EQ(o.folder, row.folder);
    EXPECT_EQ(sim::LoadedLibraryReferences(), 0);
    if (row.shfolder) {
      EXPECT_EQ(sim::CountCalls("SHGetSpecialFolderPathA"), 0u) << "shell32 is not tried";
    }
  }
}

TEST_F(UserDataFolderTest, ShellThirtyTwoCreatesTheFolderWhenMissing) {
  OlderSystem();
  sim::RemoveLibrary("shfolder.dll");
  sim::SetShellFolder(CSIDL_APPDATA, "C:\\Users\\tester\\Application Data");
  EXPECT_EQ(Resolve().folder, "C:\\Users\\tester\\Application Data");
  EXPECT_TRUE(sim::IsDirectory("C:\\Users\\tester\\Application Data"));
  EXPECT_EQ(sim::CallsStartingWith("SHGetSpecialFolderPathA"),
            std::vector<std::string>{"SHGetSpecialFolderPathA(0x0, 26, 1)"});
}

TEST_F(UserDataFolderTest, ProfileTooLongForTheTextUsesTheWindowsDirectory) {
  OlderSystem();
  sim::RemoveExport("shfolder.dll", "SHGetFolderPathA");
  sim::SetEnv("USERPROFILE", "C:\\" + std::string(257, 'p'));  // 260 characters
  EXPECT_EQ(Resolve().folder, "C:\\Windows");
  sim::SetEnv("USERPROFILE", "C:\\" + std::string(256, 'p'));  // 259 fits
  EXPECT_EQ(Resolve().folder, "C:\\" + std::string(256, 'p'));
}

TEST_F(UserDataFolderTest, LibrariesAreLoadedOnlyByFullSystemPath) {
  sim::SetSystemDirectory("D:\\Win\\sys");
  PathText folder;
  ResolveUserDataFolder(&folder);
  OlderSystem();
  ForgetWindowsVersionForTesting();
  ResolveUserDataFolder(&folder);
  auto loads = sim::LibraryLoads();
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0].path, "D:\\Win\\sys\\shell32.dll");
  EXPECT_EQ(loads[1].path, "D:\\Win\\sys\\shfolder.dll");
}

}  // namespace
