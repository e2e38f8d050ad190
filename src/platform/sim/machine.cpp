// The simulated machine: process life, handles, call log, faults,
// environment and versions, events, threads and child processes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include <exception>

#include "platform/sim/state.h"

namespace sim {
namespace detail {

ThreadInfo& Self() {
  static thread_local ThreadInfo info;
  return info;
}

static State* g_state = nullptr;

State& Machine() {
  if (g_state == nullptr) {
    g_state = new State();
    InitFileSystem();
    InitLibraries();
    InitRegistry();
  }
  return *g_state;
}

std::unique_lock<std::recursive_mutex> EnterOrEndThread() {
  State& s = Machine();
  std::unique_lock<std::recursive_mutex> lock(s.mu);
  // A thread being unwound by the end of the process (its destructors
  // releasing what it held) finishes those calls; it is ending already.
  if (Self().role == Role::Bootstrapper && s.ended && std::uncaught_exceptions() == 0) throw ProcessEnded{};
  return lock;
}

std::unique_lock<std::recursive_mutex> LockMachine() { return std::unique_lock<std::recursive_mutex>(Machine().mu); }

bool ReleasedByTheEnd() {
  State& s = Machine();
  if (Self().role != Role::Bootstrapper || !s.ended) return false;
  // A real thread would not have got here: ExitProcess ends every thread
  // of the process and the end closes its handles (Microsoft's ExitProcess
  // reference, "Terminating a Process").
  s.cutShort.insert(Self().number);
  return true;
}

void Log(const std::string& line) {
  if (Self().role != Role::Bootstrapper) return;
  Machine().calls.push_back(line);
}

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string Str(const char* s) { return s == nullptr ? std::string("(null)") : std::string(s); }

void SetError(DWORD code) { Self().lastError = code; }

bool AskForFault(const char* op, const std::string& argument) {
  if (Self().role != Role::Bootstrapper) return false;
  State& s = Machine();
  for (auto it = s.hooks.begin(); it != s.hooks.end(); ++it) {
    if (it->op != op || (!it->match.empty() && argument.find(it->match) == std::string::npos)) continue;
    std::function<void()> action = std::move(it->action);
    s.hooks.erase(it);
    DWORD error = Self().lastError;
    action();
    Self().lastError = error;
    break;
  }
  for (auto it = s.holds.begin(); it != s.holds.end(); ++it) {
    if (it->op != op || (!it->match.empty() && argument.find(it->match) == std::string::npos)) continue;
    std::function<bool()> release = std::move(it->release);
    s.holds.erase(it);
    // The call holds the machine's lock once; the wait lets go of it, so
    // that the other threads go on meanwhile.
    ++s.heldThreads;
    s.changed.notify_all();
    std::unique_lock<std::recursive_mutex> held(s.mu, std::adopt_lock);
    s.changed.wait(held, [&] { return s.ended || release(); });
    held.release();
    --s.heldThreads;
    break;
  }
  for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
    if (it->op != op) continue;
    if (!it->match.empty() && argument.find(it->match) == std::string::npos) continue;
    if (--it->remaining > 0) continue;
    DWORD error = it->error;
    s.faults.erase(it);
    SetError(error);
    return true;
  }
  return false;
}

int Opener() { return Self().role == Role::Child ? -1 : Self().number; }

HANDLE AddHandle(std::shared_ptr<Object> object) {
  State& s = Machine();
  uintptr_t h = s.nextHandle;
  s.nextHandle += 4;
  s.openers[h] = Opener();
  s.handles[h] = std::move(object);
  return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<Object> GetHandle(HANDLE h) {
  State& s = Machine();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == s.handles.end()) return nullptr;
  return it->second;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

static void JoinAll(State& s, std::unique_lock<std::recursive_mutex>& lock) {
  // Threads may still be blocked on the machine; let them see the end.
  for (;;) {
    std::vector<std::thread> threads;
    threads.swap(s.threads);
    if (threads.empty()) break;
    lock.unlock();
    for (auto& t : threads) t.join();
    lock.lock();
  }
}

static void EndProcess(State& s, int code, bool viaExitProcess) {
  if (s.ended) return;
  s.ended = true;
  s.exitCode = code;
  s.exitProcessCalled = viaExitProcess;
  s.changed.notify_all();
}

}  // namespace detail

using namespace detail;

void Reset() {
  if (g_state != nullptr) {
    State& s = *g_state;
    {
      std::unique_lock<std::recursive_mutex> lock(s.mu);
      EndProcess(s, 0, false);
      s.shuttingDown = true;
      s.changed.notify_all();
      JoinAll(s, lock);
      for (auto& [h, obj] : s.handles) {
        if (obj->kind == Kind::File) {
          auto* f = static_cast<FileObject*>(obj.get());
          if (f->fd >= 0) ::close(f->fd);
        }
      }
      for (void* p : s.localAllocations) std::free(p);
    }
    std::error_code ec;
    std::filesystem::remove_all(s.hostRoot, ec);
    delete g_state;
    g_state = nullptr;
  }
  Self() = ThreadInfo{};
  Machine();
  // The last machine's folder goes when the test program ends; each Reset
  // removes the one before.
  static const bool removedAtExit = std::atexit([] {
    if (g_state != nullptr) {
      std::error_code ec;
      std::filesystem::remove_all(g_state->hostRoot, ec);
    }
  }) == 0;
  (void)removedAtExit;
}

HINSTANCE Module() { return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x00400000)); }

