#include "driver/run_sequence.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "driver/main_command_line.h"
#include "support/machine_fixture.h"

namespace {

using test::kPackagePath;
using test::kStagingDir;
using test::kToolPath;

const std::string kVersionMessage =
    "Vesk(TM) could not be installed because the Windows Installer 2.0 Engine is not installed on this system.  "
    "Please download and install Windows Installer 2.0 or higher from the Microsoft web site.";

class RunSequenceTest : public test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::AddString(4, 1033, kVersionMessage);
  }
};

TEST_F(RunSequenceTest, TypicalRunInstallsFromTheStagingDirectoryAndCleansUp) {
  AddPayload();
  FakeInstaller(0);
  sim::RunResult r = RunWinMain();
  EXPECT_FALSE(r.exitProcessCalled);
  EXPECT_EQ(r.code, 0);
  auto runs = Runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].commandLine, "\"" + kToolPath + "\" /i \"" + kPackagePath + "\"  WRAPPER=1");
  EXPECT_TRUE(runs[0].eventWasSet);
  EXPECT_EQ(runs[0].stagingFiles,
            (std::vector<std::string>{"qmb1.6.0_39.msi", "sb160390.cab", "sj160390.cab", "sp160390.cab",
                                      "sr160390.cab", "ss160390.cab", "st160390.cab", "sz160390.cab"}));
  EXPECT_FALSE(sim::Exists(kStagingDir));
  EXPECT_FALSE(sim::Exists(test::kDataFolder + "\\Qor"));
  EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST_F(RunSequenceTest, PackageIsCompleteBeforeTheThreadAndTheEventBeforeTheInstaller) {
  AddPayload();
  FakeInstaller(0);
  RunWinMain();
  std::vector<std::string> order;
  for (const auto& c : sim::Calls()) {
    if (c.rfind("CreateFileA(" + kPackagePath, 0) == 0) order.push_back("package");
    if (c.rfind("CreateEventA(", 0) == 0 && c.find(test::kReadyEvent) != std::string::npos && order.size() < 3)
      order.push_back("event");
    if (c.rfind("CreateThread(", 0) == 0) order.push_back("thread " + c.substr(c.find(", ") + 2));
    if (c.rfind("CreateProcessA(", 0) == 0) order.push_back("installer");
  }
  ASSERT_GE(order.size(), 4u);
  EXPECT_EQ(order[0], "package");
  EXPECT_EQ(order[1], "event");
  EXPECT_EQ(order[2], "thread 0, 0x400000, 0x0)") << "default stack, the module as argument, starts at once";
  EXPECT_EQ(order[3], "installer");
}

TEST_F(RunSequenceTest, RunKeepsItsEventHandleToTheEnd) {
  AddPayload();
  // The installer waits for the event, then until the cabinet thread has
  // closed its own handle (only its own, the run's and the run lock's stay),
  // so that the count after the run does not depend on how far the thread
  // got.
  sim::RegisterProgram(test::kToolPath, [](const std::string&) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "QorQMBCabExtractWaitEvent");
    WaitForSingleObject(e, 10000);
    for (int i = 0; i < 2000 && sim::OpenEventHandles() != 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CloseHandle(e);
    return 0u;
  });
  EXPECT_EQ(RunWinMain().code, 0);
  EXPECT_EQ(sim::OpenEventHandles(), 2) << "the run never closes the event's handle, nor its lock's";
}

// The exit codes, row by row.
TEST_F(RunSequenceTest, InstallerExitCodeBecomesTheRunsExitCode) {
  for (DWORD code : {0u, 1602u, 1603u, 1618u, 3010u, 1641u, 0xC0000005u}) {
    SCOPED_TRACE(code);
    sim::Reset();
    ForgetWindowsVersionForTesting();
    sim::RegSetString(test::kInstallerKey, "InstallerLocation", "C:\\Windows\\system32");
    AddPayload();
    FakeInstaller(code);
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(static_cast<DWORD>(r.code), code);
    EXPECT_FALSE(sim::Exists(kStagingDir)) << "cleanup runs";
  }
}

