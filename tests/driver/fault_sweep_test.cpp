// Whole runs with one platform failure each. For a set of machines, every
// operation the run calls that can fail is failed at its first, second, ...
// call in turn, until a run no longer reaches that call. Each outcome must be
// one the run allows for a failure of that call: an exit code of the right
// kind, no file touched outside the run's own folders, nothing of the user's
// deleted, every handle closed (files, searches, processes, threads,
// registry keys, libraries; only the ready event's and the run lock's stay
// open), and the run over in bounded time.
// The sweep runs in the sanitized host build, so an access outside a buffer
// on any of these paths fails it too. With QMB_SWEEP_TRACE set in the
// environment, every injected fault and its exit code is printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/machine_fixture.h"

namespace {

using test::kDataFolder;
using test::kKitFolder;
using test::kKitKey;
using test::kRuntimeKey;
using test::kSettingsKey;
using test::kUpdaterKey;

const std::string kTempFolder = "C:\\Users\\tester\\AppData\\Local\\Temp";
const std::string kFollowUps[] = {"zlp.msi", "veskdb.msi", "zlp1041.MST", "zlp2052.MST"};

// How long one run may take before it counts as a hang. A healthy run takes
// milliseconds; the fake installer gives up waiting for the cabinets once
// the bootstrapper has stopped making calls.
constexpr auto kRunLimit = std::chrono::seconds(30);

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

bool Below(const std::string& path, const std::string& folder) {
  std::string p = Lower(path), f = Lower(folder) + "\\";
  return p.compare(0, f.size(), f) == 0;
}

// ---- the machines ------------------------------------------------------------

struct Machine {
  const char* name;
  const char* arguments;      // after the program name
  DWORD major = 6, minor = 1;
  bool reinstall = false;     // the first main install asks for a second one
  bool updaterOlder = false;  // an older updater is installed
  std::set<int> codes;        // the exit codes of an undisturbed run
  void (*more)() = nullptr;   // anything else the machine has
};

void PrintTo(const Machine& m, std::ostream* out) { *out << m.name; }

// Machines whose run ends on a failure path of its own, so that the calls
// made only there are failed too.
void OldWindowsInstaller() { sim::SetMsiVersion(0x00020000, 0x0A27FFFF); }
void NoInstallerLocation() {
  sim::RemoveRegistryTree(test::kInstallerKey);
  sim::MakeRegistryKey(test::kInstallerKey);
}
void NoRoomForTheCabinets() { sim::SetDiskSpace(test::kPackageBytes.size() + 10000); }

const Machine kMachines[] = {
    {"interactive", "", 6, 1, false, false, {0}},
    {"silent", "/s", 6, 1, false, false, {0}},
    {"silent-japanese", "/s /lang=1041", 6, 1, false, false, {0}},
    {"reinstall-requested", "", 6, 1, true, false, {0, 3010}},
    {"updater-older", "", 6, 1, false, true, {0}},
    {"windows-5.1", "/s", 5, 1, false, false, {0}},
    {"windows-5.2", "", 5, 2, false, false, {0}},
    {"installer-too-old", "", 6, 1, false, false, {-2}, OldWindowsInstaller},
    {"installer-not-located", "/s", 6, 1, false, false, {-3}, NoInstallerLocation},
    {"disk-full-at-the-cabinets", "", 6, 1, false, false, {0, ERROR_DISK_FULL}, NoRoomForTheCabinets},
};

// The error each operation fails with: one a real machine gives for it.
DWORD RepresentativeError(const std::string& op) {
  static const std::map<std::string, DWORD> errors = {
      {"CreateFileA", ERROR_ACCESS_DENIED},   {"WriteFile", ERROR_DISK_FULL},
      {"CloseHandle", 1117 /* I/O device */}, {"SetFilePointer", 131 /* negative seek */},
      {"CreateDirectoryA", ERROR_ACCESS_DENIED},
      {"LoadLibraryA", ERROR_MOD_NOT_FOUND},  {"GetProcAddress", ERROR_PROC_NOT_FOUND},
      {"CreateProcessA", ERROR_FILE_NOT_FOUND},
      {"GetEnvironmentVariableA", ERROR_ENVVAR_NOT_FOUND},
      {"FindResourceA", ERROR_RESOURCE_TYPE_NOT_FOUND}, {"LoadResource", ERROR_RESOURCE_DATA_NOT_FOUND},
      {"SizeofResource", ERROR_RESOURCE_DATA_NOT_FOUND}, {"LockResource", ERROR_RESOURCE_DATA_NOT_FOUND},
      {"GetFileVersionInfoA", ERROR_RESOURCE_TYPE_NOT_FOUND}, {"VerQueryValueA", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"LoadStringA", 1814 /* resource name not found */}, {"FormatMessageA", 317 /* no message text */},
      {"WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER}, {"GetMessage", 1400 /* invalid window */},
      {"GetVersionExA", ERROR_INVALID_PARAMETER}, {"SetDllDirectoryA", ERROR_INVALID_PARAMETER},
      {"FindNextFileA", ERROR_ACCESS_DENIED},
  };
  auto it = errors.find(op);
  if (it != errors.end()) return it->second;
  static const std::set<std::string> handles = {"GetExitCodeProcess", "SetEvent", "WaitForSingleObject",
                                                "MsgWaitForMultipleObjects", "FindClose", "FreeLibrary",
                                                "LocalFree", "RegCloseKey"};
  if (handles.count(op)) return ERROR_INVALID_HANDLE;
  static const std::set<std::string> memory = {"GetSystemDirectoryA", "GetWindowsDirectoryA", "GetTempPathA",
                                               "LocalAlloc", "CreateThread", "MessageBoxA"};
  if (memory.count(op)) return ERROR_NOT_ENOUGH_MEMORY;
  return ERROR_ACCESS_DENIED;  // the registry, deletions, the shell folders, events, searches
}

// ---- what the run may touch ------------------------------------------------------

// The simulated disk as a map from lower-case path to contents ("<dir>" for
// a folder).
using Disk = std::map<std::string, std::string>;

void Walk(const std::string& folder, Disk* disk) {
  for (const std::string& name : sim::ListDirectory(folder)) {
    std::string path = folder + (folder.back() == '\\' ? "" : "\\") + name;
    if (sim::IsDirectory(path)) {
      (*disk)[Lower(path)] = "<dir>";
      Walk(path, disk);
    } else {
      (*disk)[Lower(path)] = sim::ReadFileBytes(path);
    }
  }
}

Disk Snapshot() {
  Disk disk;
  Walk("C:\\", &disk);
  // A walk that misses the folders the run works in would check nothing.
  if (!disk.count(Lower(kDataFolder)) || !disk.count(Lower(kKitFolder + "\\bin\\vesk.exe"))) {
    ADD_FAILURE() << "the snapshot of the disk misses the data folder or the kit: " << disk.size() << " entries";
  }
  return disk;
}

// Every folder the per-user data folder can resolve to on these machines:
// the low-integrity local folder on Windows 6, the application-data folder
// before it, and the user profile and the Windows directory when the
// lookups fail. The run's own tree lies below whichever one it got.
const std::string kDataFolders[] = {kDataFolder, "C:\\Users\\tester\\AppData\\Roaming", "C:\\Users\\tester",
                                    "C:\\Windows"};

// Whether the run may have made this change to the tree below one data
// folder. `before` and `after` are absent as nullptr.
bool ChangeAllowedBelow(const std::string& data, const std::string& path, const std::string* before,
                        const std::string* after) {
  const std::string maker = data + "\\Qor", product = maker + "\\Vesk", au = product + "\\AU";
  const std::string staging = product + "\\qmb1.6.0_39";
  // The staging directory and all below it: written and removed by the run.
  if (path == Lower(staging) || Below(path, staging)) return true;
  // The folder chain above it: created, and removed when empty.
  bool folderOnly = (before == nullptr || *before == "<dir>") && (after == nullptr || *after == "<dir>");
  if ((path == Lower(maker) || path == Lower(product)) && folderOnly) return true;
  // The updater folder and its two files, never removed.
  if (path == Lower(au) && folderOnly && after != nullptr) return true;
  if ((path == Lower(au + "\\au.msi") || path == Lower(au + "\\au.cab")) && after != nullptr) return true;
  return false;
}

// Whether the run may have made this change. `before` and `after` are
// absent as nullptr.
bool ChangeAllowed(const std::string& path, const std::string* before, const std::string* after) {
  for (const std::string& data : kDataFolders)
    if (ChangeAllowedBelow(data, path, before, after)) return true;
  // The diagnostic log, only ever added to.
  if (path == Lower(kTempFolder + "\\moltrav.log") && after != nullptr &&
      (before == nullptr || after->compare(0, before->size(), *before) == 0))
    return true;
  // The kit's follow-up packages, deleted after the follow-ups ran.
  for (const std::string& f : kFollowUps)
    if (path == Lower(kKitFolder + "\\" + f) && after == nullptr) return true;
  return false;
}

std::string Describe(const std::string* contents) {
  if (contents == nullptr) return "absent";
  if (*contents == "<dir>") return "a folder";
  return "a file of " + std::to_string(contents->size()) + " bytes";
}

// The first change between two snapshots that the run may not make, or "".
std::string ForbiddenChange(const Disk& before, const Disk& after) {
  std::set<std::string> paths;
  for (const auto& [p, c] : before) paths.insert(p);
  for (const auto& [p, c] : after) paths.insert(p);
  for (const std::string& p : paths) {
    auto b = before.find(p), a = after.find(p);
    const std::string* was = b == before.end() ? nullptr : &b->second;
    const std::string* now = a == after.end() ? nullptr : &a->second;
    if (was != nullptr && now != nullptr && *was == *now) continue;
    if (!ChangeAllowed(p, was, now)) return p + ": was " + Describe(was) + ", now " + Describe(now);
  }
  return "";
}

// ---- the exit codes each failure allows ------------------------------------------

// Operations whose failure can make the Windows Installer look too old.
const std::set<std::string> kGateCalls = {"GetVersionExA", "GetSystemDirectoryA", "LoadLibraryA",
                                          "GetProcAddress", "GetFileVersionInfoA", "VerQueryValueA",
                                          "LocalAlloc"};
// Operations whose failure can hide the installer tool's location.
const std::set<std::string> kLocateCalls = {"RegOpenKeyExA", "RegQueryValueExA", "GetSystemDirectoryA"};
// Operations of writing a payload file: their failure ends the process with
// their error, reported by the writing thread.
const std::set<std::string> kWriteCalls = {"CreateFileA", "WriteFile", "CloseHandle", "SetFilePointer",
                                           "LoadResource", "SizeofResource", "LockResource"};
// Operations whose failure can leave the writer without its folder (the
// cabinet thread, which only opens the folders, may then resolve another
// data folder): the create step then fails with "path not found" or "file
// not found".
const std::set<std::string> kFolderCalls = {"CreateDirectoryA", "SHGetFolderPathEx", "SHGetFolderPathA",
                                            "SHGetSpecialFolderPathA", "LoadLibraryA", "GetProcAddress",
                                            "GetEnvironmentVariableA", "WideCharToMultiByte",
                                            "GetVersionExA", "GetSystemDirectoryA"};
// Operations of taking over a folder of the run (making it, checking that
// it is a real folder where it should be, reading its owner back) or of
// clearing a payload file's name: their failure ends the process with their
// error, as a file that cannot be created does.
const std::set<std::string> kRunFolderCalls = {
    "CreateDirectoryA", "GetFileAttributesA", "GetFileInformationByHandle", "GetKernelObjectSecurity",
    "OpenProcessToken", "GetTokenInformation", "ConvertSidToStringSidA",
    "ConvertStringSecurityDescriptorToSecurityDescriptorA", "ConvertSecurityDescriptorToStringSecurityDescriptorA",
    "DeleteFileA", "MoveFileA", "GetFinalPathNameByHandleA", "GetSystemDirectoryA", "LoadLibraryA", "GetProcAddress",
    "LocalAlloc", "GetModuleHandleA", "NtCreateFile", "NtSetInformationFile", "NtQueryDirectoryFile",
    "SystemFunction036", "GetVolumeInformationByHandleW", "GetVolumeInformationA", "GetDriveTypeA"};
// Operations whose failure can keep the main installer from starting, its
// exit code from being known, or the package resource from being found: the
// run's own code 1.
const std::set<std::string> kNotStartedCalls = {"CreateProcessA", "WaitForSingleObject", "GetExitCodeProcess",
                                                "FindResourceA", "SizeofResource", "LoadResource",
                                                "LockResource"};

std::set<int> AllowedCodes(const Machine& m, const std::string& op, DWORD error) {
  std::set<int> codes = m.codes;
  if (kGateCalls.count(op)) codes.insert(-2);
  if (kLocateCalls.count(op)) codes.insert(-3);
  if (kWriteCalls.count(op)) codes.insert(static_cast<int>(error));
  if (kFolderCalls.count(op)) codes.insert({ERROR_PATH_NOT_FOUND, ERROR_FILE_NOT_FOUND});
  if (kRunFolderCalls.count(op)) codes.insert(static_cast<int>(error));
  if (kNotStartedCalls.count(op)) codes.insert(1);
  return codes;
}

std::string Join(const std::set<int>& codes) {
  std::string out;
  for (int c : codes) out += (out.empty() ? "" : ", ") + std::to_string(c);
  return out;
}

// ---- one run ---------------------------------------------------------------------

std::string LastCalls(size_t n) {
  std::vector<std::string> calls = sim::Calls();
  std::string out;
  for (size_t i = calls.size() > n ? calls.size() - n : 0; i < calls.size(); ++i) out += "  " + calls[i] + "\n";
  return out;
}

class FaultSweepTest : public test::MachineTest {
 protected:
  void Prepare(const Machine& m) {
    Restart();
    sim::SetWindowsVersion(m.major, m.minor);
    sim::SetCommandLine(std::string("qmb-setup.exe ") + m.arguments);
    sim::AddString(4, 1033, "the Windows Installer is too old");
    AddPayload();
    sim::RegSetString(kKitKey, "VeskHome", kKitFolder);
    for (const std::string& f : kFollowUps) sim::WriteFileBytes(kKitFolder + "\\" + f, "follow-up " + f);
    // Files of the user's beside the run's: none of them may change.
    sim::WriteFileBytes(kKitFolder + "\\bin\\vesk.exe", "the kit's own program");
    sim::WriteFileBytes(kDataFolder + "\\Qor\\Vesk\\notes.txt", "the user's notes");
    sim::WriteFileBytes(kDataFolder + "\\Qor\\Vesk\\qmb1.5.0_12\\keep.cab", "an older version's cabinet");
    sim::WriteFileBytes("C:\\Users\\tester\\Downloads\\qmb-setup.exe", "MZ the bootstrapper itself");
    if (m.updaterOlder) sim::RegSetString(kUpdaterKey, "AUVersion", "2.0.7.1");
    if (m.more != nullptr) m.more();
    bool reinstall = m.reinstall;
    Installer([reinstall](int run) -> DWORD {
      sim::MakeRegistryKey(kRuntimeKey);
      if (reinstall && run == 1) {
        sim::RegSet(kSettingsKey, "InstallStatus", REG_SZ, "reinstall");
        return 0;
      }
      return reinstall ? 3010 : 0;
    });
    RecordedProgram(test::kRegistrationTool);
  }

  struct Outcome {
    sim::RunResult result;
    Disk before, after;
    std::map<std::string, int> handles;  // left open, by kind
    bool fired = false;
  };

  // Runs WinMain once; a run that outlasts kRunLimit ends the test binary
  // with a message naming it, since a hung run cannot be taken back.
  Outcome Run(const std::string& what) {
    Outcome o;
    o.before = Snapshot();
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(mu);
      if (!cv.wait_for(lock, kRunLimit, [&] { return done; })) {
        std::fprintf(stderr, "the run did not end within %lld s: %s\n",
                     static_cast<long long>(kRunLimit.count()), what.c_str());
        std::abort();
      }
    });
    o.result = RunWinMain();
    {
      std::lock_guard<std::mutex> lock(mu);
      done = true;
    }
    cv.notify_all();
    watchdog.join();
    o.handles = sim::OpenHandles();
    o.fired = sim::PendingFaults() == 0;
    o.after = Snapshot();
    return o;
  }

