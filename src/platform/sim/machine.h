// The simulated Windows machine: what the host build links instead of the
// platform, and what the unit tests configure and inspect.
//
// It implements the Win32 declarations of platform/win32.h over in-memory
// state and a temporary host folder, written from what the system relies on
// and as strict as Windows where Windows refuses: a file open without sharing
// refuses a second open with 32, a read-only file refuses deletion with 5, a
// folder that still holds entries refuses removal with 145, a registry read
// into a buffer that is too small answers 234 without writing, an event lives
// only while a handle to it is open.
//
// One machine exists per test (sim::Reset). Threads the system starts with
// CreateThread and the fake child programs run on real host threads; the
// machine joins every one of them before a test ends. ExitProcess ends the
// simulated run on whatever thread calls it, as it ends a real process: every
// thread of the process stops at its next platform call (the calls that
// close a handle or a key, which destructors make, then do nothing and
// succeed), and the run's result carries the first ExitProcess's code.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

// ---- the machine as a whole ------------------------------------------------

// Throws away the current machine (joining its threads) and builds a fresh
// one with the defaults below. Every test fixture calls it first.
//
// Defaults: Windows 6.1 (NT platform), system directory C:/Windows/system32
// with the usual libraries, msi.dll version 4.5.6001.22308, ANSI code page
// 1252, user language 1033, USERPROFILE=C:/Users/tester, temp folder
// C:/Users/tester/AppData/Local/Temp/ (all Windows paths, written here with
// forward slashes), the local-low and local application-data known folders,
// application data and common files folders, an empty command line
// "qmb-setup.exe", and no resources.
void Reset();

// The module handle of the running executable (resources, string table).
HINSTANCE Module();

// The outcome of a simulated process run.
struct RunResult {
  bool exitProcessCalled = false;  // ended through ExitProcess
  int code = 0;                    // the exit code (WinMain's value otherwise)
};

// Runs entry() as the main thread of the bootstrapper process, then ends the
// process: threads it started are joined (a thread still running ends at its
// next platform call, as threads end with a process). Returns how it ended.
RunResult RunProcess(const std::function<int()>& entry);

// ---- call log ----------------------------------------------------------------

// Every platform call the system makes, one line each, such as
// "CreateFileA(C:\x\a.cab, 0x40000000, 0, 2, 0x80)". Calls made by fake child
// programs are not logged.
std::vector<std::string> Calls();
std::vector<std::string> CallsStartingWith(const std::string& prefix);
size_t CountCalls(const std::string& prefix);
size_t CallCount();  // all calls logged so far
void ClearCalls();

// ---- fault injection ---------------------------------------------------------

// The nth call (1-based, counted from now) of the named operation whose first
// text argument contains `match` (empty matches every call) fails with the
// given error code, as the platform fails it. Every operation the machine
// implements can be failed by the name it logs under, except those that
// cannot fail on Windows either (GetCommandLineA, GetLastError, message
// peeking and dispatch, ExitProcess and the like); "GetMessage" stands for
// both forms.
void FailCall(const std::string& op, int nth, DWORD error, const std::string& match = "");

// Injected faults that have not fired yet.
size_t PendingFaults();

// The nth WriteFile (1-based, from now) writes only `bytes` bytes (at most the
// request) and reports success with that count; 0 makes a zero-byte write.
void ShortWrite(int nth, DWORD bytes);

// Total bytes the file system accepts from now on; a write beyond it fails
// with ERROR_DISK_FULL after writing nothing.
void SetDiskSpace(uint64_t bytes);

// ---- environment, versions, language ---------------------------------------------

void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);
void SetCommandLine(const std::string& commandLine);
void SetWindowsVersion(DWORD major, DWORD minor, DWORD platform = VER_PLATFORM_WIN32_NT);
void SetSystemDirectory(const std::string& path);  // also moves the libraries
std::string SystemDirectory();
// Sets TMP and TEMP, which the temp folder comes from (they are the user's,
// also in an elevated process).
void SetTempPath(const std::string& path);
void SetUserLangId(LANGID lang);
// The ANSI code page, as far as IsDBCSLeadByte tells it: the lead bytes of
// 932 (0x81-0x9F, 0xE0-0xFC), 936, 949 and 950 (0x81-0xFE); every other code
// page is single-byte. Text conversion stays that of 1252.
void SetCodePage(UINT codePage);
void SetUiLanguage(LANGID lang);  // the language LoadStringA picks

// msi.dll's file version (most and least significant words).
void SetMsiVersion(DWORD ms, DWORD ls);
void RemoveMsiVersionInfo();  // msi.dll present without version information

// Pins the clock read by time(); unpinned it follows the host clock.
void SetClock(time_t t);

// ---- libraries ---------------------------------------------------------------

// Removes a library file from the system directory (LoadLibraryA then fails
// with 126), or one export from a library (GetProcAddress fails with 127).
void RemoveLibrary(const std::string& fileName);
void RemoveExport(const std::string& fileName, const std::string& exportName);