// A run that ends before the cabinets are written, with the cabinet thread
// held at each point where the end can find it: the thread stops, the run
// waits for it, and only then cleans up. Whatever the timing: the run's own
// code, no message, nothing left on disk, and the event set only when all
// seven cabinets were written.
TEST_F(RunSequenceTest, EarlyEndStopsTheCabinetThreadWhereverItIs) {
  struct Hold {
    const char* where;
    const char* op;
    const char* match;
    size_t created, written;  // the cabinet files the thread made, its write calls
    bool eventSet;
    bool callFails = false;  // the held call then fails (the disk is full)
  } holds[] = {
      {"before its first create", "CreateFileA", "ss160390.cab", 1, 0, false},
      {"in the middle of a cabinet", "WriteFile", "ss160390.cab", 1, 1, false},
      {"at a write that then fails", "WriteFile", "ss160390.cab", 1, 1, false, true},
      {"between two cabinets", "CloseHandle", "ss160390.cab", 1, 2, false},
      {"after the last cabinet", "CloseHandle", "sr160390.cab", 7, 14, true},
  };
  for (const char* cause : {"the installer cannot be started", "its end cannot be awaited"}) {
    for (const Hold& hold : holds) {
      SCOPED_TRACE(std::string(cause) + ", the thread held " + hold.where);
      Restart();
      AddPayload();
      if (std::string(cause) == "its end cannot be awaited") {
        FakeInstaller(0, 1000);
        sim::FailCall("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
      }
      // The run goes on to its end only once the thread is where the row
      // holds it, and the thread only once the run waits for it.
      sim::HoldCall("CreateProcessA", "", [] { return sim::HeldThreads() == 2; });  // both held
      sim::HoldCall(hold.op, hold.match, [] { return sim::ThreadAwaited(); });
      if (hold.callFails) sim::FailCall(hold.op, 1, ERROR_DISK_FULL, hold.match);
      sim::RunResult r = RunWinMain();
      EXPECT_FALSE(r.exitProcessCalled);
      EXPECT_EQ(r.code, 1);
      EXPECT_TRUE(sim::MessageBoxes().empty());
      EXPECT_FALSE(sim::Exists(test::kDataFolder + "\\Qor")) << "nothing left on disk";
      EXPECT_EQ(sim::OpenHandles(), (std::map<std::string, int>{{"event", 2}})) << "the ready event and the run lock";
      size_t created = 0;
      for (const std::string& call : sim::CallsStartingWith("CreateFileA(" + kStagingDir))
        created += call.find(".cab, 0x40000000") != std::string::npos ? 1 : 0;
      EXPECT_EQ(created, hold.created);
      EXPECT_EQ(sim::CountCalls("WriteFile(") - 3, hold.written) << "the package takes three writes";
      EXPECT_EQ(sim::EventSignalled(test::kReadyEvent), hold.eventSet);
    }
  }
}

TEST_F(RunSequenceTest, OldWindowsInstallerShowsTheVersionMessageAndReturnsMinusTwo) {
  AddPayload();
  FakeInstaller(0);
  sim::SetMsiVersion(0x00020000, 0x0A27FFFF);
  sim::RunResult r = RunWinMain();
  EXPECT_EQ(r.code, -2);
  auto boxes = sim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kVersionMessage);
  EXPECT_EQ(boxes[0].caption, "");
  EXPECT_EQ(boxes[0].style, 0x10u);
  EXPECT_EQ(sim::CallsStartingWith("LoadStringA"), std::vector<std::string>{"LoadStringA(0x400000, 4, 1024)"});
  EXPECT_FALSE(sim::Exists(test::kDataFolder + "\\Qor")) << "no staging directory";
  EXPECT_TRUE(Runs().empty());
}

TEST_F(RunSequenceTest, VersionMessageIsThePlatformsLanguageChoice) {
  sim::AddString(4, 1041, "\x82\xa0 Japanese text");
  sim::SetUiLanguage(1041);
  sim::RemoveMsiVersionInfo();
  EXPECT_EQ(RunWinMain().code, -2);
  EXPECT_EQ(sim::MessageBoxes()[0].text, "\x82\xa0 Japanese text");
}

TEST_F(RunSequenceTest, ToolNotLocatedReturnsMinusThreeWithoutCleanup) {
  AddPayload();
  FakeInstaller(0);
  sim::RemoveRegistryTree(test::kInstallerKey);
  sim::RunResult r = RunWinMain();
  EXPECT_EQ(r.code, -3);
  EXPECT_EQ(sim::ReadFileBytes(kPackagePath), test::kPackageBytes) << "the package stays";
  EXPECT_EQ(sim::CountCalls("CreateThread"), 0u);
  EXPECT_EQ(sim::CountCalls("CreateEventA(NULL"), 0u) << "no ready event";
  EXPECT_EQ(sim::CountCalls("RemoveDirectoryA"), 0u);
}