RunResult RunProcess(const std::function<int()>& entry) {
  State& s = Machine();
  int code = 0;
  bool returned = false;
  try {
    code = entry();
    returned = true;
  } catch (const ProcessEnded&) {
  }
  std::unique_lock<std::recursive_mutex> lock(s.mu);
  if (returned) EndProcess(s, code, false);
  if (!returned) s.cutShort.insert(Self().number);
  // The bootstrapper's threads end with the process. A child still waiting
  // on something (an event the ended process would have set) sees its wait
  // time out, so the run is over when this returns.
  s.shuttingDown = true;
  s.changed.notify_all();
  JoinAll(s, lock);
  RunResult result;
  result.exitProcessCalled = s.exitProcessCalled;
  result.code = s.exitCode;
  return result;
}

std::vector<std::string> Calls() {
  auto lock = LockMachine();
  return Machine().calls;
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
  auto lock = LockMachine();
  std::vector<std::string> out;
  for (const auto& c : Machine().calls)
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  return out;
}

size_t CountCalls(const std::string& prefix) { return CallsStartingWith(prefix).size(); }

size_t CallCount() {
  auto lock = LockMachine();
  return Machine().calls.size();
}

void ClearCalls() {
  auto lock = LockMachine();
  Machine().calls.clear();
}

void FailCall(const std::string& op, int nth, DWORD error, const std::string& match) {
  auto lock = LockMachine();
  Machine().faults.push_back({op, nth, error, match});
}

size_t PendingFaults() {
  auto lock = LockMachine();
  return Machine().faults.size();
}

void ShortWrite(int nth, DWORD bytes) {
  auto lock = LockMachine();
  Machine().shortWrites.push_back({nth, bytes});
}

void SetDiskSpace(uint64_t bytes) {
  auto lock = LockMachine();
  Machine().diskSpace = bytes;
}

void SetEnv(const std::string& name, const std::string& value) {
  auto lock = LockMachine();
  Machine().env[Lower(name)] = {name, value};
}

void UnsetEnv(const std::string& name) {
  auto lock = LockMachine();
  Machine().env.erase(Lower(name));
}

void SetCommandLine(const std::string& commandLine) {
  auto lock = LockMachine();
  Machine().commandLine = commandLine;
}

void SetWindowsVersion(DWORD major, DWORD minor, DWORD platform) {
  auto lock = LockMachine();
  Machine().major = major;
  Machine().minor = minor;
  Machine().platform = platform;
}

