// Whole runs on a machine where another process of the user, without
// administrator rights, has planted links, hard links and folders where the
// run works, or acts while it runs. Whatever it does, nothing outside the
// run's own folders is written, deleted or removed (a victim folder stands
// for what a link could lead to), and the run ends as it may: normally, or
// with the create step's failure and a code that names the cause.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "support/machine_fixture.h"

namespace {

using test::kDataFolder;
using test::kStagingDir;

const std::string kVesk = kDataFolder + "\\Qor\\Vesk";
const std::string kAu = kVesk + "\\AU";
const std::string kLog = "C:\\Users\\tester\\AppData\\Local\\Temp\\moltrav.log";
const std::string kVictim = "C:\\Victim";
const std::string kVictimFile = kVictim + "\\v.txt";
const std::string kUser = "S-1-5-21-1004336348-1177238915-682003330-1001";
const std::string kSecured = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + kUser + ")";

std::map<std::string, std::string> VictimContents() {
  std::map<std::string, std::string> out;
  for (const std::string& name : sim::ListDirectory(kVictim)) out[name] = sim::ReadFileBytes(kVictim + "\\" + name);
  return out;
}

struct Attack {
  const char* name;
  std::function<void()> before;  // planted before the run
  std::function<DWORD()> during;  // tried while the main installer runs; must be refused (non-zero)
  int code;                       // the run's exit code
  bool linkStays = false;         // a link in the staging directory, left alone (and so the folder)
};

class RunAttacksTest : public test::MachineTest {};

TEST_F(RunAttacksTest, NothingOutsideTheRunsFoldersIsTouched) {
  const Attack attacks[] = {
      {"nothing planted", [] {}, nullptr, 0},
      {"a link where the maker folder goes", [] { sim::MakeLink(kDataFolder + "\\Qor", kVictim); }, nullptr,
       ERROR_STOPPED_ON_SYMLINK},
      {"a link where the product folder goes", [] { sim::MakeLink(kVesk, kVictim); }, nullptr,
       ERROR_STOPPED_ON_SYMLINK},
      {"a link where the staging directory goes", [] { sim::MakeLink(kStagingDir, kVictim); }, nullptr,
       ERROR_STOPPED_ON_SYMLINK},
      {"a link where the updater folder goes", [] { sim::MakeLink(kAu, kVictim); }, nullptr,
       ERROR_STOPPED_ON_SYMLINK},
      {"a link named like a cabinet", [] { sim::MakeLink(kStagingDir + "\\ss160390.cab", kVictimFile); }, nullptr,
       ERROR_STOPPED_ON_SYMLINK},
      {"a link left in an existing staging directory", [] { sim::MakeLink(kStagingDir + "\\old.dll", kVictimFile); },
       nullptr, 0, true},
      {"a hard link named like the package",
       [] { sim::MakeHardLink(kStagingDir + "\\qmb1.6.0_39.msi", kVictimFile); }, nullptr, 0},
      {"a hard link named like a cabinet", [] { sim::MakeHardLink(kStagingDir + "\\sj160390.cab", kVictimFile); },
       nullptr, 0},
      {"a hard link named like the updater", [] { sim::MakeHardLink(kAu + "\\au.msi", kVictimFile); }, nullptr, 0},
      {"a link named like the log", [] { sim::MakeLink(kLog, kVictimFile); }, nullptr, 0},
      {"a hard link named like the log", [] { sim::MakeHardLink(kLog, kVictimFile); }, nullptr, 0},
      {"the staging directory renamed away during the run", [] {},
       [] { return sim::UserRename(kStagingDir, kVesk + "\\moved"); }, 0},
      {"the maker folder renamed away during the run", [] {},
       [] { return sim::UserRename(kDataFolder + "\\Qor", kDataFolder + "\\moved"); }, 0},
      {"a link planted in the staging directory during the run", [] {},
       [] { return sim::UserMakeLink(kStagingDir + "\\extra", kVictim); }, 0},
      {"the package rewritten during the run", [] {},
       [] { return sim::UserWriteFile(test::kPackagePath, "planted"); }, 0},
      {"an existing maker folder whose low label cannot be replaced",
       [] {
         sim::MakeDirectories(kDataFolder + "\\Qor");
         sim::RefuseLabels(true);
       },
       nullptr, ERROR_ACCESS_DENIED},
      {"labels refused, all folders new", [] { sim::RefuseLabels(true); }, nullptr, 0},
  };
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.name);
    Restart();
    AddPayload();
    sim::RegCreateKey(test::kRuntimeKey);
    RecordedProgram(test::kRegistrationTool);
    // A failed library step makes the run write its log.
    sim::RemoveExport("kernel32.dll", "SetDllDirectoryA");
    sim::WriteFileBytes(kVictimFile, "the victim's bytes");
    sim::WriteFileBytes(kVictim + "\\keep.dll", "MZ");
    attack.before();
    std::map<std::string, std::string> victim = VictimContents();
    DWORD refused = 0;
    std::string stagingSecurity;
    Installer([&](int) -> DWORD {
      stagingSecurity = sim::FolderSecurity(kStagingDir);
      if (attack.during) refused = attack.during();
      return 0;
    });
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(r.code, attack.code);
    EXPECT_EQ(VictimContents(), victim);
    if (attack.during) EXPECT_NE(refused, 0u) << "the user's change went through";
    if (std::string(attack.name) == "nothing planted")
      EXPECT_NE(sim::ReadFileBytes(kLog).find("SetDllDirectory"), std::string::npos) << "the log is written";
    if (attack.code == 0) {
      EXPECT_EQ(stagingSecurity, kSecured + "S:(ML;OICI;NW;;;ME)");
      for (const std::string& folder : {kDataFolder + "\\Qor", kVesk, kAu})
        EXPECT_EQ(sim::FolderSecurity(folder).substr(0, kSecured.size()), kSecured) << folder;
      EXPECT_EQ(sim::ReadFileBytes(kAu + "\\au.cab"), "MSCF updater cabinet");
      EXPECT_EQ(sim::ListDirectory(kStagingDir),
                attack.linkStays ? std::vector<std::string>{"old.dll"} : std::vector<std::string>{});
    }
  }
  EXPECT_EQ(sim::DefaultDllDirectories(), std::vector<DWORD>{kLoadLibrarySearchSystem32});
}

}  // namespace
