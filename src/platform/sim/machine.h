// The simulated Windows machine: what the host build links instead of the
// platform, and what the unit tests configure and inspect. It implements the
// Win32 declarations of platform/win32.h over in-memory state and a temporary
// host folder, written from what the system relies on and as strict as
// Windows where Windows refuses.
//
// One machine exists per test (sim::Reset). Threads the system starts with
// CreateThread and the fake child programs run on real host threads; the
// machine joins every one of them before a test ends. ExitProcess ends the
// simulated run on whatever thread calls it, as it ends a real process: every
// thread of the process stops at its next platform call (the calls that
// close a handle or a key, which destructors make, then do nothing and
// succeed), and the run's result carries the first ExitProcess's code.
//
// ---- rules index ------------------------------------------------------------------
//
// The Windows rules the machine models, one row each: the rule; the function
// that models it (in the file the section names); the row of
// tests/platform/sim_test.cpp that pins it (SimRulesTest table "row"); its
// source: a learn.microsoft.com page title, or what Wine was seen to do
// (wine-and-msi.md, the section named). A new rule gets a row here, a row in
// sim_test's table and a short comment naming the source where it is modelled.
//
// Names and paths (paths.cpp)
//  1 Names compare without regard to case.
//    ResolvePath | FileSystem "names without case" | Naming Files, Paths, and Namespaces
//  2 A path of 260 characters or more fails with 206.
//    ResolvePath | FileSystem "path of 260: 206" | Maximum Path Length Limitation
//  3 A folder's path of 249 characters or more fails with 206 (room for an 8.3 name).
//    CreateDirectoryA (folders.cpp) | FileSystem "folder path of 249: 206" | CreateDirectoryA function
//  4 A name holding < > : " | (or * ? outside a search) fails with 123.
//    ValidComponent | FileSystem "invalid name: 123" | Naming Files, Paths, and Namespaces
//  5 A missing folder on the way fails with 3, a missing name in a folder with 2.
//    NotFoundError | FileSystem "missing folder: 3, missing name: 2" | System Error Codes (0-499)
//  6 An object-manager redirection is a plain folder by name and by handle; only the
//    final path and the file index tell.
//    ResolvePath, SimGetFinalPathNameByHandleA | FileSystem "redirection by final path only" |
//    Wine observation (wine-and-msi.md 19)
// Sharing (sharing.cpp)
//  7 An open asking for access another handle does not share, or not sharing what
//    another handle has, fails with 32.
//    FileOpenConflicts | FileSystem "no sharing: 32" | Creating and Opening Files
//  8 A handle without read, write or delete access takes no part in sharing.
//    TakesPartInSharing | FileSystem "no data access, no sharing" | IoCheckShareAccess function
//  9 Deleting, removing or renaming a name open without delete sharing fails with 32.
//    HeldAgainstDeletion | FileSystem "no delete sharing: 32" | CreateFileA function
//    (FILE_SHARE_DELETE: delete access allows delete and rename); Wine observation (wine-and-msi.md 16)
// 10 A name deleted or removed while open stays until its last handle is closed;
//    meanwhile opening, making, deleting or renaming it fails with 5.
//    RefusedAsPendingDeletion, HandleClosed | FileSystem "pending deletion: 5" |
//    DeleteFileA function; RemoveDirectoryA function
// 11 A folder with anything open below it is not renamed (5).
//    OpenBelow | FileSystem "open below: no rename, 5" | no documentation page: fastfat's
//    FatSetRenameInfo in Microsoft's driver samples
// 12 A read-only file is neither written nor deleted, a read-only folder not removed (5).
//    ReadOnlyRefusesChange | FileSystem "read-only: 5" | File Attribute Constants; DeleteFileA function
// Files and folders (files.cpp, folders.cpp)
// 13 FILE_FLAG_OPEN_REPARSE_POINT opens a link itself; without it an open, and a
//    CREATE_NEW through a link that leads nowhere, go through to the target.
//    CreateFileA | FileSystem "link itself or through" | CreateFileA function (Symbolic link behavior)
// 14 A folder opens only with FILE_FLAG_BACKUP_SEMANTICS; as a file it fails with 5.
//    CreateFileA | FileSystem "folder needs backup semantics: 5" | CreateFileA function (Directories)
// 15 CREATE_NEW on an existing name fails with 80; CREATE_ALWAYS over a file succeeds with 183.
//    CreateFileA | FileSystem "CREATE_NEW: 80, CREATE_ALWAYS: 183" | CreateFileA function
// 16 A link shows FILE_ATTRIBUTE_REPARSE_POINT by name.
//    GetFileAttributesA, FindFirstFileA | FileSystem "reparse attribute by name" |
//    File Attribute Constants; Wine observation (wine-and-msi.md 16)
// 17 A handle tells its file's index and number of names (hard links).
//    GetFileInformationByHandle | FileSystem "file index and names by handle" |
//    BY_HANDLE_FILE_INFORMATION structure; Wine observation (wine-and-msi.md 16)
// 18 Renaming onto an existing name fails with 183.
//    RenameEntry | FileSystem "rename onto a name: 183" | MoveFileA function
// 19 A folder that holds entries is not removed (145); making an existing folder fails with 183.
//    RemoveDirectoryA, CreateDirectoryA | FileSystem "folder with entries: 145, existing folder: 183" |
//    RemoveDirectoryA function; CreateDirectoryA function
// 20 A junction is removed as itself; its target stays.
//    RemoveDirectoryA | FileSystem "junction removed as itself" | RemoveDirectoryA function
// 21 A search lists "." and ".." (not at a drive's root), matches without regard to
//    case, and "*.*" matches every name.
//    FindFirstFileA, MatchPattern | FileSystem "search: dots, case, *.*" | FindFirstFileA function
// Security (security.cpp; the user's side in other_process.cpp)
// 22 An owner is the token's user or a group of it marked SE_GROUP_OWNER (an elevated
//    administrator's Administrators); any other fails with 1307.
//    DescriptorRefused | Security "owner: the user or an owner group, else 1307" |
//    TOKEN_OWNER structure (ntifs.h)
// 23 A file server refuses any owner but the user with 1307 (its token of the user holds
//    no Administrators of this machine).
//    DescriptorRefused | Security "server: the user alone, else 1307" | no page: rule 22 as
//    the server judges it
// 24 Where labels are refused, giving one fails with 5 (Wine: on existing objects; the
//    machine: when a folder is made, too).
//    DescriptorRefused, SetKernelObjectSecurity | Security "labels refused: 5" |
//    Wine observation (wine-and-msi.md 17)
// 25 Setting an access list needs WRITE_DAC, an owner or a label WRITE_OWNER; reading
//    security needs READ_CONTROL; else 5.
//    SetKernelObjectSecurity, GetKernelObjectSecurity | Security "rights to security: 5" |
//    SECURITY_INFORMATION
// 26 A handle keeps the access it was opened with, whatever becomes of the security.
//    UserSetDacl (other_process.cpp) | Security "handle keeps its access" |
//    IRP_MJ_CREATE Dispatch Routine
// 27 A limited user's token changes a folder's entries only where its access list lets
//    the user write (else 5); an administrator's everywhere.
//    RunMayChange, UserMayChange | Security "limited user: where the list lets, else 5" |
//    How DACLs Control Access to an Object
// 28 A folder's owner may open it to change its access list, whatever the list says.
//    UserMayChangeSecurity | Security "owner may change the list" | Owner of a New Object
// 29 A folder below LocalLow with no label of its own carries the inherited low label.
//    Descriptor | Security "low label below LocalLow" |
//    Designing Applications to Run at a Low Integrity Level
// Registry (registry.cpp)
// 30 A read into a buffer too small fails with 234 and reports the size needed; the
//    machine writes nothing (Windows leaves the buffer undefined).
//    RegQueryValueExA | Registry "small buffer: 234" | RegQueryValueExA function
// 31 A key refuses what its handle was not opened for (5): KEY_SET_VALUE to set or
//    delete values, KEY_QUERY_VALUE to read or count them; a closed handle is invalid (6).
//    OpenedKey | Registry "access of the handle: 5" | Registry Key Security and Access
//    Rights; RegQueryInfoKeyA function
// 32 A key with subkeys is not deleted (5); an open key may be, and its handles then
//    fail with 1018.
//    RegDeleteKeyA, OpenedKey | Registry "key with subkeys: 5, deleted key: 1018" |
//    RegDeleteKeyA function; System Error Codes (1000-1299)
// 33 Key and value names compare without regard to case.
//    Walk, FindValue | Registry "registry names without case" | Structure of the Registry
// 34 String data stored without a terminator are read with one added where the buffer
//    has room; the length reported stays.
//    RegQueryValueExA | Registry "terminator added on reading" | Wine observation
//    (Wine's RegQueryValueExA, which follows NT)
// 35 String data written with a length that leaves out the terminator take the zero
//    that follows them.
//    RegSetValueExA | Registry "terminator taken on writing" | Wine observation (Wine's
//    RegSetValueExA: "yes NT does this")
// Processes, threads, events and children (process.cpp, children.cpp)
// 36 A named event lives while a handle to it is open; making it again opens it with 183.
//    CreateEventA, ReleaseObject | ProcessesAndModules "event lives while a handle is
//    open" | CreateEventA function
// 37 A wait that an auto-reset event ends resets it.
//    WaitForSingleObject | ProcessesAndModules "auto-reset event" | CreateEventA function
// 38 ExitProcess ends every thread of the process; the first code is the process's, and
//    the end closes what the threads held.
//    ExitProcess, ReleasedByTheEnd | SimTest.ExitProcessOnASecondThread* |
//    ExitProcess function; Terminating a Process
// 39 An unquoted command line with blanks tries each blank-separated beginning as the
//    program, the shortest first.
//    FindImage | ProcessesAndModules "unquoted program path" | CreateProcessA function
// 40 A program named without a folder gets ".exe" and is searched for (current, system,
//    Windows folder); an application name is taken as it is.
//    FindImage, CreateProcessA | ProcessesAndModules "program name searched, application
//    name not" | CreateProcessA function
// Modules (modules.cpp)
// 41 A library named without a folder is searched in the system folder, the Windows
//    folder, then the current folder unless SetDllDirectoryA("") took it out.
//    LoadLibraryA | ProcessesAndModules "library search order" |
//    Dynamic-Link Library Search Order
// 42 A missing library fails with 126, a missing export with 127.
//    LoadLibraryA, GetProcAddress | ProcessesAndModules "missing library: 126, export:
//    127" | System Error Codes (0-499)
// 43 A string comes in the user-interface language, else its primary language, US
//    English, then any.
//    LoadStringA | ProcessesAndModules "string language fallback" | Wine observation
//    (Wine's resource lookup; no page states the order)
// Environment and texts (environment.cpp, texts.cpp)
// 44 A text answer that does not fit gives the size it needs, terminator included, and
//    writes nothing.
//    CopyOut | EnvironmentAndTexts "answer too long: the size needed" |
//    GetSystemDirectoryA function; GetEnvironmentVariableA function
// 45 A variable that is not set fails with 203; one set to "" gives 0 with error 0.
//    GetEnvironmentVariableA | EnvironmentAndTexts "variable unset: 203, empty: 0" |
//    GetEnvironmentVariableA function
// 46 GetVersionExA takes a record of 148 or 156 bytes only (else 122).
//    GetVersionExA | EnvironmentAndTexts "version record of 148 or 156" | OSVERSIONINFOA structure
// 47 The lead bytes of code pages 932, 936, 949 and 950.
//    IsDBCSLeadByte | EnvironmentAndTexts "double-byte lead bytes" | Double-Byte Character Sets
// 48 Text converted to the ANSI code page gets the default character where it cannot
//    be shown, and says so.
//    WideCharToMultiByte | EnvironmentAndTexts "default character" | WideCharToMultiByte function
// 49 SHGetFolderPathA answers S_FALSE for a folder that does not exist.
//    ShellFolder | EnvironmentAndTexts "shell folder not there: S_FALSE" | SHGetFolderPathA function
// 50 lstrcmpA orders the texts compared here by character code, and reads both texts
//    to their terminators.
//    lstrcmpA | SimTextTest.*, SimTextDeathTest.* | lstrcmpA function
// The elevated run's rules (the first file named holds each)
// 51 A name opened or made below a held folder (NtCreateFile, RootDirectory) is looked
//    up in that very folder, as itself (FILE_OPEN_REPARSE_POINT); FILE_CREATE on a taken
//    name fails with 183, FILE_OPEN on a missing one with 2, a folder asked of a file
//    gives STATUS_NOT_A_DIRECTORY.
//    SimNtCreateFile, Below (native.cpp) | NativeCalls "names below a held folder" |
//    NtCreateFile function (OBJECT_ATTRIBUTES RootDirectory); Wine observation (wine-and-msi.md 19)
// 52 A rename by handle (FileRenameInformation) needs DELETE and takes every handle
//    along; a folder with something open below it is not renamed (5).
//    SimNtSetInformationFile, MoveOpenEntry (files.cpp) | NativeCalls "rename by handle" |
//    FILE_RENAME_INFORMATION structure; rule 11
// 53 A deletion by handle (FileDispositionInformation) needs DELETE; a read-only file
//    gives 5 (STATUS_CANNOT_DELETE), a folder with entries 145; the name goes when its
//    last handle is closed.
//    SimNtSetInformationFile | NativeCalls "delete by handle" | FILE_DISPOSITION_INFORMATION structure
// 54 NtQueryDirectoryFile lists ".", "..", then the entries, then STATUS_NO_MORE_FILES.
//    SimNtQueryDirectoryFile | NativeCalls "listing by handle" | NtQueryDirectoryFile function
// 55 Wine opens a link only through to its target, also with FILE_OPEN_REPARSE_POINT,
//    and no handle shows a link (OpenLinksThrough).
//    SimNtCreateFile | NativeCalls "links opened through (Wine)" | Wine observation (wine-and-msi.md 16)
// 56 A 32-bit process on 64-bit Windows is redirected from the system directory to
//    SysWOW64, but for catroot, catroot2, driverstore, drivers\etc, logfiles and spool;
//    final paths show SysWOW64.
//    ResolvePath (paths.cpp) | FileSystem "WOW64: system32 is SysWOW64" | File System Redirector;
//    Wine observation (wine-and-msi.md 19)
// 57 A folder reached through a link on the way is the folder the link leads to.
//    CreateFileA, CanonicalKey | FileSystem "folder through a link is its target" |
//    CreateFileA function (Symbolic link behavior)
// 58 Writing a file meets the share modes of the handles open on it, whoever writes.
//    UserWriteFile (other_process.cpp) | FileSystem "writing meets the share modes" | rule 7
// 59 An elevated administrator's folders made with default security belong to the
//    Administrators; a limited user's to the user.
//    MadeBy (security.cpp) | Security "elevated default owner: Administrators" | KB Q100599
//    (files created by members of the Administrators group); TOKEN_OWNER structure
// 60 An administrator's filtered token (started without elevation) holds the
//    Administrators for deny only, which names no owner (1307).
//    GetTokenInformation | Security "filtered token: Administrators deny-only" | SID_AND_ATTRIBUTES
//    (SE_GROUP_USE_FOR_DENY_ONLY); How User Account Control works (the filtered token)
// 61 An empty folder can be made a mount point through a handle that takes no part in
//    sharing, while others hold it; a held handle then finds no entries and makes none.
//    UserMakeMountPoint (other_process.cpp), Below | Security "mount point made of a held folder" |
//    MS-FSA 2.1.5.10.37 (FSCTL_SET_REPARSE_POINT); STATUS_DIRECTORY_IS_A_REPARSE_POINT
// 62 A drive that leads to a share is remote, its final paths name the share, and the
//    server judges the run as the user: no administrator's rights, no owner but the user.
//    SimGetDriveTypeA (volumes.cpp), SimGetFinalPathNameByHandleA, RunMayChange, DescriptorRefused |
//    Security "network drive: remote, UNC, judged as the user" | GetDriveTypeA function;
//    GetFinalPathNameByHandleA function
// 63 A volume without security (FAT, exFAT) keeps no descriptor: no FILE_PERSISTENT_ACLS,
//    and every owner reads back as Everyone.
//    OnUnsecuredVolume, Descriptor, SimGetVolumeInformationByHandleW | Security "FAT: no security" |
//    GetVolumeInformationByHandleW function; ReactOS IopGetSetSecurityObject (world descriptor)
// 64 A named event has an owner (the descriptor's, which the token must be able to name,
//    else the token's default owner) and an access list; another account's event that
//    leaves the token out cannot be opened (5).
//    CreateEventA (process.cpp), GetKernelObjectSecurity | ProcessesAndModules "event owner and
//    access" | CreateEventA function; Synchronization Object Security and Access Rights
// 65 ntdll and kernel32 are in every process; GetModuleHandleA finds them without a load.
//    GetModuleHandleA (modules.cpp) | ProcessesAndModules "ntdll and kernel32 resident" |
//    GetModuleHandleA function
// 66 Another process can act between a call's effect and the caller's next step (an
//    opportunistic lock's break holds the caller there).
//    Call::~Call, Done (other_process.cpp) | ProcessesAndModules "stall at completion" |
//    Opportunistic Locks (FSCTL_REQUEST_OPLOCK)
// 67 The temp folder is the first of TMP, TEMP and USERPROFILE that is set, else the
//    Windows folder: the user's own settings, also in an elevated process.
//    GetTempPathA (environment.cpp) | EnvironmentAndTexts "temp folder from TMP, TEMP" |
//    GetTempPathA function
// 68 A character the code page lacks is best-fitted without a word (a look-alike that
//    names another file) unless WC_NO_BEST_FIT_CHARS, which gives the default character
//    and says so.
//    WideCharToMultiByte (texts.cpp) | EnvironmentAndTexts "best fit unless told not" |
//    WideCharToMultiByte function (Security Considerations)
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/other_process.h"
#include "platform/sim/security.h"
#include "platform/sim/volumes.h"
#include "platform/win32.h"