void SetTempPath(const std::string& path) {
  auto lock = LockMachine();
  Machine().tempPath = path;
}

void SetCodePage(UINT codePage) {
  auto lock = LockMachine();
  Machine().codePage = codePage;
}

void SetUserLangId(LANGID lang) {
  auto lock = LockMachine();
  Machine().userLang = lang;
}

void SetUiLanguage(LANGID lang) {
  auto lock = LockMachine();
  Machine().uiLang = lang;
}

void SetMsiVersion(DWORD ms, DWORD ls) {
  auto lock = LockMachine();
  Machine().msiHasVersion = true;
  Machine().msiMs = ms;
  Machine().msiLs = ls;
}

void RemoveMsiVersionInfo() {
  auto lock = LockMachine();
  Machine().msiHasVersion = false;
}

void SetClock(time_t t) {
  auto lock = LockMachine();
  Machine().clockPinned = true;
  Machine().clock = t;
}

void HoldCall(const std::string& op, const std::string& match, std::function<bool()> release) {
  auto lock = LockMachine();
  Machine().holds.push_back({op, match, std::move(release)});
}

int HeldThreads() {
  auto lock = LockMachine();
  return Machine().heldThreads;
}

bool ThreadAwaited() {
  auto lock = LockMachine();
  return Machine().threadAwaited;
}

bool EventExists(const std::string& name) {
  auto lock = LockMachine();
  return Machine().namedEvents.count(name) != 0;
}

bool EventSignalled(const std::string& name) {
  auto lock = LockMachine();
  auto it = Machine().namedEvents.find(name);
  return it != Machine().namedEvents.end() && it->second->signalled;
}

std::map<std::string, int> OpenHandles() {
  auto lock = LockMachine();
  State& s = Machine();
  auto counts = [&s](int opener) { return opener >= 0 && s.cutShort.count(opener) == 0; };
  std::map<std::string, int> open;
  for (auto& [h, obj] : s.handles) {
    if (!counts(s.openers[h])) continue;
    if (obj->kind == Kind::File && static_cast<FileObject*>(obj.get())->heldByTest) continue;
    switch (obj->kind) {
      case Kind::File: ++open["file"]; break;
      case Kind::Event: ++open["event"]; break;
      case Kind::Thread: ++open["thread"]; break;
      case Kind::Process: ++open["process"]; break;
      case Kind::Search: ++open["search"]; break;
      default: ++open["other"]; break;
    }
  }
  for (auto& [h, key] : s.regHandles)
    if (counts(key.opener)) ++open["registry key"];
  for (auto& [thread, references] : s.libraryReferences)
    if (counts(thread) && references != 0) open["library"] += references;
  return open;
}

int OpenEventHandles() {
  auto lock = LockMachine();
  int n = 0;
  for (auto& [h, obj] : Machine().handles)
    if (obj->kind == Kind::Event) ++n;
  return n;
}

void RegisterProgram(const std::string& path, Program program) {
  Path p;
  DWORD error = 0;
  if (!ResolvePath(path, &p, &error)) std::abort();
  WriteFileBytes(path, "MZ simulated program");
  auto lock = LockMachine();
  Machine().programs[p.key] = std::move(program);
}

std::vector<ProcessRecord> Processes() {
  auto lock = LockMachine();
  return Machine().processes;
}

std::vector<MessageBoxRecord> MessageBoxes() {
  auto lock = LockMachine();
  return Machine().messageBoxes;
}