TEST_F(RunSequenceTest, MissingPackageRunsNothingAndCleansUp) {
  AddCabinets();
  AddUpdater();
  FakeInstaller(0);
  sim::RunResult r = RunWinMain();
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Runs().empty());
  EXPECT_EQ(sim::CountCalls("CreateThread"), 0u);
  EXPECT_EQ(sim::CountCalls("RegOpenKeyExA"), 0u) << "the tool is not looked for";
  EXPECT_FALSE(sim::Exists(test::kDataFolder + "\\Qor"));
}

TEST_F(RunSequenceTest, PackageThatCannotBeWrittenEndsTheProcessWithTheError) {
  AddPayload();
  FakeInstaller(0);
  sim::FailCall("CreateFileA", 1, 5, "qmb1.6.0_39.msi");
  sim::RunResult r = RunWinMain();
  EXPECT_TRUE(r.exitProcessCalled);
  EXPECT_EQ(r.code, 5);
  EXPECT_TRUE(Runs().empty());
  EXPECT_TRUE(sim::IsDirectory(kStagingDir)) << "no cleanup on the fatal path";
}

TEST_F(RunSequenceTest, MissingDataFolderIsTheFatalCreatePath) {
  AddPayload();
  FakeInstaller(0);
  // A file where the maker folder would go: no folder below it can be made.
  sim::WriteFileBytes(test::kDataFolder + "\\Qor", "not a folder");
  sim::RunResult r = RunWinMain();
  EXPECT_TRUE(r.exitProcessCalled);
  EXPECT_EQ(r.code, 3);
  ASSERT_EQ(sim::MessageBoxes().size(), 1u);
  EXPECT_EQ(sim::MessageBoxes()[0].text,
            "Installer : Wrapper.CreateFile  failed with error 3: The system cannot find the path specified.\r\n");
}

TEST_F(RunSequenceTest, CabinetFailureWhileTheInstallerWaitsEndsTheWholeProcess) {
  AddPayload();
  FakeInstaller(0, 2000);
  sim::SetDiskSpace(test::kPackageBytes.size() + 9000 + 100);
  sim::RunResult r = RunWinMain();
  EXPECT_TRUE(r.exitProcessCalled);
  EXPECT_EQ(r.code, 112);
  EXPECT_FALSE(sim::EventSignalled("QorQMBCabExtractWaitEvent"));
  EXPECT_FALSE(sim::MessageBoxes().empty());
  EXPECT_FALSE(sim::MessageBoxes()[0].mainThread) << "shown by the cabinet thread";
}

TEST_F(RunSequenceTest, DataFolderThatDoesNotExistYetIsUsedAndMade) {
  // Before Windows 6, SHGetFolderPathA answers S_FALSE (1) for it: a success.
  sim::SetWindowsVersion(5, 1);
  const std::string folder = "C:\\Users\\tester\\Application Data";
  sim::SetShellFolder(CSIDL_APPDATA, folder);
  AddPayload();
  FakeInstaller(0);
  EXPECT_EQ(RunWinMain().code, 0);
  ASSERT_EQ(Runs().size(), 1u);
  EXPECT_NE(Runs()[0].commandLine.find("\"" + folder + "\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi\""),
            std::string::npos);
  EXPECT_TRUE(sim::IsDirectory(folder));
}