namespace sim {

// ---- the machine and the process (process.cpp) --------------------------------------

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

// The bootstrapper's open handles by kind: "file", "event", "thread",
// "process", "search", "registry key", and "library" for the references of
// loads not yet freed; a kind appears only when one is open. Not counted:
// files held by the test, the fake child programs' handles, and what a
// thread that the end of the process cut short still held (the process's
// end releases it).
std::map<std::string, int> OpenHandles();

// Whether a named event exists (some handle to it is open) and its state.
bool EventExists(const std::string& name);
bool EventSignalled(const std::string& name);
// Event handles open in the machine, whoever holds them.
int OpenEventHandles();
// Whether a bootstrapper thread has begun to wait on the handle of a thread.
bool ThreadAwaited();

// ---- the call log and injected faults (calls.cpp) -------------------------------------

// Every platform call the system makes, one line each, such as
// "CreateFileA(C:\x\a.cab, 0x40000000, 0, 2, 0x80)". Calls made by fake child
// programs are not logged.
std::vector<std::string> Calls();
std::vector<std::string> CallsStartingWith(const std::string& prefix);
size_t CountCalls(const std::string& prefix);
size_t CallCount();  // all calls logged so far
void ClearCalls();

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

// ---- environment, versions, languages, shell folders (environment.cpp) -----------

void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);
void SetCommandLine(const std::string& commandLine);
void SetWindowsVersion(DWORD major, DWORD minor, DWORD platform = VER_PLATFORM_WIN32_NT);
// Sets TMP and TEMP, which name the temp folder (the user's own, also in an
// elevated process).
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

