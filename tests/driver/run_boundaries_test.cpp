// Whole runs at the exact edges of the fixed-capacity texts: the last length
// that still works and the first that does not, for the package path, the
// diagnostic log's path, the installer tool's path and the silent
// follow-up commands. Each run goes through WinMain on a fresh machine.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "support/machine_fixture.h"

namespace {

using test::kKitKey;
using test::kPackagePath;
using test::kStagingDir;
using test::kToolPath;

const std::string kPackageTail = "\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi";
const std::string kFollowUpFiles[] = {"zlp.msi", "veskdb.msi", "zlp1041.MST", "zlp2052.MST"};

// A Windows path of exactly `length` characters: `base` followed by
// components of at most 100 characters (so that every component is a
// valid host file name too).
std::string PathOfLength(const std::string& base, size_t length, char fill) {
  EXPECT_GT(length, base.size() + 1);
  size_t extra = length - base.size();
  size_t components = (extra + 100) / 101;  // each takes a backslash and 1..100 characters
  size_t characters = extra - components;
  std::string path = base;
  for (size_t i = 0; i < components; ++i) {
    size_t n = characters / (components - i);
    characters -= n;
    path += "\\" + std::string(n, fill);
  }
  EXPECT_EQ(path.size(), length);
  return path;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class RunBoundariesTest : public test::MachineTest {
 protected:
  int MainRunsWithCabinets() {
    int n = 0;
    for (const test::ToolRun& run : Runs()) n += run.main && run.eventWasSet ? 1 : 0;
    return n;
  }

  // Calls of one operation whose logged text contains `part`.
  static size_t CallsMentioning(const std::string& op, const std::string& part) {
    size_t n = 0;
    for (const auto& c : sim::CallsStartingWith(op + "(")) n += c.find(part) != std::string::npos ? 1 : 0;
    return n;
  }
};

// ---- the package path: 259 characters install, 260 end the run with 206 ------

TEST_F(RunBoundariesTest, DataFolderThatMakesThePackagePathTooLongEndsWithFilenameTooLong) {
  struct Row {
    size_t folderLength;
    bool installs;
  } rows[] = {
      {259 - kPackageTail.size(), true},   // the package path is exactly 259 characters
      {260 - kPackageTail.size(), false},  // one more: it no longer fits its text
  };
  for (const Row& row : rows) {
    std::string folder = PathOfLength("C:\\Users\\tester", row.folderLength, 'd');
    std::string package = folder + kPackageTail;
    SCOPED_TRACE("package path of " + std::to_string(package.size()) + " characters");
    Restart();
    sim::SetKnownFolder(sim::LocalAppDataLowId(), std::u16string(folder.begin(), folder.end()));
    sim::MakeDirectories(folder);
    AddPayload();
    Installer(0);
    sim::RunResult r = RunWinMain();
    std::string staging = folder + "\\Qor\\Vesk\\qmb1.6.0_39";
    if (row.installs) {
      EXPECT_FALSE(r.exitProcessCalled);
      EXPECT_EQ(r.code, 0);
      EXPECT_EQ(Lines(), std::vector<std::string>{"\"" + kToolPath + "\" /i \"" + package + "\"  WRAPPER=1"});
      EXPECT_EQ(MainRunsWithCabinets(), 1) << "the cabinets beside it were written as well";
      EXPECT_TRUE(sim::MessageBoxes().empty());
      EXPECT_FALSE(sim::Exists(staging)) << "cleanup runs";
      EXPECT_FALSE(sim::Exists(folder + "\\Qor"));
    } else {
      EXPECT_TRUE(r.exitProcessCalled);
      EXPECT_EQ(r.code, ERROR_FILENAME_EXCED_RANGE);
      auto boxes = sim::MessageBoxes();
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text,
                "Installer : Wrapper.CreateFile  failed with error 206: The filename or extension is too long.\r\n");
      EXPECT_EQ(boxes[0].caption, "Error");
      EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK));
      EXPECT_TRUE(boxes[0].mainThread);
      size_t files = 0;  // creates other than the folders' opens
      for (const std::string& call : sim::CallsStartingWith("CreateFileA"))
        files += call.find(", 0x2200000)") == std::string::npos ? 1 : 0;
      EXPECT_EQ(files, 0u) << "nothing is written under a cut path";
      EXPECT_TRUE(sim::Processes().empty()) << "no installer is started";
      EXPECT_EQ(sim::CountCalls("CreateThread"), 0u);
      EXPECT_TRUE(sim::IsDirectory(staging)) << "no cleanup on the fatal path";
      EXPECT_TRUE(sim::ListDirectory(staging).empty());
    }
  }
}

