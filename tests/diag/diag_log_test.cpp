#include "diag/diag_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <ctime>
#include <limits>

#include "support/machine_fixture.h"

namespace {

const std::string kTemp = "C:\\Users\\tester\\AppData\\Local\\Temp\\";
const std::string kTempLog = kTemp + "moltrav.log";

// 2013-03-06 14:05:09 UTC, a Wednesday.
const time_t kWednesday = 1362578709;

class DiagLogTest : public test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    const char* tz = std::getenv("TZ");
    savedTz_ = tz != nullptr ? tz : "";
    hadTz_ = tz != nullptr;
    SetTz("UTC0");
    sim::SetClock(kWednesday);
  }
  void TearDown() override {
    if (hadTz_)
      setenv("TZ", savedTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
    MachineTest::TearDown();
  }
  static void SetTz(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  std::string savedTz_;
  bool hadTz_ = false;
};

TEST_F(DiagLogTest, RecordLayoutByteForByte) {
  DiagLog("first");
  EXPECT_EQ(sim::ReadFileBytes(kTempLog), "\nWed Mar 06 14:05:09 2013\n:: first");
  sim::SetClock(kWednesday + 86400 * 4 + 3600 * 10 + 61);  // Monday 00:06:10
  DiagLog("second");
  EXPECT_EQ(sim::ReadFileBytes(kTempLog),
            "\nWed Mar 06 14:05:09 2013\n:: first\nMon Mar 11 00:06:10 2013\n:: second");
}

TEST_F(DiagLogTest, OpensSharedForWritingAndAppendsInTwoWrites) {
  sim::WriteFileBytes(kTempLog, "earlier content");
  DiagLog("msg");
  EXPECT_EQ(sim::ReadFileBytes(kTempLog), "earlier content\nWed Mar 06 14:05:09 2013\n:: msg");
  // Made or opened (disposition 3, never truncated) below the held folder,
  // shared for writing only.
  auto opens = sim::CallsStartingWith("NtCreateFile");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].substr(0, opens[0].find(", ")), "NtCreateFile(c:\\users\\tester\\appdata\\local\\temp\\moltrav.log");
  EXPECT_NE(opens[0].find(", 2, 3, "), std::string::npos) << opens[0];
  EXPECT_EQ(sim::CallsStartingWith("SetFilePointer").size(), 1u);
  auto writes = sim::CallsStartingWith("WriteFile");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_NE(writes[0].find(", 29)"), std::string::npos) << "the header";
  EXPECT_NE(writes[1].find(", 3)"), std::string::npos) << "the message";
  EXPECT_EQ(sim::OpenFileHandles(), 0);
}

TEST_F(DiagLogTest, EmptyMessageGivesTheHeaderAlone) {
  DiagLog("");
  EXPECT_EQ(sim::ReadFileBytes(kTempLog), "\nWed Mar 06 14:05:09 2013\n:: ");
}

TEST_F(DiagLogTest, TimestampIsLocalTime) {
  SetTz("EST5");
  DiagLog("x");
  EXPECT_EQ(sim::ReadFileBytes(kTempLog), "\nWed Mar 06 09:05:09 2013\n:: x");
}

TEST_F(DiagLogTest, TimeThatCannotBeFormedGivesTheMessageAlone) {
  sim::SetClock(std::numeric_limits<time_t>::max());
  DiagLog("bare");
  EXPECT_EQ(sim::ReadFileBytes(kTempLog), "bare");
}

TEST_F(DiagLogTest, TmpdirGetsOneBackslashEvenWhenItEndsWithOne) {
  sim::MakeDirectories("D:\\logs");
  sim::SetEnv("TMPDIR", "D:\\logs");
  DiagLog("a");
  sim::SetEnv("TMPDIR", "D:\\logs\\");
  DiagLog("b");
  // The folder is held by its name without the backslash, both times.
  auto holds = sim::CallsStartingWith("CreateFileA");
  ASSERT_EQ(holds.size(), 2u);
  EXPECT_EQ(holds[0].substr(0, 20), "CreateFileA(D:\\logs,");
  EXPECT_EQ(holds[1].substr(0, 20), "CreateFileA(D:\\logs,");
  EXPECT_EQ(sim::ReadFileBytes("D:\\logs\\moltrav.log"),
            "\nWed Mar 06 14:05:09 2013\n:: a\nWed Mar 06 14:05:09 2013\n:: b");
  EXPECT_FALSE(sim::Exists(kTempLog));
}

