// Internal state of the simulated machine, shared by its source files.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/machine.h"

namespace sim::detail {

// Thrown on the bootstrapper's threads once the simulated process has ended
// (ExitProcess, or the entry routine returned): it unwinds the thread as the
// end of a process stops it. Nothing in the system catches it.
struct ProcessEnded {};

enum class Role { Bootstrapper, Child };

// Per host thread: whose code is running here.
struct ThreadInfo {
  Role role = Role::Bootstrapper;
  bool mainThread = true;
  DWORD lastError = 0;
  int number = 0;  // the bootstrapper's threads: 0 the main thread, then 1, 2, ... as started
};
ThreadInfo& Self();

enum class Kind { File, Event, Thread, Process, Search, Token };

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  Kind kind;
};

struct EventObject : Object {
  EventObject() : Object(Kind::Event) {}
  std::string name;
  std::string owner = "O:BA";  // as SDDL; the token's default owner when made
  std::string dacl;            // as given when made ("" : the default)
  bool deniesRun = false;      // made by another account, whose list leaves the run out
  bool manualReset = true;
  bool signalled = false;
  int handles = 0;
};

struct FileObject : Object {
  FileObject() : Object(Kind::File) {}
  std::string key;       // canonical lower-case Windows path
  std::string hostPath;
  int fd = -1;
  DWORD access = 0;
  DWORD share = 0;
  uint64_t position = 0;
  bool heldByTest = false;
  bool directory = false;  // a folder, or a link itself, opened without file data
  DWORD attributes = 0;    // a folder's attributes as opened (reparse point when the link itself)
  uint64_t index = 0;      // the file index: the object the handle was opened on
  // A folder's listing by NtQueryDirectoryFile: taken at its first call (or
  // a restart), and the next entry to hand out.
  std::vector<std::string> listing;
  bool listed = false;
  size_t next = 0;
  // The folder became a mount point since the handle was opened: it has no
  // entries and takes none (STATUS_DIRECTORY_IS_A_REPARSE_POINT).
  bool mounted = false;
};

struct TaskObject : Object {  // a thread or a child process
  explicit TaskObject(Kind k) : Object(k) {}
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
};

struct SearchObject : Object {
  SearchObject() : Object(Kind::Search) {}
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
};

struct RegKeyNode {
  std::string name;
  std::map<std::string, std::shared_ptr<RegKeyNode>> subkeys;  // by lower-case name
  std::vector<std::pair<std::string, RegValue>> values;          // insertion order
  bool deleted = false;
  bool denyWrite = false;
};

struct RegHandle {
  std::shared_ptr<RegKeyNode> node;
  REGSAM access;
  int opener;  // as State::openers
};

struct Fault {
  std::string op;
  int remaining;  // matching calls until it fires
  DWORD error;
  std::string match;
};

struct Library {
  std::string fileName;  // lower case
  std::map<std::string, FARPROC> exports;
};

struct LoadedModule {
  std::string path;
  std::string fileName;  // lower case
  bool systemLibrary;
  int references = 0;
  bool resident = false;  // loaded with the process (ntdll, kernel32): valid without a load's reference
};

struct Resource {
  std::string type;
  WORD id;
  LANGID lang;
  std::string bytes;
};

// A Windows path as the file system resolved it (paths.cpp).
struct Path {
  std::string key;       // canonical: "c:\\users\\x"
  std::string display;   // as resolved, "C:\\Users\\x"
  std::string hostPath;  // where it lives on the host
  std::vector<std::string> parts;  // components below the drive
  char drive = 'c';
};

// The whole machine, in sections named after the file that keeps each.
struct State {
  std::recursive_mutex mu;
  std::condition_variable_any changed;

  // process.cpp: the process, its threads and handles, named events
  bool ended = false;
  bool exitProcessCalled = false;
  int exitCode = 0;
  bool shuttingDown = false;  // children: the test is over
  std::vector<std::thread> threads;
  int nextThreadNumber = 1;
  std::set<int> cutShort;  // bootstrapper threads that the end of the process stopped
  std::map<uintptr_t, std::shared_ptr<Object>> handles;
  // Who opened each handle (one object may have several, such as a named
  // event): the bootstrapper thread's number, -1 a child program's.
  std::map<uintptr_t, int> openers;
  uintptr_t nextHandle = 0x100;
  std::map<std::string, std::shared_ptr<EventObject>> namedEvents;  // live events by name
  std::vector<std::shared_ptr<EventObject>> foreignEvents;  // held by another account's process
  bool threadAwaited = false;  // a wait on a started thread's handle has begun

  // calls.cpp: the call log and injected faults
  std::vector<std::string> calls;
  std::vector<Fault> faults;
  std::vector<std::pair<int, DWORD>> shortWrites;  // remaining count, bytes
  uint64_t diskSpace = UINT64_MAX;

