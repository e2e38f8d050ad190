#include "payload/cabinet_extractor.h"

#include <gtest/gtest.h>

#include "payload/staging_dir.h"

#include "support/machine_fixture.h"

namespace {

using test::kCabinets;
using test::kStagingDir;

class CabinetExtractorTest : public test::MachineTest {
 protected:
  // The staging directory as the main thread makes it before the thread
  // starts (the thread only opens it).
  static void MakeStagingDirectory() {
    PathText path;
    HeldFolders held;
    PreparePackagePath(&path, false, &held);
  }
};

// The order of the file operations and of the event in the call log.
std::vector<std::string> Timeline() {
  std::vector<std::string> out;
  for (const auto& c : sim::Calls()) {
    bool folder = c.find(", 0x2200000)") != std::string::npos;  // a folder held, not a file made
    if (c.rfind("CreateFileA(", 0) == 0 && !folder) out.push_back("create " + c.substr(c.rfind('\\') + 1, 8));
    if (c.rfind("SetEvent(", 0) == 0) out.push_back("set");
  }
  return out;
}

TEST_F(CabinetExtractorTest, WritesTheSevenInOrderThenSetsTheEvent) {
  AddCabinets();
  DWORD result = 0;
  sim::RunProcess([&] {
    MakeStagingDirectory();
    CreateReadyEvent();
    result = CabinetExtractor(sim::Module());
    EXPECT_TRUE(sim::EventSignalled("QorQMBCabExtractWaitEvent"));
    return 0;
  });
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(Timeline(), (std::vector<std::string>{"create ss160390", "create st160390", "create sj160390",
                                                  "create sp160390", "create sz160390", "create sb160390",
                                                  "create sr160390", "set"}));
  std::vector<std::string> expected;
  for (const auto& row : kCabinets) {
    expected.push_back(std::string(row.baseName) + ".cab");
    EXPECT_EQ(sim::ReadFileBytes(kStagingDir + "\\" + row.baseName + ".cab"), test::CabinetBytes(row));
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sim::ListDirectory(kStagingDir), expected);
  // The seventh file was closed before the event was set.
  auto calls = sim::Calls();
  size_t seventh = 0, closed = 0, set = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].rfind("CreateFileA(", 0) == 0 && calls[i].find("sr160390.cab") != std::string::npos) seventh = i;
    if (seventh != 0 && closed == 0 && calls[i].rfind("CloseHandle(", 0) == 0) closed = i;
    if (calls[i].rfind("SetEvent(", 0) == 0) set = i;
  }
  ASSERT_NE(closed, 0u);
  EXPECT_LT(closed, set);
}

TEST_F(CabinetExtractorTest, EventIsNotSetUntilTheLastCabinetIsWritten) {
  AddCabinets();
  // A waiter that looks at the staging directory the moment it is released.
  std::vector<std::string> seen;
  sim::RegisterProgram("C:\\waiter.exe", [&](const std::string&) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "QorQMBCabExtractWaitEvent");
    WaitForSingleObject(e, 20000);
    seen = sim::ListDirectory(kStagingDir);
    CloseHandle(e);
    return 0u;
  });
  sim::RunProcess([&] {
    MakeStagingDirectory();
    CreateReadyEvent();
    char line[] = "C:\\waiter.exe";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    CabinetExtractor(sim::Module());
    WaitForSingleObject(pi.hProcess, INFINITE);
    return 0;
  });
  EXPECT_EQ(seen.size(), 7u);
}

TEST_F(CabinetExtractorTest, MissingCabinetIsSkippedAndTheEventStillSet) {
  for (const auto& row : kCabinets)
    if (std::string(row.baseName) != "sj160390")
      sim::AddResource(row.type, static_cast<WORD>(row.number), test::CabinetBytes(row));
  sim::RunProcess([&] {
    MakeStagingDirectory();
    CreateReadyEvent();
    EXPECT_EQ(CabinetExtractor(sim::Module()), 1u);
    EXPECT_TRUE(sim::EventSignalled("QorQMBCabExtractWaitEvent"));
    return 0;
  });
  EXPECT_EQ(Timeline(), (std::vector<std::string>{"create ss160390", "create st160390", "create sp160390",
                                                  "create sz160390", "create sb160390", "create sr160390", "set"}));
}

TEST_F(CabinetExtractorTest, FailedCabinetWriteEndsTheProcessWithoutSettingTheEvent) {
  AddCabinets();
  sim::FailCall("CreateFileA", 1, 5, "sj160390");
  sim::RunResult r = sim::RunProcess([] {
    MakeStagingDirectory();
    CreateReadyEvent();
    CabinetExtractor(sim::Module());
    return 0;
  });
  EXPECT_TRUE(r.exitProcessCalled);
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(sim::CountCalls("SetEvent"), 0u);
  EXPECT_FALSE(sim::Exists(kStagingDir + "\\sp160390.cab"));
}

TEST_F(CabinetExtractorTest, SignalWithoutAnOpenHandleLeavesNoEventBehind) {
  EXPECT_EQ(SignalReadyEvent(), 1);
  EXPECT_FALSE(sim::EventExists("QorQMBCabExtractWaitEvent"));
  HANDLE held = CreateReadyEvent();
  EXPECT_EQ(SignalReadyEvent(), 1);
  EXPECT_TRUE(sim::EventSignalled("QorQMBCabExtractWaitEvent"));
  EXPECT_EQ(WaitForSingleObject(held, 0), WAIT_OBJECT_0) << "a later wait returns at once";
  EXPECT_EQ(WaitForSingleObject(held, 0), WAIT_OBJECT_0) << "manual reset: it stays set";
  CloseHandle(held);
  sim::FailCall("CreateEventA", 1, 5);
  EXPECT_EQ(SignalReadyEvent(), 0);
}

TEST_F(CabinetExtractorTest, ReadyEventIsCreatedNamedManualResetAndNotSignalled) {
  HANDLE e = CreateReadyEvent();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(sim::CallsStartingWith("CreateEventA"),
            std::vector<std::string>{"CreateEventA(NULL, 1, 0, QorQMBCabExtractWaitEvent)"});
  EXPECT_FALSE(sim::EventSignalled("QorQMBCabExtractWaitEvent"));
  CloseHandle(e);
}

}  // namespace
