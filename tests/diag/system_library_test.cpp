#include "diag/system_library.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/machine_fixture.h"

namespace {

const std::string kTempLog = "C:\\Users\\tester\\AppData\\Local\\Temp\\moltrav.log";
const time_t kWednesday = 1362578709;
const std::string kStamp = "\nWed Mar 06 14:05:09 2013\n:: ";

class SystemLibraryTest : public test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    setenv("TZ", "UTC0", 1);
    tzset();
    sim::SetClock(kWednesday);
  }
  std::string Log() { return sim::ReadFileBytes(kTempLog); }
};

TEST_F(SystemLibraryTest, NormalSystemHardensTheSearchPathAndWritesNoLog) {
  EXPECT_EQ(SetLibrarySearchDirectory(""), 1);
  EXPECT_EQ(sim::DllDirectories(), std::vector<std::string>{""});
  auto loads = sim::LibraryLoads();
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].path, "C:\\Windows\\system32\\kernel32.dll");
  EXPECT_EQ(sim::LoadedLibraryReferences(), 0);
  EXPECT_FALSE(sim::Exists(kTempLog));
  EXPECT_EQ(sim::CountCalls("CreateFileA"), 0u) << "the log is not even opened";
}

TEST_F(SystemLibraryTest, MissingExportIsLoggedAndTheLibraryFreed) {
  sim::RemoveExport("kernel32.dll", "SetDllDirectoryA");
  EXPECT_EQ(SetLibrarySearchDirectory(""), 0);
  EXPECT_EQ(Log(), kStamp + "GetProcAddress(SetDllDirectory) failed.  ErrorCode: 127");
  EXPECT_EQ(sim::LoadedLibraryReferences(), 0);
}

TEST_F(SystemLibraryTest, FailingCallIsLoggedAndTheLibraryFreed) {
  sim::FailCall("SetDllDirectoryA", 1, 87);
  EXPECT_EQ(SetLibrarySearchDirectory(""), 0);
  EXPECT_EQ(Log(), kStamp + "SetDllDirectory() failed.  ErrorCode: 87");
  EXPECT_EQ(sim::LoadedLibraryReferences(), 0);
}

TEST_F(SystemLibraryTest, FailedLoadWritesTwoRecordsInOrder) {
  sim::RemoveLibrary("kernel32.dll");
  EXPECT_EQ(SetLibrarySearchDirectory(""), 0);
  EXPECT_EQ(Log(), kStamp + "LoadLibrary(C:\\Windows\\system32\\kernel32.dll) failed.  ErrorCode: 126" + kStamp +
                       "ZLP_System_LoadLibrary(kernel32.dll) failed.  ErrorCode: 0");
  // The second record reads the last error after the first was written: a
  // new log file leaves 0 (an existing one would leave 183).
}

TEST_F(SystemLibraryTest, SystemDirectoryTooLongForThePath) {
  // "\kernel32.dll" is 13 characters: a 246-character directory joins to 259.
  std::string directory = "C:\\" + std::string(120, 'd') + "\\" + std::string(122, 'e');  // 246
  sim::SetSystemDirectory(directory);
  EXPECT_NE(LoadSystemLibrary("kernel32.dll"), nullptr);
  EXPECT_FALSE(sim::Exists(kTempLog));

  sim::SetSystemDirectory(directory + "f");
  SetLastError(0);
  sim::ClearCalls();
  EXPECT_EQ(SetLibrarySearchDirectory(""), 0);
  EXPECT_EQ(Log(), kStamp + "_snprintf failed.  ErrorCode: 0" + kStamp +
                       "ZLP_System_LoadLibrary(kernel32.dll) failed.  ErrorCode: 0");
  EXPECT_EQ(sim::CountCalls("LoadLibraryA"), 0u) << "no load is attempted";
}

TEST_F(SystemLibraryTest, SystemDirectoryUnavailable) {
  sim::FailCall("GetSystemDirectoryA", 1, 8);
  EXPECT_EQ(SetLibrarySearchDirectory(""), 0);
  EXPECT_EQ(Log(), kStamp + "GetSystemDirectory failed.  Return Code: 0, ErrorCode: 8" + kStamp +
                       "ZLP_System_LoadLibrary(kernel32.dll) failed.  ErrorCode: 0");
}

TEST_F(SystemLibraryTest, QuietLoaderRecordsNothing) {
  sim::RemoveLibrary("shfolder.dll");
  EXPECT_EQ(LoadSystemLibraryQuiet("shfolder.dll"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);
  sim::SetSystemDirectory("C:\\" + std::string(120, 'd') + "\\" + std::string(130, 'e'));
  EXPECT_EQ(LoadSystemLibraryQuiet("shfolder.dll"), nullptr);
  EXPECT_EQ(GetLastError(), 206u);
  EXPECT_FALSE(sim::Exists(kTempLog));
}

TEST_F(SystemLibraryTest, RunHardensTheSearchPathBeforeAnyOtherLibraryIsLoaded) {
  AddPayload();
  FakeInstaller(0);
  RunWinMain();
  auto loads = sim::LibraryLoads();
  ASSERT_FALSE(loads.empty());
  EXPECT_EQ(loads[0].path, "C:\\Windows\\system32\\kernel32.dll");
  auto calls = sim::Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0], "GetSystemDirectoryA(260)") << "the very first action of the run";
  EXPECT_EQ(sim::DllDirectories(), std::vector<std::string>{""});
  for (const auto& load : loads) {
    EXPECT_EQ(load.path.rfind("C:\\Windows\\system32\\", 0), 0u) << load.path << " by full system path";
  }
  EXPECT_FALSE(sim::Exists(kTempLog));
}

}  // namespace