TEST_F(DiagLogTest, EmptyTmpdirUsesTheTempFolder) {
  sim::SetEnv("TMPDIR", "");
  DiagLog("t");
  EXPECT_EQ(sim::ReadFileBytes(kTempLog), "\nWed Mar 06 14:05:09 2013\n:: t");
}

TEST_F(DiagLogTest, TmpdirThatDoesNotExistDropsTheRecordWithoutFallback) {
  sim::SetEnv("TMPDIR", "D:\\nowhere");
  DiagLog("lost");
  EXPECT_FALSE(sim::Exists(kTempLog));
  EXPECT_FALSE(sim::Exists("D:\\nowhere"));
  EXPECT_EQ(sim::CountCalls("GetTempPathA"), 0u);
}

TEST_F(DiagLogTest, PathsThatDoNotFitAreDropped) {
  // Folder, backslash and "moltrav.log" must fit 259 characters.
  std::string folder = "D:\\" + std::string(100, 'a') + "\\" + std::string(143, 'b');  // 247
  sim::MakeDirectories(folder);
  sim::SetEnv("TMPDIR", folder);
  DiagLog("fits");
  EXPECT_EQ(sim::ReadFileBytes(folder + "\\moltrav.log"), "\nWed Mar 06 14:05:09 2013\n:: fits");
  sim::SetEnv("TMPDIR", folder + "c");
  sim::ClearCalls();
  DiagLog("dropped");
  EXPECT_EQ(sim::CountCalls("CreateFileA"), 0u);
  sim::SetEnv("TMPDIR", std::string(300, 'x'));
  DiagLog("dropped");
  EXPECT_EQ(sim::CountCalls("CreateFileA"), 0u);
  sim::UnsetEnv("TMPDIR");
  sim::SetTempPath("C:\\" + std::string(270, 't') + "\\");
  DiagLog("dropped");
  EXPECT_EQ(sim::CountCalls("CreateFileA"), 0u);
}

// The log's folder comes from the user's environment (TMPDIR, TMP, TEMP):
// a record that cannot be written where its path says is dropped, and never
// written, nor its file made, anywhere else.
TEST_F(DiagLogTest, RecordThatCannotBeWrittenSafelyIsDroppedNotWrittenElsewhere) {
  const std::string victim = "C:\\Victim", redirected = "C:\\Users\\tester\\Redirected";
  struct Row {
    const char* name;
    std::function<void()> plant;
  } rows[] = {
      {"the temp folder is a link", [&] { sim::MakeLink(redirected, victim); }},
      {"a folder above the temp folder leads elsewhere (object-manager link)",
       [&] {
         sim::MakeDirectories(redirected);
         sim::RedirectFolder(redirected, victim);
       }},
      {"the temp folder lies on a share", [&] {
         sim::MapNetworkDrive('S', "\\\\server\\share");
         sim::MakeDirectories("S:\\Redirected");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Restart();
    sim::SetClock(kWednesday);
    sim::MakeDirectories(victim);
    row.plant();
    sim::SetTempPath(std::string(row.name).find("share") != std::string::npos ? "S:\\Redirected" : redirected);
    DiagLog("dropped");
    EXPECT_EQ(sim::ListDirectory(victim), std::vector<std::string>{}) << "nothing made through the link";
    EXPECT_FALSE(sim::Exists("S:\\Redirected\\moltrav.log"));
    EXPECT_EQ(sim::OpenFileHandles(), 0);
  }
}

TEST_F(DiagLogTest, FileHeldWithoutWriteSharingDropsTheRecord) {
  sim::HoldFileOpen(kTempLog, GENERIC_READ, FILE_SHARE_READ);
  DiagLog("lost");
  sim::ReleaseHeldFiles();
  EXPECT_EQ(sim::ReadFileBytes(kTempLog), "");
}

}  // namespace