// A known folder (by identifier) resolves to the path, or fails (nullopt).
void SetKnownFolder(const GUID& id, std::optional<std::u16string> path);
// Folder 26 (application data) and 43 (common program files); nullopt fails.
// SHGetFolderPathA gives a folder that does not exist with S_FALSE (1).
void SetShellFolder(int csidl, std::optional<std::string> path);
const GUID& LocalAppDataLowId();
const GUID& LocalAppDataId();

// ---- texts and memory (texts.cpp) --------------------------------------------------

int LiveLocalAllocations();

// ---- libraries and resources (modules.cpp) ---------------------------------------

void SetSystemDirectory(const std::string& path);  // also moves the libraries
std::string SystemDirectory();

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
std::vector<DWORD> DefaultDllDirectories();  // every SetDefaultDllDirectories argument

void AddResource(const std::string& type, WORD id, const std::string& bytes, LANGID lang = 1033);
void AddString(UINT id, LANGID lang, const std::string& ansiText);

// ---- the file system (paths.cpp, sharing.cpp, files.cpp, folders.cpp) -----------

bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);  // creates parents
void MakeDirectories(const std::string& path);
void SetReadOnly(const std::string& path, bool readOnly);
// Entry names of a folder, sorted; empty when it does not exist.
std::vector<std::string> ListDirectory(const std::string& path);
int OpenFileHandles();

// ---- volumes and the random generator (volumes.cpp); WOW64 (paths.cpp): volumes.h ----------

// ---- security (security.cpp): security.h ----------

// ---- the user's other process, and the test's hooks: other_process.h --------------

// ---- the registry (registry.cpp) ---------------------------------------------------

struct RegValue {
  DWORD type;
  std::string bytes;  // raw bytes as stored, terminators included only when stored
};

// Paths are below HKEY_LOCAL_MACHINE, e.g. "SOFTWARE\\Morvanta".
void MakeRegistryKey(const std::string& path);
void RegSet(const std::string& path, const std::string& name, DWORD type, const std::string& bytes);
void RegSetString(const std::string& path, const std::string& name, const std::string& text);  // REG_SZ with terminator
std::optional<RegValue> RegGet(const std::string& path, const std::string& name);
bool RegKeyExists(const std::string& path);
void RemoveRegistryTree(const std::string& path);
// Opening the key with any access that includes writing is refused with 5.
void RegDenyWrite(const std::string& path);
int OpenRegistryHandles();

// ---- child processes (children.cpp) -------------------------------------------------

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

// ---- message boxes and the message queue (ui.cpp) -----------------------------------

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

}  // namespace sim
