#include "diag/system_library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

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

  // 260 characters: the directory does not fit its text at all, and no path
  // is formed without it (it would start at the root of the current drive).
  sim::SetSystemDirectory("C:\\" + std::string(120, 'd') + "\\" + std::string(136, 'e'));
  EXPECT_EQ(LoadSystemLibraryQuiet("shell32.dll"), nullptr);
  EXPECT_EQ(sim::CountCalls("LoadLibraryA"), 0u);
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

TEST_F(SystemLibraryTest, RunHardensTheSearchPathBeforeAnythingIsLoadedOrLookedUp) {
  AddPayload();
  FakeInstaller(0);
  RunWinMain();
  // Up to the hardening call the run only reads the system directory, loads
  // kernel32 by its full path, looks up entry points and calls what it
  // looked up.
  std::vector<std::string> calls = sim::Calls();
  auto hardened = std::find(calls.begin(), calls.end(), "SetDllDirectoryA()");
  ASSERT_NE(hardened, calls.end());
  std::set<std::string> allowed = {"GetSystemDirectoryA", "GetProcAddress"};
  for (auto call = calls.begin(); call != hardened; ++call) {
    std::string op = call->substr(0, call->find('('));
    if (op == "GetProcAddress") allowed.insert(call->substr(call->find(", ") + 2, call->size() - call->find(", ") - 3));
    EXPECT_TRUE(allowed.count(op) != 0 || *call == "LoadLibraryA(C:\\Windows\\system32\\kernel32.dll)") << *call;
  }
  EXPECT_EQ(sim::DllDirectories(), std::vector<std::string>{""});
  for (const auto& load : sim::LibraryLoads()) {
    EXPECT_EQ(load.path.rfind("C:\\Windows\\system32\\", 0), 0u) << load.path << " by full system path";
  }
  EXPECT_FALSE(sim::Exists(kTempLog));
}

}  // namespace