// The package path an installer tool in SysWOW64 gets: "system32" becomes
// "SysWOW64" only where the package lies below the system directory (the
// system account's profile), compared without regard to case; a folder of
// the user's that is only named system32 stays as written. A 32-bit process
// on 64-bit Windows finds a data folder below the system directory in
// SysWOW64 whatever the tool: the run goes on by that folder's final path.
TEST_F(RunSequenceTest, SysWow64ToolRewritesSystem32InThePackagePathOnly) {
  struct Row {
    const char* dataFolder;
    const char* location;
    std::string expectedPackageFolder;
    bool wow64 = false;
  } rows[] = {
      {"C:\\Windows\\system32\\config\\systemprofile\\AppData\\LocalLow", "C:\\Windows\\SysWOW64",
       "C:\\Windows\\SysWOW64\\config\\systemprofile\\AppData\\LocalLow"},
      {"C:\\Windows\\system32\\config\\systemprofile\\AppData\\LocalLow", "C:\\Windows\\syswow64",
       "C:\\Windows\\system32\\config\\systemprofile\\AppData\\LocalLow"},
      {"C:\\Windows\\System32\\p\\LocalLow", "C:\\Windows\\SysWOW64", "C:\\Windows\\SysWOW64\\p\\LocalLow"},
      {"C:\\Users\\tester\\AppData\\LocalLow", "C:\\Windows\\SysWOW64", "C:\\Users\\tester\\AppData\\LocalLow"},
      {"C:\\Users\\tester\\system32\\LocalLow", "C:\\Windows\\SysWOW64", "C:\\Users\\tester\\system32\\LocalLow"},
      {"C:\\Windows\\system32x\\LocalLow", "C:\\Windows\\SysWOW64", "C:\\Windows\\system32x\\LocalLow"},
      {"C:\\Windows\\system32\\config\\systemprofile\\AppData\\LocalLow", "C:\\Windows\\system32",
       "C:\\Windows\\SysWOW64\\config\\systemprofile\\AppData\\LocalLow", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.dataFolder) + " with " + row.location + (row.wow64 ? ", WOW64" : ""));
    sim::Reset();
    ForgetWindowsVersionForTesting();
    sim::SetWow64(row.wow64);
    std::string folder = row.dataFolder;
    sim::SetKnownFolder(sim::LocalAppDataLowId(), std::u16string(folder.begin(), folder.end()));
    sim::MakeDirectories(folder);
    sim::RegSetString(test::kInstallerKey, "InstallerLocation", row.location);
    AddPayload();
    std::string tool = std::string(row.location) + "\\msiexec.exe";
    std::string seen;
    sim::RegisterProgram(tool, [&seen](const std::string& line) {
      seen = line;
      HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "QorQMBCabExtractWaitEvent");
      WaitForSingleObject(e, 10000);
      CloseHandle(e);
      return 0u;
    });
    RunWinMain();
    EXPECT_EQ(seen, "\"" + tool + "\" /i \"" + row.expectedPackageFolder +
                        "\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi\"  WRAPPER=1");
    // The file itself was written where the folders really are.
    std::string written = row.wow64 ? row.expectedPackageFolder : folder;
    EXPECT_EQ(sim::CountCalls("CreateFileA(" + written + "\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi"), 1u);
  }
}

TEST(MainCommandLine, FormatsForEachLanguageAndRefusesWhatDoesNotFit) {
  CommandText line;
  ASSERT_TRUE(BuildMainCommandLine(&line, "C:\\t\\msiexec.exe", "C:\\p\\k.msi", 1033, " /qn ADDLOCAL=ALL"));
  EXPECT_STREQ(line.c_str(), "\"C:\\t\\msiexec.exe\" /i \"C:\\p\\k.msi\"  /qn ADDLOCAL=ALL WRAPPER=1");
  ASSERT_TRUE(BuildMainCommandLine(&line, "C:\\t\\msiexec.exe", "C:\\p\\k.msi", 1041, ""));
  EXPECT_STREQ(line.c_str(), "\"C:\\t\\msiexec.exe\" /i \"C:\\p\\k.msi\" TRANSFORMS=:1041  WRAPPER=1");
  ASSERT_TRUE(BuildMainCommandLine(&line, "t", "p", 2052, "A=1 "));
  EXPECT_STREQ(line.c_str(), "\"t\" /i \"p\" TRANSFORMS=:2052 A=1  WRAPPER=1");
  ASSERT_TRUE(BuildMainCommandLine(&line, "t", "p", 65535, ""));
  EXPECT_STREQ(line.c_str(), "\"t\" /i \"p\" TRANSFORMS=:65535  WRAPPER=1") << "unsigned decimal";

  // "\"t\" /i \"p\" " is 11 characters and " WRAPPER=1" 10: 1002 more fill 1023.
  std::string fill(1002, 'x');
  EXPECT_TRUE(BuildMainCommandLine(&line, "t", "p", 1033, fill.c_str()));
  EXPECT_EQ(line.size(), 1023u);
  fill += "y";
  EXPECT_FALSE(BuildMainCommandLine(&line, "t", "p", 1033, fill.c_str()));
  EXPECT_TRUE(line.empty()) << "never a line without its WRAPPER=1";
}

}  // namespace