int LiveLocalAllocations() {
  auto lock = LockMachine();
  return static_cast<int>(Machine().localAllocations.size());
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

// ---- kernel32: errors, process, environment, versions ----------------------------

DWORD WINAPI GetLastError() { return Self().lastError; }

void WINAPI SetLastError(DWORD code) { Self().lastError = code; }

void WINAPI ExitProcess(UINT code) {
  {
    Call c("ExitProcess", static_cast<int>(code));
    State& s = Machine();
    if (!s.ended) {
      s.ended = true;
      s.exitCode = static_cast<int>(code);
      s.exitProcessCalled = true;
      s.changed.notify_all();
    }
  }
  throw ProcessEnded{};
}

DWORD WINAPI GetCurrentProcessId() {
  Call c("GetCurrentProcessId");
  return 0x1234;
}

LPSTR WINAPI GetCommandLineA() {
  Call c("GetCommandLineA");
  State& s = Machine();
  s.commandLineBuffer.assign(s.commandLine.begin(), s.commandLine.end());
  s.commandLineBuffer.push_back('\0');
  return s.commandLineBuffer.data();
}

// The lead-byte ranges of the double-byte ANSI code pages (what GetCPInfo
// reports for them); every other code page is single-byte.
BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
  Call c("IsDBCSLeadByte", Hex(testChar));
  switch (Machine().codePage) {
    case 932:  // Japanese (Shift-JIS)
      return (testChar >= 0x81 && testChar <= 0x9F) || (testChar >= 0xE0 && testChar <= 0xFC);
    case 936:  // Simplified Chinese (GBK)
    case 949:  // Korean (Unified Hangul Code)
    case 950:  // Traditional Chinese (Big5)
      return testChar >= 0x81 && testChar <= 0xFE;
    default:
      return FALSE;
  }
}

LANGID WINAPI GetUserDefaultLangID() {
  Call c("GetUserDefaultLangID");
  return Machine().userLang;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  Call c("GetVersionExA", info->dwOSVersionInfoSize);
  if (c.faulted()) return FALSE;
  if (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  State& s = Machine();
  info->dwMajorVersion = s.major;
  info->dwMinorVersion = s.minor;
  info->dwBuildNumber = s.build;
  info->dwPlatformId = s.platform;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}

static UINT CopyOut(const std::string& value, LPSTR buffer, UINT size) {
  if (value.size() + 1 > size) return static_cast<UINT>(value.size() + 1);
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  return static_cast<UINT>(value.size());
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
  Call c("GetSystemDirectoryA", size);
  if (c.faulted()) return 0;
  return CopyOut(Machine().systemDirectory, buffer, size);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  Call c("GetWindowsDirectoryA", size);
  if (c.faulted()) return 0;
  return CopyOut(Machine().windowsDirectory, buffer, size);
}

DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
  Call c("GetTempPathA", size);
  if (c.faulted()) return 0;
  return CopyOut(Machine().tempPath, buffer, size);
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  Call c("GetEnvironmentVariableA", name, size);
  if (c.faulted(name)) return 0;
  State& s = Machine();
  auto it = s.env.find(Lower(name));
  if (it == s.env.end()) {
    SetError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const std::string& value = it->second.second;
  if (value.empty()) {
    if (size > 0) buffer[0] = '\0';
    SetError(ERROR_SUCCESS);
    return 0;
  }
  return CopyOut(value, buffer, size);
}

// ---- strings --------------------------------------------------------------------------

int WINAPI lstrlenA(LPCSTR text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }

// Byte order; for the texts the system compares (ASCII letters, digits and
// full stops) it is the order the platform's word sort gives. As the
// platform does (CompareStringA with -1 lengths), both texts are measured to
// their terminators before they are compared, so a text without one is read
// beyond its buffer here too, where the sanitizers see it.
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
  const char* x = a == nullptr ? "" : a;
  const char* y = b == nullptr ? "" : b;
  size_t lx = std::strlen(x), ly = std::strlen(y);
  int r = std::memcmp(x, y, lx < ly ? lx : ly);
  if (r == 0) r = lx < ly ? -1 : (lx > ly ? 1 : 0);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
  std::string x = Lower(a == nullptr ? "" : a), y = Lower(b == nullptr ? "" : b);
  int r = std::strcmp(x.c_str(), y.c_str());
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR out,
                               int outBytes, LPCSTR defaultChar, LPBOOL usedDefault) {
  Call c("WideCharToMultiByte", codePage, flags, wideCount, outBytes);
  if (c.faulted()) return 0;
  if (codePage != CP_ACP || flags != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string converted;
  size_t n = 0;
  if (wideCount == -1) {
    while (wide[n] != 0) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(wideCount);
  }
  bool used = false;
  for (size_t i = 0; i < n; ++i) {
    char16_t c = wide[i];
    // The ANSI code page of the machine is 1252; its upper half matches
    // Latin-1 outside 0x80-0x9F. Anything else becomes the replacement.
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      converted.push_back(static_cast<char>(c));
    } else {
      converted.push_back(defaultChar != nullptr ? defaultChar[0] : '?');
      used = true;
    }
  }
  if (usedDefault != nullptr) *usedDefault = used;
  if (outBytes == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(outBytes)) {
    std::memcpy(out, converted.data(), static_cast<size_t>(outBytes));
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}

// ---- memory and system messages ------------------------------------------------------------

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  Call c("LocalAlloc", Hex(flags), bytes);
  if (c.faulted()) return nullptr;
  void* p = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(bytes == 0 ? 1 : bytes, 1)
                                          : std::malloc(bytes == 0 ? 1 : bytes);
  Machine().localAllocations.insert(p);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  Call c("LocalFree");
  if (memory == nullptr) return nullptr;
  if (c.faulted()) return memory;
  if (Machine().localAllocations.erase(memory) == 0) {
    SetError(ERROR_INVALID_HANDLE);
    return memory;
  }
  std::free(memory);
  return nullptr;
}