struct LibraryLoad {
  std::string path;  // as passed to LoadLibraryA
  bool loaded;
};
std::vector<LibraryLoad> LibraryLoads();
int LoadedLibraryReferences();  // loads not yet freed
std::vector<std::string> DllDirectories();  // every SetDllDirectoryA argument

// ---- resources ---------------------------------------------------------------

void AddResource(const std::string& type, WORD id, const std::string& bytes, LANGID lang = 1033);
void AddString(UINT id, LANGID lang, const std::string& ansiText);

// ---- shell folders ------------------------------------------------------------

// A known folder (by identifier) resolves to the path, or fails (nullopt).
void SetKnownFolder(const GUID& id, std::optional<std::u16string> path);
// Folder 26 (application data) and 43 (common program files); nullopt fails.
// SHGetFolderPathA gives a folder that does not exist with S_FALSE (1).
void SetShellFolder(int csidl, std::optional<std::string> path);
const GUID& LocalAppDataLowId();
const GUID& LocalAppDataId();

// ---- file system ---------------------------------------------------------------

bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);  // creates parents
void MakeDirectories(const std::string& path);
void SetReadOnly(const std::string& path, bool readOnly);
// Entry names of a folder, sorted; empty when it does not exist.
std::vector<std::string> ListDirectory(const std::string& path);
int OpenFileHandles();

// Links and hard links, as another process of the user would make them
// (not checked against any folder's security):
// a link (a junction or symbolic link: a folder entry that redirects) at
// `path` to `target`, and a second name `path` for the existing file `file`.
void MakeLink(const std::string& path, const std::string& target);
void MakeHardLink(const std::string& path, const std::string& file);

// What another process of the user, without administrator rights, may do
// to the disk while the run goes on. Each returns 0 when done, or the
// Windows error that stops it: 5 where a folder the run secured (its
// protected access list lets the user only read) forbids it, 32 where a
// folder held open without delete sharing cannot be renamed or removed.
DWORD UserRename(const std::string& from, const std::string& to);
DWORD UserWriteFile(const std::string& path, const std::string& bytes);
DWORD UserMakeLink(const std::string& path, const std::string& target);

// The security a folder was given by the system, as SDDL: "O:..D:..S:..",
// each part present only when it was set; "" when none was.
std::string FolderSecurity(const std::string& path);
// Labels are refused with 5, when a folder is made and on an existing
// object alike (Wine refuses them on existing objects).
void RefuseLabels(bool refuse);

// The process token: an elevated administrator's (the default), or a
// limited user's, which may name only the user as an owner and writes only
// where a folder's access list lets the user write.
void SetAdministrator(bool administrator);
// An administrator's token that UAC filtered (started without elevation):
// the Administrators are in it, for deny only.
void SetFilteredAdministrator();
// The process is a 32-bit one on 64-bit Windows: the system directory is
// redirected to SysWOW64 (final paths show it), but for the folders the
// redirector leaves alone.
void SetWow64(bool wow64);
// A folder an elevated process made earlier with default security: owned by
// the Administrators, and the user's to change (inherited full control).
void MakeAdministratorsFolder(const std::string& path);
// A folder an earlier run made with the security `sddl` ("O:..D:..S:..").
void MakeSecuredFolder(const std::string& path, const std::string& sddl);
// The user's other process turns its empty folder `path` into a mount point
// leading to `target`, through a handle that takes no part in sharing: by
// name it is then a link; handles held on the folder before still hold it,
// and it has no entries. Returns 0, 5 (not the user's to change) or 145
// (not empty).
DWORD UserMakeMountPoint(const std::string& path, const std::string& target);
// Runs `action` once, right after the first call of `op` whose first text
// argument contains `match` has taken effect, before the caller goes on (as
// an opportunistic lock's break lets another process act in between).
void OnCallDone(const std::string& op, const std::string& match, std::function<void()> action);
// A named event that another account's process made and holds, owned by
// `ownerSid`; its access list lets the run open it or not.
void MakeEventOfAnotherAccount(const std::string& name, const std::string& ownerSid, bool lettingTheRunOpenIt);
// Drive `drive` leads to the share `share` ("\\\\server\\share"): a remote
// drive, whose final paths name the share, and which judges the run as the
// user (no owner but the user is taken).
void MapNetworkDrive(char drive, const std::string& share);
// The folders below `path` (and it) lie on a volume without security (FAT,
// exFAT): nothing is kept of a descriptor, and every owner reads back as
// Everyone.
void PutOnUnsecuredVolume(const std::string& path);
// Links are opened only through to their target, also when the link itself
// is asked for, and no handle shows a link: as Wine does.
void OpenLinksThrough(bool through);
// The user's other process deletes a plain file: 0, 5 where the folder is
// not the user's to change, 32 where it is open without delete sharing.
DWORD UserDeleteFile(const std::string& path);
// The next bytes of the system's random generator (SystemFunction036).
void QueueRandomBytes(const std::string& bytes);
// The folders below `path` live on a file server, whose view of the user
// holds no Administrators group: any owner but the user is refused with
// ERROR_INVALID_OWNER.
void PutOnServer(const std::string& path);
// An object-manager redirection of `path` to `target`, as another process
// of the user makes it (a mount point above it leading to a symbolic link of
// the object manager): by name and by handle `path` is a normal folder, and
// everything done there happens at `target`; only its final path tells.
void RedirectFolder(const std::string& path, const std::string& target);
// Holds a folder open as another process of the user would, until
// ReleaseHeldFiles; the access is checked now. Returns 0 or the error.
DWORD HoldFolderOpen(const std::string& path, DWORD access, DWORD share);
// The user's other process replaces a folder's access list (SDDL "D:..."):
// allowed where the user may change the folder, or through a handle of
// HoldFolderOpen opened with WRITE_DAC, whatever the folder's security is
// now. Returns 0 or 5.
DWORD UserSetDacl(const std::string& path, const std::string& dacl);

