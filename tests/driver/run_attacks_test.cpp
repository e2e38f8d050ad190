// Whole runs on a machine where another process of the user, without
// administrator rights, has planted links, hard links, folders, open handles
// and redirections where the run works, or acts while it runs. Whatever it
// does, nothing outside the run's own folders is written, deleted, removed or
// given new security (victim folders stand for what a link or a redirection
// could lead to), the installer reads the run's own package, and the run ends
// as it may: normally, or with the create step's failure and a code that
// names the cause.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "support/machine_fixture.h"

namespace {

using test::kDataFolder;

const std::string kRoaming = "C:\\Users\\tester\\AppData\\Roaming";
const std::string kVesk = kDataFolder + "\\Qor\\Vesk";
const std::string kStaging = kVesk + "\\qmb1.6.0_39";
const std::string kAu = kVesk + "\\AU";
const std::string kLog = "C:\\Users\\tester\\AppData\\Local\\Temp\\moltrav.log";
// What a link or a redirection could lead to: another folder with the same
// layout, as an all-users copy of the maker's folders would have it, and a
// folder of the user's own elsewhere.
const std::string kVictim = "C:\\Victim";
const std::string kVictimFile = kVictim + "\\v.txt";
const std::string kElsewhere = "C:\\Users\\tester\\Elsewhere";
const std::string kUser = "S-1-5-21-1004336348-1177238915-682003330-1001";
const std::string kAccess = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + kUser + ")";
const std::string kLabel = "S:(ML;OICI;NW;;;ME)";

// Every file and folder below the victims, with what is in it and the
// security the system gave it.
std::map<std::string, std::string> VictimContents() {
  std::map<std::string, std::string> out;
  std::function<void(const std::string&)> walk = [&](const std::string& folder) {
    out[folder] = "<dir> " + sim::FolderSecurity(folder);
    for (const std::string& name : sim::ListDirectory(folder)) {
      std::string path = folder + "\\" + name;
      if (sim::IsDirectory(path)) walk(path);
      else out[path] = sim::ReadFileBytes(path);
    }
  };
  walk(kVictim);
  walk(kElsewhere);
  return out;
}

struct Attack {
  const char* name;
  std::function<void()> before;            // planted before the run
  std::function<DWORD()> during = nullptr;  // tried while the main installer runs; must be refused (non-zero)
  int code = 0;                            // the run's exit code
  std::string own = "O:BA" + kAccess + kLabel;  // the security of the staging and updater folders
  std::string data = kDataFolder;          // where the run's folders go
  bool hookRefused = false;                // a user's change at a platform call must be refused
};

class RunAttacksTest : public test::MachineTest {};

TEST_F(RunAttacksTest, NothingOutsideTheRunsFoldersIsTouched) {
  // What an action at a platform call (a hook) met.
  DWORD hooked = 0;
  const Attack attacks[] = {
      {"nothing planted", [] {}},
      {"a link where the maker folder goes", [] { sim::MakeLink(kDataFolder + "\\Qor", kVictim); }, nullptr,
       ERROR_STOPPED_ON_SYMLINK},
      {"a link where the product folder goes", [] { sim::MakeLink(kVesk, kVictim + "\\Qor"); }, nullptr,
       ERROR_STOPPED_ON_SYMLINK},
      // The run's own folders are made anew: a link there is removed as a link.
      {"a link where the staging directory goes", [] { sim::MakeLink(kStaging, kVictim + "\\Qor\\Vesk\\qmb1.6.0_39"); }},
      {"a link where the updater folder goes", [] { sim::MakeLink(kAu, kVictim + "\\Qor\\Vesk\\AU"); }},
      {"links to a file and a folder left in a staging directory of an earlier run",
       [] {
         sim::MakeLink(kStaging + "\\ss160390.cab", kVictimFile);
         sim::MakeLink(kStaging + "\\old", kVictim);
       }},
      {"hard links named like the package and a cabinet",
       [] {
         sim::MakeHardLink(kStaging + "\\qmb1.6.0_39.msi", kVictimFile);
         sim::MakeHardLink(kStaging + "\\sj160390.cab", kVictim + "\\keep.dll");
       }},
      {"a hard link named like the updater", [] { sim::MakeHardLink(kAu + "\\au.msi", kVictimFile); }},
      {"a link named like the log", [] { sim::MakeLink(kLog, kVictimFile); }},
      {"a hard link named like the log", [] { sim::MakeHardLink(kLog, kVictimFile); }},
      {"the staging directory renamed away during the run", [] {},
       [] { return sim::UserRename(kStaging, kVesk + "\\moved"); }},
      {"the maker folder renamed away during the run", [] {},
       [] { return sim::UserRename(kDataFolder + "\\Qor", kDataFolder + "\\moved"); }},
      {"a folder above the data folder renamed away during the run", [] {},
       [] { return sim::UserRename("C:\\Users\\tester\\AppData", "C:\\Users\\tester\\moved"); }},
      {"a link planted in the staging directory during the run", [] {},
       [] { return sim::UserMakeLink(kStaging + "\\extra", kVictim); }},
      {"the package rewritten during the run", [] {},
       [] { return sim::UserWriteFile(test::kPackagePath, "planted"); }},
      {"labels refused, and a maker folder the user made",
       [] {
         sim::MakeDirectories(kDataFolder + "\\Qor");
         sim::RefuseLabels(true);
       },
       nullptr, 0, "O:BA" + kAccess},
      // Before Windows 6 there are no final paths: the handle alone shows it.
      {"Windows 5.1, a link swapped in for the maker folder between its check by name and its open",
       [] {
         sim::SetWindowsVersion(5, 1);
         sim::OnCall("CreateFileA", kRoaming + "\\Qor", [] {
           sim::UserRename(kRoaming + "\\Qor", kRoaming + "\\Qor.old");
           sim::UserMakeLink(kRoaming + "\\Qor", kVictim + "\\Qor");
         });
       },
       nullptr, ERROR_STOPPED_ON_SYMLINK, "O:BA" + kAccess, kRoaming},
      {"Windows 5.1, the data folder swapped for a link before the maker folder is made",
       [&hooked] {
         sim::SetWindowsVersion(5, 1);
         sim::OnCall("CreateDirectoryA", kRoaming + "\\Qor", [&hooked] {
           hooked = sim::UserRename(kRoaming, kRoaming + ".old");
           if (hooked == 0) sim::UserMakeLink(kRoaming, kVictim);
         });
       },
       nullptr, 0, "O:BA" + kAccess, kRoaming, true},
      {"the new staging directory swapped for one of the user's between its make and its open",
       [] {
         sim::OnCall("CreateFileA", kStaging, [] {
           sim::UserRename(kStaging, kVesk + "\\taken");
           sim::MakeDirectories(kStaging);
         });
       },
       nullptr, ERROR_STOPPED_ON_SYMLINK},
      {"the product folder swapped for a link while the cleanup deletes",
       [&hooked] {
         sim::OnCall("DeleteFileA", "qmb1.6.0_39\\qmb1.6.0_39.msi", [&hooked] {
           hooked = sim::UserRename(kVesk, kDataFolder + "\\Qor\\moved");
           if (hooked == 0) sim::UserMakeLink(kVesk, kVictim + "\\Qor\\Vesk");
         });
       },
       nullptr, 0, "O:BA" + kAccess + kLabel, kDataFolder, true},
      // Access is checked when a handle is opened: a handle from before the
      // run would keep WRITE_DAC on a folder the run took over in place.
      {"a staging directory of the user's, held open with WRITE_DAC",
       [] {
         sim::MakeDirectories(kStaging);
         sim::HoldFolderOpen(kStaging, WRITE_DAC, 0);
       },
       [] {
         DWORD dacl = sim::UserSetDacl(kStaging, "D:(A;OICI;FA;;;" + kUser + ")");
         return dacl != 0 ? dacl : sim::UserWriteFile(test::kPackagePath, "planted");
       },
       ERROR_ACCESS_DENIED},
      // Left by an earlier run whose cleanup could not delete it: moved out
      // of the way, it keeps no install from running.
      {"a read-only file left in the staging directory",
       [] {
         sim::WriteFileBytes(kStaging + "\\left.txt", "kept");
         sim::SetReadOnly(kStaging + "\\left.txt", true);
       }},
      {"a staging directory of the user's that cannot be removed",
       [] { sim::MakeDirectories(kStaging + "\\sub"); },
       [] { return sim::UserWriteFile(test::kPackagePath, "planted"); }, ERROR_ALREADY_EXISTS},
      // A mount point above the data folder leading to a symbolic link of the
      // object manager: a normal folder by name and by handle.
      {"the data folder redirected to another folder", [] { sim::RedirectFolder(kDataFolder, kVictim); }, nullptr,
       ERROR_STOPPED_ON_SYMLINK},
      {"the data folder's shell value changed just before the cabinet thread starts",
       [] {
         sim::MakeDirectories(kElsewhere + "\\Qor\\Vesk\\qmb1.6.0_39");
         sim::OnCall("CreateThread", "", [] {
           sim::SetKnownFolder(sim::LocalAppDataLowId(), std::u16string(kElsewhere.begin(), kElsewhere.end()));
         });
       },
       nullptr, ERROR_STOPPED_ON_SYMLINK},
      {"a limited user on Windows 5.1",
       [] {
         sim::SetWindowsVersion(5, 1);
         sim::SetAdministrator(false);
       },
       nullptr, 0,
       "O:" + kUser + "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + kUser + ")", kRoaming},
      {"Windows 5.1 with the data folder on a server",
       [] {
         sim::SetWindowsVersion(5, 1);
         sim::PutOnServer(kRoaming);
       },
       nullptr, 0, kAccess, kRoaming},
      {"au.msi of an earlier run held open with delete sharing",
       [] {
         sim::WriteFileBytes(kAu + "\\au.msi", "an earlier run's updater");
         sim::WriteFileBytes(kAu + "\\au.cab", "an earlier run's cabinet");
         sim::HoldFileOpen(kAu + "\\au.msi", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
       }},
  };
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.name);
    Restart();
    AddPayload();
    sim::MakeRegistryKey(test::kRuntimeKey);
    RecordedProgram(test::kRegistrationTool);
    // A failed library step makes the run write its log.
    sim::RemoveExport("kernel32.dll", "SetDllDirectoryA");
    sim::WriteFileBytes(kVictimFile, "the victim's bytes");
    sim::WriteFileBytes(kVictim + "\\keep.dll", "MZ");
    sim::WriteFileBytes(kVictim + "\\Qor\\Vesk\\qmb1.6.0_39\\sb160390.cab", "the victim's cabinet");
    sim::WriteFileBytes(kVictim + "\\Qor\\Vesk\\AU\\au.msi", "the victim's updater");
    sim::MakeDirectories(kElsewhere);
    hooked = 0;
    attack.before();
    std::map<std::string, std::string> victim = VictimContents();
    const std::string staging = attack.data + "\\Qor\\Vesk\\qmb1.6.0_39", au = attack.data + "\\Qor\\Vesk\\AU";
    DWORD refused = 0;
    bool installed = false;
    std::string stagingSecurity, packageRead;
    Installer([&](int) -> DWORD {
      installed = true;
      stagingSecurity = sim::FolderSecurity(staging);
      if (attack.during) refused = attack.during();
      packageRead = sim::ReadFileBytes(staging + "\\qmb1.6.0_39.msi");
      return 0;
    });
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(r.code, attack.code);
    EXPECT_EQ(VictimContents(), victim);
    if (attack.hookRefused) {
      EXPECT_NE(hooked, 0u) << "the user's change at a platform call went through";
    }
    for (const std::string& folder : {attack.data, attack.data + "\\Qor", attack.data + "\\Qor\\Vesk"})
      EXPECT_EQ(sim::FolderSecurity(folder), "") << folder << " is the user's and keeps its security";
    if (installed) {
      EXPECT_EQ(packageRead, test::kPackageBytes) << "the installer reads the run's own package";
      if (attack.during) {
        EXPECT_NE(refused, 0u) << "the user's change went through";
      }
    }
    if (attack.code == 0) {
      EXPECT_TRUE(installed);
      EXPECT_EQ(stagingSecurity, attack.own);
      EXPECT_EQ(sim::FolderSecurity(au), attack.own);
      EXPECT_EQ(sim::ReadFileBytes(au + "\\au.cab"), "MSCF updater cabinet");
      EXPECT_EQ(sim::ListDirectory(au), (std::vector<std::string>{"au.cab", "au.msi"}));
      EXPECT_FALSE(sim::Exists(staging)) << "the cleanup removes the staging directory";
    }
    std::string log = sim::ReadFileBytes(kLog);
    if (std::string(attack.name) == "nothing planted") {
      EXPECT_NE(log.find("SetDllDirectory"), std::string::npos) << "the log is written";
    }
    if (std::string(attack.name).find("server") != std::string::npos) {
      EXPECT_NE(log.find("refused the owner.  ErrorCode: 1307"), std::string::npos) << "the fallback is logged";
    }
    sim::ReleaseHeldFiles();
  }
  EXPECT_EQ(sim::DefaultDllDirectories(), std::vector<DWORD>{kLoadLibrarySearchSystem32});
}

}  // namespace