// ---- the log path: TMPDIR, a backslash and "moltrav.log" within 259 ----------

TEST_F(RunBoundariesTest, TmpdirAtTheEdgeOfTheLogPathWritesOrDropsTheRecordAndTheRunGoesOn) {
  const std::string kTail = "\\moltrav.log";
  const std::string kRecord = ":: GetProcAddress(SetDllDirectory) failed.  ErrorCode: 127";
  struct Row {
    size_t tmpdirLength;
    bool written;
    const char* why;
  } rows[] = {
      {259 - kTail.size(), true, "the log path is exactly 259 characters"},
      {260 - kTail.size(), false, "the log path would be 260 characters"},
      {259, false, "the variable itself still fits its text, the joined path does not"},
      {260, false, "the variable no longer fits its text"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.tmpdirLength) + " characters: " + row.why);
    Restart();
    std::string tmpdir = PathOfLength("D:\\t", row.tmpdirLength, 'x');
    sim::MakeDirectories(tmpdir);
    sim::SetEnv("TMPDIR", tmpdir);
    sim::RemoveExport("kernel32.dll", "SetDllDirectoryA");  // the first step of the run logs a record
    AddPayload();
    Installer(1603);
    sim::RunResult r = RunWinMain();
    EXPECT_FALSE(r.exitProcessCalled);
    EXPECT_EQ(r.code, 1603) << "the installer's exit code, whatever became of the record";
    EXPECT_EQ(MainRuns(), 1);
    EXPECT_FALSE(sim::Exists(kStagingDir)) << "the run went on to its cleanup";
    std::string log = tmpdir + kTail;
    if (row.written) {
      ASSERT_TRUE(sim::Exists(log));
      std::string bytes = sim::ReadFileBytes(log);
      EXPECT_EQ(bytes.substr(0, 1), "\n");
      EXPECT_TRUE(EndsWith(bytes, kRecord)) << bytes;
    } else {
      EXPECT_EQ(sim::ListDirectory(tmpdir), std::vector<std::string>{}) << "nothing in the folder";
      EXPECT_EQ(CallsMentioning("CreateFileA", "moltrav"), 0u) << "no log file is opened anywhere";
      EXPECT_FALSE(sim::Exists("C:\\Users\\tester\\AppData\\Local\\Temp\\moltrav.log")) << "no fallback";
    }
  }
}

// ---- the installer tool: its folder and "\msiexec.exe" within 259 -------------

TEST_F(RunBoundariesTest, InstallerLocationAtTheEdgeOfTheToolPath) {
  const std::string kToolName = "\\msiexec.exe";
  for (size_t toolLength : {size_t{259}, size_t{260}}) {
    SCOPED_TRACE("tool path of " + std::to_string(toolLength) + " characters");
    Restart();
    std::string location = PathOfLength("C:\\i", toolLength - kToolName.size(), 'i');
    sim::RegSetString(test::kInstallerKey, "InstallerLocation", location);
    AddPayload();
    // A tool where the registry points (only a path within 259 characters
    // can hold one), and the usual one, which must not be used instead.
    if (toolLength <= 259) Installer(3010, location + kToolName);
    Installer(0);
    sim::RunResult r = RunWinMain();
    EXPECT_FALSE(r.exitProcessCalled);
    if (toolLength <= 259) {
      EXPECT_EQ(r.code, 3010) << "the exit code of the tool found there";
      EXPECT_EQ(Lines(),
                std::vector<std::string>{"\"" + location + kToolName + "\" /i \"" + kPackagePath + "\"  WRAPPER=1"});
      EXPECT_FALSE(sim::Exists(kStagingDir));
    } else {
      EXPECT_EQ(r.code, -3);
      EXPECT_TRUE(sim::Processes().empty()) << "no tool is started, not even another one";
      EXPECT_EQ(sim::CountCalls("CreateThread"), 0u);
      EXPECT_EQ(sim::ReadFileBytes(kPackagePath), test::kPackageBytes) << "the package stays";
      EXPECT_EQ(sim::ListDirectory(kStagingDir), std::vector<std::string>{"qmb1.6.0_39.msi"});
    }
  }
}

// ---- the silent follow-ups: 1023 characters per command ----------------------