  // What is wrong with an outcome, or "".
  std::string Check(const Machine& m, const std::string& op, DWORD error, const Outcome& o) {
    std::set<int> allowed = AllowedCodes(m, op, error);
    if (!allowed.count(o.result.code))
      return "exit code " + std::to_string(o.result.code) + ", allowed: " + Join(allowed);
    if (o.result.exitProcessCalled && o.result.code == 0) return "the process was ended with code 0";
    // The end of the process closes what a fatal error left open.
    for (const auto& [kind, open] : o.handles) {
      if (!o.result.exitProcessCalled && open > (kind == "event" ? 2 : 0))
        return std::to_string(open) + " " + kind + " handle(s) left open";
    }
    std::string change = ForbiddenChange(o.before, o.after);
    if (!change.empty()) return "a change outside the run's folders: " + change;
    return "";
  }

  // Sweeps one machine; returns the number of faults injected.
  int Sweep(const Machine& m) {
    Prepare(m);
    sim::ClearCalls();
    Outcome base = Run(std::string(m.name) + ", no fault");
    std::string wrong = Check(m, "", 0, base);
    EXPECT_EQ(wrong, "") << m.name << ", without a fault";
    if (!wrong.empty()) return 0;

    // The operations this machine's run calls, in the order first called.
    std::vector<std::string> ops;
    for (const std::string& call : sim::Calls()) {
      std::string op = call.substr(0, call.find('('));
      if (op == "GetMessageA" || op == "GetMessageW") op = "GetMessage";
      if (std::find(ops.begin(), ops.end(), op) == ops.end()) ops.push_back(op);
    }

    int injected = 0;
    size_t failable = 0;
    for (const std::string& op : ops) {
      DWORD error = RepresentativeError(op);
      for (int k = 1;; ++k) {
        Prepare(m);
        sim::FailCall(op, k, error);
        std::string what = std::string("machine ") + m.name + ", " + op + " call " + std::to_string(k) +
                           " failing with " + std::to_string(error);
        Outcome o = Run(what);
        // Not fired: the run no longer reaches the k-th call, or (at the
        // first) the operation is one that cannot fail.
        if (!o.fired) break;
        if (k == 1) ++failable;
        ++injected;
        if (std::getenv("QMB_SWEEP_TRACE"))
          std::printf("%s: %d%s\n", what.c_str(), o.result.code, o.result.exitProcessCalled ? " (ended)" : "");
        std::string problem = Check(m, op, error, o);
        if (!problem.empty()) {
          ADD_FAILURE() << what << ": " << problem << "\nthe run's last calls:\n" << LastCalls(25);
          return injected;
        }
      }
    }
    std::printf("machine %s: %d faults injected over %zu operations, all survived\n", m.name, injected,
                failable);
    return injected;
  }
};

class FaultSweep : public FaultSweepTest, public ::testing::WithParamInterface<Machine> {};

TEST_P(FaultSweep, EveryFailureEndsAsTheRunAllows) {
  int injected = Sweep(GetParam());
  EXPECT_GT(injected, 0);
}

INSTANTIATE_TEST_SUITE_P(Machines, FaultSweep, ::testing::ValuesIn(kMachines),
                         [](const ::testing::TestParamInfo<Machine>& info) {
                           std::string n = info.param.name;
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