static const char* SystemText(DWORD code) {
  switch (code) {
    case 2: return "The system cannot find the file specified.\r\n";
    case 3: return "The system cannot find the path specified.\r\n";
    case 5: return "Access is denied.\r\n";
    case 6: return "The handle is invalid.\r\n";
    case 29: return "The system cannot write to the specified device.\r\n";
    case 32: return "The process cannot access the file because it is being used by another process.\r\n";
    case 39: return "The disk is full.\r\n";
    case 87: return "The parameter is incorrect.\r\n";
    case 112: return "There is not enough space on the disk.\r\n";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.\r\n";
    case 206: return "The filename or extension is too long.\r\n";
    default: return nullptr;
  }
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                            DWORD size, void* arguments) {
  Call c("FormatMessageA", Hex(flags), messageId, Hex(languageId));
  (void)source;
  (void)size;
  (void)arguments;
  if (c.faulted()) return 0;
  const char* text = SystemText(messageId);
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0 ||
      text == nullptr) {
    SetError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  size_t n = std::strlen(text);
  char* p = static_cast<char*>(std::calloc(n + 1, 1));
  std::memcpy(p, text, n);
  Machine().localAllocations.insert(p);
  *reinterpret_cast<char**>(buffer) = p;
  return static_cast<DWORD>(n);
}

// ---- handles, events, threads, waits ----------------------------------------------------------

static void ReleaseObject(const std::shared_ptr<Object>& obj) {
  State& s = Machine();
  if (obj->kind == Kind::Event) {
    auto* e = static_cast<EventObject*>(obj.get());
    if (--e->handles == 0 && !e->name.empty()) s.namedEvents.erase(e->name);
  } else if (obj->kind == Kind::File) {
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->fd >= 0) ::close(f->fd);
    f->fd = -1;
    HandleClosed(f->key);
  }
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  Call c(Call::kReleases, "CloseHandle", handle);
  if (c.releasedByTheEnd()) return TRUE;
  State& s = Machine();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.handles.end()) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::string arg;
  if (it->second->kind == Kind::File) arg = static_cast<FileObject*>(it->second.get())->key;
  auto obj = it->second;
  s.handles.erase(it);
  ReleaseObject(obj);
  s.changed.notify_all();
  if (c.faulted(arg)) return FALSE;
  return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name) {
  Call c("CreateEventA", sa == nullptr ? "NULL" : "sa", manualReset, initialState, name);
  if (c.faulted(name)) return nullptr;
  State& s = Machine();
  if (name != nullptr) {
    auto it = s.namedEvents.find(name);
    if (it != s.namedEvents.end()) {
      // The existing object, under a new handle.
      ++it->second->handles;
      HANDLE h = AddHandle(it->second);
      SetError(ERROR_ALREADY_EXISTS);
      return h;
    }
  }
  auto e = std::make_shared<EventObject>();
  e->name = name == nullptr ? "" : name;
  e->manualReset = manualReset != FALSE;
  e->signalled = initialState != FALSE;
  e->handles = 1;
  if (name != nullptr) s.namedEvents[name] = e;
  SetError(ERROR_SUCCESS);
  return AddHandle(e);
}

