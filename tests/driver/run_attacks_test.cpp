// Whole runs on a machine where another process of the user, without
// administrator rights, has planted links, hard links, folders, open handles,
// redirections, locks and settings where the run works, or acts while it
// runs. Whatever it does, nothing outside the run's own folders is written,
// deleted, removed or given new security (victim folders stand for what a
// link or a redirection could lead to), the installer reads the run's own
// package at the path it is given, and the run ends as it may: normally, or
// with a code that names the cause, having written nothing when it refuses
// to start.
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
// A folder of the user's where a link or a redirection above the data
// folder leads: the user's choice, used as the data folder.
const std::string kMoved = "C:\\Users\\tester\\Moved";
const std::string kUser = "S-1-5-21-1004336348-1177238915-682003330-1001";
const std::string kRunLock = "Local\\QorQMBSetupRun-" + kUser;
const std::string kSysWow64 = "C:\\Windows\\SysWOW64";
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
  std::string toolFolder = "C:\\Windows\\system32";  // InstallerLocation
  bool refusedToStart = false;             // the run ends before it writes anything
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
      // Where the system opens a link only through to its target (as Wine
      // does), the handle on "the link" is not a link: removing by it would
      // remove what the link leads to.
      {"a link where the staging directory goes, on a system that opens links through",
       [] {
         sim::MakeLink(kStaging, kVictim + "\\Empty");
         sim::OpenLinksThrough(true);
       },
       nullptr, ERROR_STOPPED_ON_SYMLINK},
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
      // The temp folder comes from the user's environment (TMP, TEMP).
      {"the temp folder redirected elsewhere (an object-manager link above the log)",
       [] {
         sim::MakeDirectories(kElsewhere + "\\Temp");
         sim::RedirectFolder(kElsewhere + "\\Temp", kVictim);
         sim::SetTempPath(kElsewhere + "\\Temp");
       }},
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
         sim::OnCall("NtCreateFile", test::Lower(kRoaming + "\\Qor"), [] {
           sim::UserRename(kRoaming + "\\Qor", kRoaming + "\\Qor.old");
           sim::UserMakeLink(kRoaming + "\\Qor", kVictim + "\\Qor");
         });
         sim::MakeDirectories(kRoaming + "\\Qor");
       },
       nullptr, ERROR_STOPPED_ON_SYMLINK, "O:BA" + kAccess, kRoaming},
      {"Windows 5.1, the data folder swapped for a link before the maker folder is made",
       [&hooked] {
         sim::SetWindowsVersion(5, 1);
         sim::OnCall("NtCreateFile", test::Lower(kRoaming + "\\Qor"), [&hooked] {
           hooked = sim::UserRename(kRoaming, kRoaming + ".old");
           if (hooked == 0) sim::UserMakeLink(kRoaming, kVictim);
         });
       },
       nullptr, 0, "O:BA" + kAccess, kRoaming, true},
      // Made and held in one step: nothing can be swapped in between, not
      // even a folder an earlier elevated process made (owned by the
      // Administrators, as the run's own are, and the user's to change).
      {"the new staging directory swapped, right after it is made, for an Administrators' folder the user controls",
       [&hooked] {
         sim::MakeAdministratorsFolder(kVesk + "\\Spare");
         sim::OnCallDone("NtCreateFile", test::Lower(kStaging), [&hooked] {
           hooked = sim::UserRename(kStaging, kVesk + "\\taken");
           if (hooked == 0) sim::UserRename(kVesk + "\\Spare", kStaging);
         });
       },
       [] { return sim::UserWriteFile(test::kPackagePath, "planted"); }, 0, "O:BA" + kAccess + kLabel, kDataFolder,
       true},
      {"the product folder swapped for a link while the cleanup deletes",
       [&hooked] {
         sim::OnCall("NtSetInformationFile", "qmb1.6.0_39\\qmb1.6.0_39.msi", [&hooked] {
           hooked = sim::UserRename(kVesk, kDataFolder + "\\Qor\\moved");
           if (hooked == 0) sim::UserMakeLink(kVesk, kVictim + "\\Qor\\Vesk");
         });
       },
       nullptr, 0, "O:BA" + kAccess + kLabel, kDataFolder, true},
      // Removed bottom-up, each level while the one above it is held.
      {"the product folder renamed away while the staging directory is removed",
       [&hooked] {
         sim::OnCall("NtSetInformationFile", test::Lower(kStaging) + ", delete", [&hooked] {
           hooked = sim::UserRename(kVesk, kDataFolder + "\\Qor\\moved");
         });
       },
       nullptr, 0, "O:BA" + kAccess + kLabel, kDataFolder, true},
      // Access is checked when a handle is opened: a handle from before the
      // run keeps WRITE_DAC on the old folder, which the run renames aside
      // and never uses.
      {"a staging directory of the user's, held open with WRITE_DAC",
       [] {
         sim::MakeDirectories(kStaging);
         sim::HoldFolderOpen(kStaging, WRITE_DAC, 0);
       },
       [] {
         DWORD dacl = sim::UserSetDacl(kStaging, "D:(A;OICI;FA;;;" + kUser + ")");
         return dacl != 0 ? dacl : sim::UserWriteFile(test::kPackagePath, "planted");
       }},
      // Left by an earlier run whose cleanup could not delete it: renamed
      // aside whole, it keeps no install from running.
      {"a read-only file left in the staging directory",
       [] {
         sim::WriteFileBytes(kStaging + "\\left.txt", "kept");
         sim::SetReadOnly(kStaging + "\\left.txt", true);
       }},
      {"a staging directory of the user's that cannot be removed",
       [] { sim::MakeDirectories(kStaging + "\\sub"); },
       [] { return sim::UserWriteFile(test::kPackagePath, "planted"); }},
      {"a staging directory of the user's held by a scanner with delete sharing",
       [] {
         sim::WriteFileBytes(kStaging + "\\old.cab", "old");
         sim::HoldFolderOpen(kStaging, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
       }},
      // A held folder is not frozen: an old folder of the user's, once
      // emptied, can become a mount point while the run deals with it; the
      // run never works by path inside it.
      // The old folder is held without delete sharing while it is dealt
      // with: nobody renames it from under the run.
      {"an old staging directory of the user's renamed once more while the run deals with it",
       [&hooked] {
         sim::WriteFileBytes(kStaging + "\\a.cab", "a");
         sim::OnCallDone("NtSetInformationFile", test::Lower(kStaging) + ", rename", [&hooked] {
           for (const std::string& name : sim::ListDirectory(kVesk))
             if (name.rfind("~qmb", 0) == 0) hooked = sim::UserRename(kVesk + "\\" + name, kVesk + "\\again");
         });
       },
       nullptr, 0, "O:BA" + kAccess + kLabel, kDataFolder, true},
      {"an old staging directory of the user's made a mount point once renamed aside",
       [] {
         sim::WriteFileBytes(kStaging + "\\a.cab", "a");
         sim::WriteFileBytes(kStaging + "\\z.cab", "z");
         sim::OnCallDone("NtSetInformationFile", test::Lower(kStaging) + ", rename", [] {
           for (const std::string& name : sim::ListDirectory(kVesk)) {
             if (name.rfind("~qmb", 0) != 0) continue;
             sim::UserDeleteFile(kVesk + "\\" + name + "\\a.cab");
             sim::UserDeleteFile(kVesk + "\\" + name + "\\z.cab");
             sim::UserMakeMountPoint(kVesk + "\\" + name, kVictim);
           }
         });
       }},
      // A mount point above the data folder leading to a symbolic link of the
      // object manager: a normal folder by name and by handle. Above the data
      // folder it is the user's choice, as the shell value is; below it, it
      // is refused.
      {"the data folder redirected to another folder",
       [] {
         sim::MakeDirectories(kMoved);
         sim::RedirectFolder(kDataFolder, kMoved);
       },
       nullptr, 0, "O:BA" + kAccess + kLabel, kMoved},
      {"a profile reached through a link above the data folder",
       [] {
         sim::MakeDirectories(kMoved + "\\LocalLow");
         sim::MakeLink("C:\\Users\\tester\\Profile", kMoved);
         sim::SetKnownFolder(sim::LocalAppDataLowId(), u"C:\\Users\\tester\\Profile\\LocalLow");
       },
       nullptr, 0, "O:BA" + kAccess + kLabel, kMoved + "\\LocalLow"},
      {"the data folder itself a link",
       [] {
         sim::MakeLink("C:\\Users\\tester\\Profile", kVictim);
         sim::SetKnownFolder(sim::LocalAppDataLowId(), u"C:\\Users\\tester\\Profile");
       },
       nullptr, ERROR_STOPPED_ON_SYMLINK},
      {"the data folder's shell value changed just before the cabinet thread starts",
       [] {
         sim::MakeDirectories(kElsewhere + "\\Qor\\Vesk\\qmb1.6.0_39");
         sim::OnCall("CreateThread", "", [] {
           sim::SetKnownFolder(sim::LocalAppDataLowId(), std::u16string(kElsewhere.begin(), kElsewhere.end()));
         });
       },
       nullptr, ERROR_STOPPED_ON_SYMLINK},
      // A data folder named system32 is the user's: its package path reaches
      // the installer as written, never rewritten to a SysWOW64 the user
      // filled.
      {"a data folder named system32 beside a SysWOW64 the user filled, and the tool in SysWOW64",
       [] {
         sim::SetKnownFolder(sim::LocalAppDataLowId(), u"C:\\Users\\tester\\system32");
         sim::WriteFileBytes("C:\\Users\\tester\\SysWOW64\\Qor\\Vesk\\qmb1.6.0_39\\qmb1.6.0_39.msi", "the user's package");
       },
       nullptr, 0, "O:BA" + kAccess + kLabel, "C:\\Users\\tester\\system32", false, kSysWow64},
      {"a limited user on Windows 5.1",
       [] {
         sim::SetWindowsVersion(5, 1);
         sim::SetAdministrator(false);
       },
       nullptr, 0,
       "O:" + kUser + "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + kUser + ")", kRoaming},
      // Started without elevation (a RunAsInvoker layer the user set): its
      // folders would be the user's, and the installer would elevate itself.
      {"an administrator's filtered token on Windows 6.1", [] { sim::SetFilteredAdministrator(); }, nullptr,
       ERROR_ELEVATION_REQUIRED, "", kDataFolder, false, "C:\\Windows\\system32", true},
      {"a data folder on a share", [] {
         sim::MapNetworkDrive('S', "\\\\server\\share");
         sim::SetKnownFolder(sim::LocalAppDataLowId(), u"S:\\LocalLow");
         sim::MakeDirectories("S:\\LocalLow");
       }, nullptr, ERROR_NOT_SUPPORTED, "", "S:\\LocalLow", false, "C:\\Windows\\system32", true},
      // A drive's folder may lead to a share through a link above the data
      // folder: only its final path tells.
      {"a profile behind a link to a share",
       [] {
         sim::MapNetworkDrive('S', "\\\\server\\share");
         sim::MakeDirectories("S:\\Profile\\LocalLow");
         sim::MakeLink("C:\\Users\\tester\\Profile", "S:\\Profile");
         sim::SetKnownFolder(sim::LocalAppDataLowId(), u"C:\\Users\\tester\\Profile\\LocalLow");
       },
       nullptr, ERROR_NOT_SUPPORTED, "", "S:\\Profile\\LocalLow", false, "C:\\Windows\\system32", true},
      {"Windows 5.1 with the data folder on a share",
       [] {
         sim::SetWindowsVersion(5, 1);
         sim::MapNetworkDrive('S', "\\\\server\\share");
         sim::SetShellFolder(CSIDL_APPDATA, "S:\\Roaming");
         sim::MakeDirectories("S:\\Roaming");
       },
       nullptr, ERROR_NOT_SUPPORTED, "", "S:\\Roaming", false, "C:\\Windows\\system32", true},
      {"a data folder on a volume without security", [] { sim::PutOnUnsecuredVolume(kDataFolder); }, nullptr,
       ERROR_NO_SECURITY_ON_OBJECT, "", kDataFolder, false, "C:\\Windows\\system32", true},
      {"a data folder the code page cannot name exactly, beside the folder it would best fit to",
       [] {
         sim::SetKnownFolder(sim::LocalAppDataLowId(), u"C:\\Users\\Micha\u0142\\LocalLow");
         sim::MakeDirectories("C:\\Users\\Michal\\LocalLow");
       },
       nullptr, ERROR_NO_UNICODE_TRANSLATION, "", "C:\\Users\\Michal\\LocalLow", false, "C:\\Windows\\system32",
       true},
      // One run at a time: another run of the user holds the lock.
      {"another run of the same user going on",
       [] { CreateEventA(nullptr, TRUE, FALSE, kRunLock.c_str()); }, nullptr, ERROR_INSTALL_ALREADY_RUNNING, "",
       kDataFolder, false, "C:\\Windows\\system32", true},
      {"the run lock's name taken by another account", [] {
         sim::MakeEventOfAnotherAccount(kRunLock, "S-1-5-21-1-2-3-1002", true);
       }},
      {"the run lock's name taken by another account that lets nobody else open it", [] {
         sim::MakeEventOfAnotherAccount(kRunLock, "S-1-5-21-1-2-3-1002", false);
       }},
      {"au.msi of an earlier run held open with delete sharing",
       [] {
         sim::MakeSecuredFolder(kAu, "O:BA" + kAccess + kLabel);
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
    sim::MakeDirectories(kVictim + "\\Empty");
    sim::MakeDirectories(kElsewhere);
    sim::RegSetString(test::kInstallerKey, "InstallerLocation", attack.toolFolder);
    hooked = 0;
    attack.before();
    std::map<std::string, std::string> victim = VictimContents();
    const std::string staging = attack.data + "\\Qor\\Vesk\\qmb1.6.0_39", au = attack.data + "\\Qor\\Vesk\\AU";
    DWORD refused = 0;
    bool installed = false;
    std::string stagingSecurity, packageRead, packagePath;
    // The installer reads the package at the path its command line names.
    for (const std::string& folder : {std::string("C:\\Windows\\system32"), attack.toolFolder})
      sim::RegisterProgram(folder + "\\msiexec.exe", [&](const std::string& line) -> DWORD {
        if (line.find("WRAPPER=1") == std::string::npos) return 0;
        test::WaitForTheCabinets();
        installed = true;
        size_t from = line.find("/i \"") + 4;
        packagePath = line.substr(from, line.find('"', from) - from);
        stagingSecurity = sim::FolderSecurity(staging);
        if (attack.during) refused = attack.during();
        packageRead = sim::ReadFileBytes(packagePath);
        return 0;
      });
    sim::RunResult r = RunWinMain();
    EXPECT_EQ(r.code, attack.code);
    EXPECT_EQ(VictimContents(), victim);
    if (attack.hookRefused) {
      EXPECT_NE(hooked, 0u) << "the user's change at a platform call went through";
    }
    for (const std::string& folder : {attack.data, attack.data + "\\Qor", attack.data + "\\Qor\\Vesk"})
      if (sim::Exists(folder)) EXPECT_EQ(sim::FolderSecurity(folder), "") << folder << " is the user's and keeps its security";
    if (installed) {
      EXPECT_EQ(packageRead, test::kPackageBytes) << "the installer reads the run's own package at " << packagePath;
      if (attack.during) {
        EXPECT_NE(refused, 0u) << "the user's change went through";
      }
    }
    if (attack.refusedToStart) {
      EXPECT_FALSE(installed);
      EXPECT_FALSE(sim::Exists(attack.data + "\\Qor")) << "nothing is written";
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
    sim::ReleaseHeldFiles();
  }
  EXPECT_EQ(sim::DefaultDllDirectories(), std::vector<DWORD>{kLoadLibrarySearchSystem32});
}

}  // namespace