  // environment.cpp: variables, versions, languages, folders, the clock
  std::map<std::string, std::pair<std::string, std::string>> env;  // lower name -> (name, value)
  std::string commandLine = "qmb-setup.exe";
  std::vector<char> commandLineBuffer;
  DWORD major = 6, minor = 1, build = 7601, platform = VER_PLATFORM_WIN32_NT;
  std::string systemDirectory = "C:\\Windows\\system32";
  std::string windowsDirectory = "C:\\Windows";
  std::string currentDirectory = "C:\\Users\\tester\\Downloads";
  UINT codePage = 1252;  // the ANSI code page
  LANGID userLang = 1033;
  LANGID uiLang = 1033;
  bool msiHasVersion = true;
  DWORD msiMs = 0x00040005, msiLs = 0x17714F04;  // 4.5.6001.22308
  bool clockPinned = false;
  time_t clock = 0;
  std::vector<std::pair<GUID, std::optional<std::u16string>>> knownFolders;
  std::map<int, std::optional<std::string>> shellFolders;

  // texts.cpp: local allocations
  std::set<void*> localAllocations;

  // modules.cpp: libraries, the directories they are searched in, resources
  std::map<std::string, Library> libraries;  // by lower-case file name
  std::map<uintptr_t, LoadedModule> modules;
  uintptr_t nextModule = 0x10000000;
  std::vector<LibraryLoad> loads;
  std::map<int, int> libraryReferences;  // loads not yet freed, by the thread that made them
  std::vector<std::string> dllDirectories;
  std::vector<DWORD> defaultDllDirectories;
  std::list<Resource> resources;
  std::map<std::pair<UINT, LANGID>, std::string> strings;

  // paths.cpp, files.cpp, folders.cpp, sharing.cpp: the file system
  std::string hostRoot;
  std::map<std::string, DWORD> attributes;  // canonical key -> extra attributes
  // Names marked for deletion that stay until their last handle is closed.
  std::set<std::string> pending;
  // Object-manager redirections: a canonical key and the path it leads to.
  std::vector<std::pair<std::string, std::string>> redirects;
  // A 32-bit process on 64-bit Windows: the system directory is redirected
  // to SysWOW64.
  bool wow64 = false;
  // Links are opened through to their target even when the link itself is
  // asked for, and a handle never shows a link (as Wine does).
  bool linksOpenThrough = false;
  // Folder objects that became mount points, kept outside every drive for
  // the handles held on them before.
  int mountedFolders = 0;

  // volumes.cpp: drives that lead to a share ("s" -> "\\server\share"),
  // folders on a volume that keeps no security (FAT, exFAT), by canonical
  // key, and the random bytes SystemFunction036 hands out next (then a
  // counter's)
  std::map<char, std::string> networkDrives;
  std::vector<std::string> unsecuredFolders;
  std::deque<uint8_t> randomBytes;
  uint64_t randomCounter = 0x5eed;

  // security.cpp: the security descriptors given to folders (canonical key
  // -> the parts, as SDDL), whether labels are refused, the token, servers
  struct Security {
    std::string owner, dacl, label;
  };
  std::map<std::string, Security> security;
  // Owners that Windows gives a folder made with default security, by
  // canonical key: an elevated administrator's folders belong to the
  // Administrators (not listed: the user's).
  std::map<std::string, std::string> owners;
  bool refuseLabels = false;
  // The process token: an elevated administrator's, or a limited user's;
  // an administrator's filtered one (UAC without elevation) holds the
  // Administrators as a deny-only group.
  bool administrator = true;
  bool filteredAdministrator = false;
  // Folders (canonical keys) whose subtree lives on a file server.
  std::vector<std::string> serverFolders;

  // other_process.cpp: what the test does when a platform call is reached
  struct Hook {
    std::string op, match;
    std::function<void()> action;
  };
  std::vector<Hook> hooks;
  std::vector<Hook> doneHooks;  // run once the call has taken effect (OnCallDone)
  struct Hold {
    std::string op, match;
    std::function<bool()> release;
  };
  std::vector<Hold> holds;
  int heldThreads = 0;

  // registry.cpp
  std::shared_ptr<RegKeyNode> hklm;
  std::map<uintptr_t, RegHandle> regHandles;
  uintptr_t nextRegHandle = 0x2000;

  // children.cpp
  std::map<std::string, Program> programs;  // canonical key -> program
  std::vector<ProcessRecord> processes;

  // ui.cpp
  std::vector<MessageBoxRecord> messageBoxes;
  std::map<uintptr_t, bool> windows;  // window -> unicode
  uintptr_t nextWindow = 0x5000;
  std::deque<MSG> queue;
  std::vector<DispatchRecord> dispatches;
};