class RunFollowUpBoundariesTest : public RunBoundariesTest {
 protected:
  void Kit(const std::string& home) {
    sim::RegSetString(kKitKey, "VeskHome", home);
    for (const auto& name : kFollowUpFiles) sim::WriteFileBytes(home + "\\" + name, name);
    sim::WriteFileBytes(home + "\\other.txt", "stays");
  }
  void Silent(const std::string& options) { sim::SetCommandLine("qmb-setup.exe /s " + options); }
  static std::string RuntimeCommand(const std::string& home) {
    return "\"" + kToolPath + "\" /i \"" + home + "\\zlp.msi\" /qn ADDLOCAL=ALL SDKSILENT=1";
  }
  static std::string DatabaseCommand(const std::string& home) {
    return "\"" + kToolPath + "\" /i \"" + home + "\\veskdb.msi\" /qn";
  }
};

TEST_F(RunFollowUpBoundariesTest, CommandOverItsTextIsNotStartedAndTheOtherOneAndTheDeletionsStill) {
  // The longest kit folder whose files can still be found: "\zlp1041.MST"
  // makes 259 characters.
  const std::string home = PathOfLength("C:\\k", 259 - 12, 'k');
  const std::string suffix = " INSTALLDIR=";
  const std::string runtime = RuntimeCommand(home) + suffix;
  const std::string database = DatabaseCommand(home) + suffix;
  struct Row {
    const char* name;
    size_t runtimeLength;   // of the whole runtime command; 0: no runtime folder option
    size_t databaseLength;  // likewise for the database
    bool runtimeStarts;
    bool databaseStarts;
  } rows[] = {
      {"runtime command of 1023", 1023, 0, true, true},
      {"runtime command of 1024", 1024, 0, false, true},
      {"database command of 1023", 0, 1023, true, true},
      {"database command of 1024", 0, 1024, true, false},
      {"both of 1024", 1024, 1024, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Restart();
    AddPayload();
    Kit(home);
    std::string runtimeDir = row.runtimeLength ? std::string(row.runtimeLength - runtime.size(), 'r') : "";
    std::string databaseDir = row.databaseLength ? std::string(row.databaseLength - database.size(), 'b') : "";
    std::string options;
    if (!runtimeDir.empty()) options += " /INSTALLDIRPUBZLP=" + runtimeDir;
    if (!databaseDir.empty()) options += " /INSTALLDIRVESKDB=" + databaseDir;
    Silent(options);
    Installer(1602);
    sim::RunResult r = RunWinMain();
    EXPECT_FALSE(r.exitProcessCalled);
    EXPECT_EQ(r.code, 1602) << "the main install's code, whatever the follow-ups did";

    std::vector<std::string> lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(EndsWith(lines[0], " WRAPPER=1")) << "the main install comes first";
    EXPECT_EQ(MainRuns(), 1);
    std::vector<std::string> expected;
    if (row.runtimeStarts) expected.push_back(runtimeDir.empty() ? RuntimeCommand(home) : runtime + runtimeDir);
    if (row.databaseStarts) expected.push_back(databaseDir.empty() ? DatabaseCommand(home) : database + databaseDir);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected);
    for (const auto& name : kFollowUpFiles) EXPECT_FALSE(sim::Exists(home + "\\" + name)) << name << " is deleted";
    EXPECT_TRUE(sim::Exists(home + "\\other.txt"));
    EXPECT_FALSE(sim::Exists(kStagingDir));
  }
}

TEST_F(RunFollowUpBoundariesTest, KitFolderOfTheWholeTextFormsNoPathAndCutsNone) {
  // 1023 characters and the terminator fill the 1024-byte text, so not even
  // "\zlp.msi" fits after the value; 1024 characters do not fit the read.
  // Either way nothing is looked for, started or deleted under a cut path.
  for (size_t length : {size_t{1023}, size_t{1024}}) {
    SCOPED_TRACE("VeskHome of " + std::to_string(length) + " characters");
    Restart();
    AddPayload();
    std::string home = PathOfLength("C:\\k", length, 'k');
    sim::RegSetString(kKitKey, "VeskHome", home);
    Silent("");
    Installer(0);
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(Lines().size(), 1u) << "the main install alone";
    std::string start = home.substr(0, 40);
    EXPECT_EQ(CallsMentioning("FindFirstFileA", start), 0u);
    EXPECT_EQ(CallsMentioning("DeleteFileA", start), 0u);
    EXPECT_EQ(CallsMentioning("CreateProcessA", start), 0u);
    EXPECT_FALSE(sim::Exists(kStagingDir));
  }
}

}  // namespace