// Runs `action` once, just before the first call of `op` whose first text
// argument contains `match` (empty matches every call), made by the system.
void OnCall(const std::string& op, const std::string& match, std::function<void()> action);

// Holds the bootstrapper thread that makes the first call of `op` whose
// first text argument contains `match` (empty matches every call), just
// before that call, until release() holds or the process ends. The other
// threads go on meanwhile; release() is asked whenever the machine changes.
// The call must not be one made inside an OnCall action.
void HoldCall(const std::string& op, const std::string& match, std::function<bool()> release);
// Threads that HoldCall holds now (one whose release() is asked among them).
int HeldThreads();
// Whether a bootstrapper thread has begun to wait on the handle of a thread.
bool ThreadAwaited();

// Every SetDefaultDllDirectories argument.
std::vector<DWORD> DefaultDllDirectories();

// Holds a file open with the given share mode, as another process would,
// until ReleaseHeldFile.
void HoldFileOpen(const std::string& path, DWORD access, DWORD share);
void ReleaseHeldFiles();

// ---- registry ---------------------------------------------------------------------

struct RegValue {
  DWORD type;
  std::string bytes;  // raw bytes as stored, terminators included only when stored
};

// Paths are below HKEY_LOCAL_MACHINE, e.g. "SOFTWARE\\Morvanta".
void RegCreateKey(const std::string& path);
void RegSet(const std::string& path, const std::string& name, DWORD type, const std::string& bytes);
void RegSetString(const std::string& path, const std::string& name, const std::string& text);  // REG_SZ with terminator
std::optional<RegValue> RegGet(const std::string& path, const std::string& name);
bool RegKeyExists(const std::string& path);
void RegDeleteTree(const std::string& path);
// Opening the key with any access that includes writing is refused with 5.
void RegDenyWrite(const std::string& path);
int OpenRegistryHandles();

// ---- processes ---------------------------------------------------------------------

// A fake program: receives the command line exactly as the child would see
// it and returns its exit code. It may act on the machine (write the
// registry, open and wait on events) through the platform functions.
using Program = std::function<DWORD(const std::string& commandLine)>;

// Registers a program at a full path and creates its file there.
void RegisterProgram(const std::string& path, Program program);

struct ProcessRecord {
  std::string application;  // CreateProcessA's first argument, empty when null
  std::string commandLine;  // as passed
  std::string image;        // the file that was started
  DWORD exitCode;
};
std::vector<ProcessRecord> Processes();

// ---- events ---------------------------------------------------------------------------

// Whether a named event exists (some handle to it is open) and its state.
bool EventExists(const std::string& name);
bool EventSignalled(const std::string& name);
// Event handles open in the machine, whoever holds them.
int OpenEventHandles();

// ---- message boxes and the message queue ----------------------------------------------

struct MessageBoxRecord {
  std::string text;
  std::string caption;
  UINT style;
  bool mainThread;
};
std::vector<MessageBoxRecord> MessageBoxes();

// Windows of the main thread; a Unicode window's messages are removed and
// dispatched with the wide forms.
HWND CreateTestWindow(bool unicode);
// Queues a message for the main thread.
void PostMessageToMain(HWND window, UINT message);
size_t QueuedMessages();

struct DispatchRecord {
  HWND window;
  UINT message;
  bool wide;        // removed and dispatched with the wide forms
  bool translated;
  bool dispatched;
};
std::vector<DispatchRecord> Dispatches();

// ---- handles of every kind -----------------------------------------------------------

// The bootstrapper's open handles by kind: "file", "event", "thread",
// "process", "search", "registry key", and "library" for the references of
// loads not yet freed; a kind appears only when one is open. Not counted:
// files held by the test, the fake child programs' handles, and what a
// thread that the end of the process cut short still held (the process's
// end releases it).
std::map<std::string, int> OpenHandles();

// ---- memory ---------------------------------------------------------------------------

int LiveLocalAllocations();

}  // namespace sim
