// A fresh simulated machine per test, and the pieces most tests need: the
// payload in the module's resources and a fake installer tool.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "payload/staging_dir.h"
#include "payload/user_data_folder.h"
#include "platform/sim/machine.h"

namespace test {

// Where the default machine's paths lead.
inline const std::string kDataFolder = "C:\\Users\\tester\\AppData\\LocalLow";
inline const std::string kStagingDir = kDataFolder + "\\Qor\\Vesk\\qmb1.6.0_39";
inline const std::string kPackagePath = kStagingDir + "\\qmb1.6.0_39.msi";
inline const std::string kToolPath = "C:\\Windows\\system32\\msiexec.exe";
inline const std::string kInstallerKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";

// What the kit and the updater leave in the machine.
inline const std::string kSettingsKey = "Software\\Morvanta";
inline const std::string kKitKey = "SOFTWARE\\Morvanta\\Vesk Development Kit\\1.6.0_39";
inline const std::string kRuntimeKey = "SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_39";
inline const std::string kUpdaterKey = "SOFTWARE\\Morvanta\\Auto Update";
inline const std::string kKitFolder = "C:\\Program Files\\Morvanta\\Vesk";
inline const std::string kRegistrationTool = "C:\\Program Files\\Common Files\\Vesk\\Vesk Update\\kwinpo.exe";
inline const char kReadyEvent[] = "QorQMBCabExtractWaitEvent";

// The cabinets in the order they are written: base name, type, number.
struct CabinetRow {
  const char* baseName;
  const char* type;
  unsigned number;
};
inline const CabinetRow kCabinets[7] = {
    {"ss160390", "VESK_CAB9", 110}, {"st160390", "VESK_CAB10", 111}, {"sj160390", "VESK_CAB7", 108},
    {"sp160390", "VESK_CAB8", 109}, {"sz160390", "VESK_CAB11", 112}, {"sb160390", "VESK_CAB12", 113},
    {"sr160390", "VESK_CAB13", 114},
};

// A path as the machine keys it (names below a held folder are logged so).
inline std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// Distinct, recognisable bytes for an item.
inline std::string Bytes(const std::string& tag, size_t size) {
  std::string out;
  for (size_t i = 0; out.size() < size; ++i) out += tag + ":" + std::to_string(i) + ";";
  out.resize(size);
  return out;
}

inline const std::string kPackageBytes = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + Bytes("msi", 20000);

inline std::string CabinetBytes(const CabinetRow& row) { return "MSCF" + Bytes(row.baseName, 9000); }

// What a fake installer tool saw.
struct ToolRun {
  std::string commandLine;
  bool main = false;                      // a main install (WRAPPER=1)
  bool eventWasSet = false;               // the ready event, when the tool got it
  std::vector<std::string> stagingFiles;  // the staging directory's files then
};

// Waits for the ready event as the main package does, for at most `ms`, and
// stops early once the bootstrapper has made no platform call for `quietMs`
// (its cabinet thread has ended or never started, so no event will come).
inline bool WaitForTheCabinets(DWORD ms = 10000, DWORD quietMs = 500) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, kReadyEvent);
  bool set = false;
  size_t calls = sim::CallCount();
  DWORD quiet = 0;
  for (DWORD waited = 0; !set && waited < ms && quiet < quietMs; waited += 20) {
    set = WaitForSingleObject(event, 20) == WAIT_OBJECT_0;
    size_t now = sim::CallCount();
    quiet = now == calls ? quiet + 20 : 0;
    calls = now;
  }
  CloseHandle(event);
  return set;
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    ForgetWindowsVersionForTesting();
    ForgetStagingDirectoryForTesting();
    sim::RegSetString(kInstallerKey, "InstallerLocation", "C:\\Windows\\system32");
  }
  void TearDown() override { sim::Reset(); }

  void AddPackage() { sim::AddResource("VESK_INSTALLER", 101, kPackageBytes); }
  void AddCabinets() {
    for (const auto& row : kCabinets) sim::AddResource(row.type, static_cast<WORD>(row.number), CabinetBytes(row));
  }
  void AddUpdater() {
    sim::AddResource("VESK_INSTALLER", 1119, std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "updater");
    sim::AddResource("VESK_INSTALLER", 1120, "MSCF updater cabinet");
  }
  void AddPayload() {
    AddPackage();
    AddCabinets();
    AddUpdater();
  }

  // Registers an installer tool that behaves as the main package does with
  // WRAPPER=1, whatever its command line: it waits for the ready event (at
  // most `waitMs`), records what it saw, and exits with `exitCode`.
  void FakeInstaller(DWORD exitCode, DWORD waitMs = 10000, const std::string& path = kToolPath) {
    sim::RegisterProgram(path, [this, exitCode, waitMs](const std::string& line) {
      ToolRun run;
      run.commandLine = line;
      run.main = true;
      HANDLE event = CreateEventA(nullptr, TRUE, FALSE, kReadyEvent);
      run.eventWasSet = WaitForSingleObject(event, waitMs) == WAIT_OBJECT_0;
      CloseHandle(event);
      Record(std::move(run));
      return exitCode;
    });
  }

  // Registers an installer tool that tells a main install (its command line
  // carries WRAPPER=1) from the rest: a main install waits for the cabinets
  // and exits with act(n) for the n-th main install (1-based); any other
  // start (a follow-up package, the updater) exits with 0 at once.
  void Installer(std::function<DWORD(int)> act, const std::string& path = kToolPath) {
    sim::RegisterProgram(path, [this, act](const std::string& line) {
      ToolRun run;
      run.commandLine = line;
      run.main = line.find("WRAPPER=1") != std::string::npos;
      if (!run.main) {
        Record(std::move(run));
        return 0u;
      }
      run.eventWasSet = WaitForTheCabinets();
      int n = Record(std::move(run));
      return act(n);
    });
  }
  void Installer(DWORD exitCode, const std::string& path = kToolPath) {
    Installer([exitCode](int) { return exitCode; }, path);
  }

  // A program at `path` that exits with 0; its starts are recorded with the
  // installer's.
  void RecordedProgram(const std::string& path) {
    sim::RegisterProgram(path, [this](const std::string& line) {
      ToolRun run;
      run.commandLine = line;
      Record(std::move(run));
      return 0u;
    });
  }

  std::vector<ToolRun> Runs() {
    std::lock_guard<std::mutex> lock(mu_);
    return runs_;
  }
  // The command lines of every recorded start, in order.
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const ToolRun& run : Runs()) lines.push_back(run.commandLine);
    return lines;
  }
  int MainRuns() {
    int n = 0;
    for (const ToolRun& run : Runs()) n += run.main ? 1 : 0;
    return n;
  }

  // A fresh machine, set up again, and no recorded starts: for the next row
  // of a table.
  void Restart() {
    sim::Reset();
    SetUp();
    std::lock_guard<std::mutex> lock(mu_);
    runs_.clear();
  }

  sim::RunResult RunWinMain() {
    return sim::RunProcess([] { return WinMain(sim::Module(), nullptr, const_cast<char*>(""), 0); });
  }

 private:
  // Adds a start to the record, with the staging directory's files as the
  // program saw them; returns how many main installs the record now holds.
  int Record(ToolRun run) {
    run.stagingFiles = sim::ListDirectory(kStagingDir);
    std::lock_guard<std::mutex> lock(mu_);
    runs_.push_back(std::move(run));
    int n = 0;
    for (const ToolRun& r : runs_) n += r.main ? 1 : 0;
    return n;
  }

  std::mutex mu_;
  std::vector<ToolRun> runs_;
};

}  // namespace test