// ---- process.cpp: the machine's life, threads, handles ------------------------------------------

// The machine's state (built on first use). Never ends the calling thread.
State& Machine();

// Locks the machine, for the test-facing API and for the machine's own
// bookkeeping. Never ends the calling thread.
std::unique_lock<std::recursive_mutex> LockMachine();
// Locks the machine for a platform call made by the system, or ends the
// calling thread instead (throws ProcessEnded) when it is a bootstrapper
// thread of a process that has ended. Call makes it; nothing else should.
std::unique_lock<std::recursive_mutex> EnterOrEndThread();
// For the calls that let go of what a thread holds (closing a handle or a
// registry key), which destructors make: on a bootstrapper thread of an
// ended process they do not throw. True there: the caller does nothing and
// reports success, and the thread counts as stopped by the end (which
// releases what it held). Call with the machine locked.
bool ReleasedByTheEnd();
// Blocks until pred() holds or the deadline passes (milliseconds, INFINITE
// for none), letting go of the machine meanwhile. Returns false on
// time-out. Ends the calling thread (throws ProcessEnded) when the process
// ends meanwhile on a bootstrapper thread.
template <class Pred>
bool WaitOrEndThread(std::unique_lock<std::recursive_mutex>& lock, DWORD ms, Pred pred);

// The calling thread's last error.
void SetError(DWORD code);

// Handles. AddHandle records the calling thread as the opener.
HANDLE AddHandle(std::shared_ptr<Object> object);
int Opener();  // the calling thread's number, -1 on a child program's thread
std::shared_ptr<Object> GetHandle(HANDLE h);
// The object behind a handle when it is of that kind; null otherwise, with
// ERROR_INVALID_HANDLE set.
template <class T>
std::shared_ptr<T> HandleOf(HANDLE h, Kind kind) {
  std::shared_ptr<Object> obj = GetHandle(h);
  if (obj == nullptr || obj->kind != kind) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(obj);
}
// Whether waiting on the object is over: an event set, a thread or a
// process ended.
bool IsSignalled(Object* obj);

// ---- environment.cpp, texts.cpp, modules.cpp ----------------------------------------------------------

void InitEnvironment();
void InitLibraries();
std::string Lower(std::string s);
// A local allocation holding `text` and its terminator, as the platform
// hands texts out (freed with LocalFree).
char* LocalText(const std::string& text);
// The system directory as a resolved path.
Path SystemDirectoryPath();

// Implementations reachable only through GetProcAddress: exports.h.

// ---- paths.cpp: names and paths ---------------------------------------------------------------------

void InitFileSystem();
// Resolves a Windows path. Fails with 206 for a path of MAX_PATH characters
// or more (limit: the longest length accepted), 123 for invalid characters
// (wildcards allowed in the last component when `wildcards`), 3 for a form
// the machine does not support.
bool ResolvePath(const std::string& path, Path* out, DWORD* error, size_t limit = MAX_PATH - 1,
                 bool wildcards = false);
// A path the test names, which must resolve (no length limit).
Path Must(const std::string& path);
// The path a platform call names, as the call finds it: ResolvePath's
// errors (206, 123, 3), and 5 for a name pending deletion
// (RefusedAsPendingDeletion). False with the error set.
bool ResolveCallPath(LPCSTR path, Path* p, size_t limit = MAX_PATH - 1);
// The error for a name that is not there: 2 when its folder is, else 3.
DWORD NotFoundError(const Path& p);
// The entries of a host folder, sorted, without "." and "..".
std::vector<std::string> HostEntries(const std::string& hostDir);
Path ParentOf(const Path& p);
bool ParentIsFolder(const Path& p);
bool HostExists(const std::string& hostPath, bool* isDir);
// Whether the last component of a host path is a link (a symbolic link
// stands for a junction or a Windows symbolic link).
bool HostIsLink(const std::string& hostPath);
// The entry of a host folder whose name matches without regard to case
// ("" when none does).
std::string FindEntry(const std::string& hostDir, const std::string& name);
// The file index of the host object (of the link itself when `linkItself`).
uint64_t IndexOf(const std::string& hostPath, bool linkItself);
// The canonical key of a host path (links on the way followed), or "".
std::string CanonicalKey(const std::string& hostPath);

// ---- sharing.cpp: what keeps a name from being opened, deleted or renamed ----------------------------

