// A fresh simulated machine per test, and the pieces most tests need: the
// payload in the module's resources and a fake installer tool.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "payload/user_data_folder.h"
#include "platform/sim/machine.h"

namespace test {

// Where the default machine's paths lead.
inline const std::string kDataFolder = "C:\\Users\\tester\\AppData\\LocalLow";
inline const std::string kStagingDir = kDataFolder + "\\Qor\\Vesk\\qmb1.6.0_39";
inline const std::string kPackagePath = kStagingDir + "\\qmb1.6.0_39.msi";
inline const std::string kToolPath = "C:\\Windows\\system32\\msiexec.exe";
inline const std::string kInstallerKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";

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
  bool eventWasSet = false;               // the ready event, when the tool got it
  std::vector<std::string> stagingFiles;  // the staging directory's files then
};

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    ForgetWindowsVersion();
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
  // WRAPPER=1: it waits for the ready event (at most `waitMs`), records what
  // it saw, and exits with `exitCode`.
  void FakeInstaller(DWORD exitCode, DWORD waitMs = 10000, const std::string& path = kToolPath) {
    sim::RegisterProgram(path, [this, exitCode, waitMs](const std::string& line) {
      ToolRun run;
      run.commandLine = line;
      HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "QorQMBCabExtractWaitEvent");
      run.eventWasSet = WaitForSingleObject(event, waitMs) == WAIT_OBJECT_0;
      CloseHandle(event);
      run.stagingFiles = sim::ListDirectory(kStagingDir);
      std::lock_guard<std::mutex> lock(mu_);
      runs_.push_back(run);
      return exitCode;
    });
  }

  std::vector<ToolRun> Runs() {
    std::lock_guard<std::mutex> lock(mu_);
    return runs_;
  }

  sim::RunResult RunWinMain() {
    return sim::RunProcess([] { return WinMain(sim::Module(), nullptr, const_cast<char*>(""), 0); });
  }

 private:
  std::mutex mu_;
  std::vector<ToolRun> runs_;
};

}  // namespace test