BOOL WINAPI SetEvent(HANDLE event) {
  Call c("SetEvent", event);
  if (c.faulted()) return FALSE;
  auto obj = GetHandle(event);
  if (obj == nullptr || obj->kind != Kind::Event) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  static_cast<EventObject*>(obj.get())->signalled = true;
  Machine().changed.notify_all();
  return TRUE;
}

static bool IsSignalled(Object* obj) {
  switch (obj->kind) {
    case Kind::Event:
      return static_cast<EventObject*>(obj)->signalled;
    case Kind::Thread:
    case Kind::Process:
      return static_cast<TaskObject*>(obj)->done;
    default:
      return false;
  }
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Call c("WaitForSingleObject", handle, Hex(milliseconds));
  if (c.faulted()) return WAIT_FAILED;
  auto obj = GetHandle(handle);
  if (obj == nullptr || obj->kind == Kind::File || obj->kind == Kind::Search) {
    SetError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (obj->kind == Kind::Thread && Self().role == Role::Bootstrapper) {
    Machine().threadAwaited = true;
    Machine().changed.notify_all();
  }
  bool ok = c.waitOrEndThread(milliseconds, [&] { return IsSignalled(obj.get()); });
  if (!ok) return WAIT_TIMEOUT;
  if (obj->kind == Kind::Event && !static_cast<EventObject*>(obj.get())->manualReset)
    static_cast<EventObject*>(obj.get())->signalled = false;
  return WAIT_OBJECT_0;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID argument, DWORD flags, LPDWORD threadId) {
  Call c("CreateThread", sa == nullptr ? "NULL" : "sa", stackSize, argument, Hex(flags));
  if (c.faulted()) return nullptr;
  State& s = Machine();
  auto task = std::make_shared<TaskObject>(Kind::Thread);
  HANDLE h = AddHandle(task);
  if (threadId != nullptr) *threadId = static_cast<DWORD>(reinterpret_cast<uintptr_t>(h));
  int number = s.nextThreadNumber++;
  s.threads.emplace_back([task, routine, argument, number] {
    Self().role = Role::Bootstrapper;
    Self().mainThread = false;
    Self().number = number;
    DWORD code = 0;
    bool finished = false;
    try {
      code = routine(argument);
      finished = true;
    } catch (const ProcessEnded&) {
    }
    auto l = LockMachine();
    if (!finished) Machine().cutShort.insert(number);
    task->done = true;
    task->exitCode = finished ? code : static_cast<DWORD>(Machine().exitCode);
    Machine().changed.notify_all();
  });
  return h;
}

// ---- child processes -------------------------------------------------------------------------

namespace {

bool IsFile(const std::string& path, std::string* key) {
  Path p;
  DWORD error;
  if (!ResolvePath(path, &p, &error)) return false;
  bool dir = false;
  if (!HostExists(p.hostPath, &dir) || dir) return false;
  *key = p.key;
  return true;
}

// Adds ".exe" when the last component has no extension.
std::string WithExe(const std::string& name) {
  size_t slash = name.find_last_of("\\/");
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ".exe";
  return name;
}

// Finds the file a program name denotes, searching as process creation does
// for a name without a folder.
bool FindImage(const std::string& name, std::string* key) {
  std::string candidate = WithExe(name);
  if (candidate.find_first_of("\\/") != std::string::npos) return IsFile(candidate, key);
  State& s = Machine();
  for (const std::string& dir : {s.currentDirectory, s.systemDirectory, s.windowsDirectory}) {
    if (IsFile(dir + "\\" + candidate, key)) return true;
  }
  return false;
}

}  // namespace

BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSa,
                           LPSECURITY_ATTRIBUTES threadSa, BOOL inheritHandles, DWORD flags, LPVOID environment,
                           LPCSTR currentDirectory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
  Call c("CreateProcessA", application, commandLine, processSa == nullptr ? "NULL" : "sa",
         threadSa == nullptr ? "NULL" : "sa", inheritHandles, Hex(flags), environment == nullptr ? "NULL" : "env",
         currentDirectory, "cb=" + std::to_string(startup == nullptr ? 0 : startup->cb));
  if (c.faulted(commandLine)) return FALSE;
  if (startup == nullptr || info == nullptr || (application == nullptr && commandLine == nullptr)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  State& s = Machine();
  std::string key;
  bool found = false;
  if (application != nullptr) {
    // The application name is taken as it is: no search, no extension added.
    found = IsFile(application, &key);
  } else {
    std::string line = commandLine;
    if (!line.empty() && line[0] == '"') {
      size_t close = line.find('"', 1);
      found = FindImage(line.substr(1, close == std::string::npos ? std::string::npos : close - 1), &key);
    } else {
      // An unquoted program path with blanks: every blank-separated beginning
      // of the line is tried in turn, the shortest first.
      size_t pos = 0;
      for (;;) {
        size_t blank = line.find_first_of(" \t", pos);
        std::string candidate = line.substr(0, blank);
        if (!candidate.empty() && FindImage(candidate, &key)) {
          found = true;
          break;
        }
        if (blank == std::string::npos) break;
        pos = blank + 1;
      }
    }
  }
  if (!found) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  auto program = s.programs.find(key);
  if (program == s.programs.end()) {
    SetError(ERROR_BAD_EXE_FORMAT);
    return FALSE;
  }
  ProcessRecord record;
  record.application = application == nullptr ? "" : application;
  record.commandLine = commandLine == nullptr ? "" : commandLine;
  record.image = key;
  record.exitCode = STILL_ACTIVE;
  size_t index = s.processes.size();
  s.processes.push_back(record);

  auto task = std::make_shared<TaskObject>(Kind::Process);
  auto thread = std::make_shared<TaskObject>(Kind::Thread);
  std::memset(info, 0, sizeof *info);
  info->hProcess = AddHandle(task);
  info->hThread = AddHandle(thread);
  info->dwProcessId = static_cast<DWORD>(index + 100);
  info->dwThreadId = static_cast<DWORD>(index + 200);
  Program run = program->second;
  std::string childLine = record.commandLine;
  s.threads.emplace_back([task, thread, run, childLine, index] {
    Self().role = Role::Child;
    Self().mainThread = false;
    DWORD code = run(childLine);
    auto l = LockMachine();
    task->done = thread->done = true;
    task->exitCode = thread->exitCode = code;
    Machine().processes[index].exitCode = code;
    Machine().changed.notify_all();
  });
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code) {
  Call c("GetExitCodeProcess", process);
  if (c.faulted()) return FALSE;
  auto obj = GetHandle(process);
  if (obj == nullptr || obj->kind != Kind::Process) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *code = static_cast<TaskObject*>(obj.get())->exitCode;
  return TRUE;
}

// ---- the C library clock -----------------------------------------------------------------------

extern "C" time_t time(time_t* out) {
  time_t now;
  {
    State& s = Machine();
    std::lock_guard<std::recursive_mutex> lock(s.mu);
    if (s.clockPinned) {
      now = s.clock;
    } else {
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      now = ts.tv_sec;
    }
  }
  if (out != nullptr) *out = now;
  return now;
}