// The file handles open on `key`.
std::vector<FileObject*> OpenFiles(const std::string& key);
// Whether a handle with this access takes part in sharing checks.
bool TakesPartInSharing(DWORD access);
// Whether a new open with this access and share mode conflicts with a
// handle open on `key` (then ERROR_SHARING_VIOLATION).
bool FileOpenConflicts(const std::string& key, DWORD access, DWORD share);
// Whether a handle open on `key` does not share deletion, so that the name
// can be neither deleted, removed nor renamed (then ERROR_SHARING_VIOLATION).
bool HeldAgainstDeletion(const std::string& key);
// Whether anything is open below a folder, which then cannot be renamed
// (then ERROR_ACCESS_DENIED).
bool OpenBelow(const std::string& folderKey);
// ERROR_ACCESS_DENIED when `key` or a folder above it is marked for
// deletion; 0 otherwise.
DWORD RefusedAsPendingDeletion(const std::string& key);
// Marks a name deleted or removed while handles to it are open.
void MarkForDeletion(const std::string& key);
// What becomes of a name marked for deletion once its last handle is closed.
void HandleClosed(const std::string& key);
// The attributes set on a name beyond what it is (read-only).
DWORD Attributes(const std::string& key);
// Whether the name is read-only, so that it can be neither written,
// deleted nor removed (then ERROR_ACCESS_DENIED).
bool ReadOnlyRefusesChange(const std::string& key);

// ---- files.cpp, folders.cpp ----------------------------------------------------------------------------

// A file handle's object for `p`, opened with that access and share mode.
std::shared_ptr<FileObject> NewFileObject(const Path& p, DWORD access, DWORD share);
// Opens (and makes) the host file behind `p` as a handle of the system's,
// or of the test's (`heldByTest`). INVALID_HANDLE_VALUE with the error set
// when the host refuses.
HANDLE OpenFileObject(const Path& p, DWORD access, DWORD share, bool truncate, bool heldByTest,
                      bool createNew = false);
// Renames an entry for the process token (`user` false) or for the user's
// other process (`user` true: its rights are checked by the caller).
// Returns 0 or the Windows error.
DWORD RenameEntry(const Path& from, const Path& to, bool user);
// Moves the object that the handle `f` is open on to `to`, as a rename by
// that handle: refused when another handle of it does not share deletion
// (32), anything below it is open (5), the run may not change either folder
// (5) or `to` is taken (183). Every handle below follows it.
DWORD MoveOpenEntry(FileObject& f, const Path& to);
// After an entry moved on the host from `from` (a canonical key): the
// handles on it and below it, and the machine's records of them, follow.
void MoveRecords(const std::string& from, const Path& t);

// ---- security.cpp -----------------------------------------------------------------------------------

// Whether the user (no administrator rights) may change the entries of a
// folder: not when the run gave it a protected access list that lets only
// SYSTEM and the Administrators write.
bool UserMayChange(const std::string& key);
// Whether the user's other process may open a folder to change its
// security (its owner may, whatever the access list says).
bool UserMayChangeSecurity(const std::string& key);
// Whether the process token may change the entries of a folder: an
// administrator's always (every access list here lets them), a limited
// user's where the folder's access list lets the user write.
bool RunMayChange(const std::string& folderKey);
// The error a descriptor for `key` is refused with (0: taken): a label where
// labels are refused (5), an owner the token may not set (1307).
DWORD DescriptorRefused(const std::string& key, const char* sddl, DWORD info);
// Records the parts of an SDDL descriptor that `info` names for `key`.
void ApplyDescriptor(const std::string& key, const char* sddl, DWORD info);
// Records what a name made by the system gets: the descriptor's parts when
// one was given, else the default owner of the token (the Administrators for
// an elevated administrator).
void MadeBy(const std::string& key, const char* sddl, DWORD info);
// The token's user, as a string SID.
std::string TokenUserSid();
// Whether a folder (canonical key) lies on a file server, or on a volume
// that keeps no security.
bool OnServer(const std::string& key);
bool OnUnsecuredVolume(const std::string& key);

// ---- other_process.cpp: the user's other process and the test's hooks ------------------------------

// Runs the test's action (OnCall) or holds the thread (HoldCall) at a call
// of `op` about `subject`, when one is set for it.
void RunHooksAt(const char* op, const std::string& subject);
// Runs the test's action at a call of `op` about `subject` that has taken
// effect (OnCallDone), when one is set for it.
void Done(const char* op, const std::string& subject);

// ---- registry.cpp ---------------------------------------------------------------------------------

void InitRegistry();

template <class Pred>
bool WaitOrEndThread(std::unique_lock<std::recursive_mutex>& lock, DWORD ms, Pred pred) {
  State& s = Machine();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
  for (;;) {
    if (pred()) return true;
    if (Self().role == Role::Bootstrapper && s.ended) throw ProcessEnded{};
    if (Self().role == Role::Child && s.shuttingDown) return false;
    if (ms == INFINITE) {
      s.changed.wait(lock);
    } else if (s.changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      return pred();
    }
  }
}

}  // namespace sim::detail
