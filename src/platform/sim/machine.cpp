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

State& S() {
  if (g_state == nullptr) {
    g_state = new State();
    InitFileSystem();
    InitLibraries();
    InitRegistry();
  }
  return *g_state;
}

std::unique_lock<std::recursive_mutex> Enter() {
  State& s = S();
  std::unique_lock<std::recursive_mutex> lock(s.mu);
  // A thread being unwound by the end of the process (its destructors
  // releasing what it held) finishes those calls; it is ending already.
  if (Self().role == Role::Bootstrapper && s.ended && std::uncaught_exceptions() == 0) throw ProcessEnded{};
  return lock;
}

std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock<std::recursive_mutex>(S().mu); }

bool ReleasedByTheEnd() {
  State& s = S();
  if (Self().role != Role::Bootstrapper || !s.ended) return false;
  // A real thread would not have got here: ExitProcess ends every thread
  // of the process and the end closes its handles (Microsoft's ExitProcess
  // reference, "Terminating a Process").
  s.cutShort.insert(Self().number);
  return true;
}

void Log(const std::string& line) {
  if (Self().role != Role::Bootstrapper) return;
  S().calls.push_back(line);
}

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string Str(const char* s) { return s == nullptr ? std::string("(null)") : std::string(s); }

void SetError(DWORD code) { Self().lastError = code; }

bool Fault(const char* op, const std::string& argument) {
  if (Self().role != Role::Bootstrapper) return false;
  State& s = S();
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
  State& s = S();
  uintptr_t h = s.nextHandle;
  s.nextHandle += 4;
  s.openers[h] = Opener();
  s.handles[h] = std::move(object);
  return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<Object> GetHandle(HANDLE h) {
  State& s = S();
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
  S();
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
  State& s = S();
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
  auto lock = Lock();
  return S().calls;
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
  auto lock = Lock();
  std::vector<std::string> out;
  for (const auto& c : S().calls)
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  return out;
}

size_t CountCalls(const std::string& prefix) { return CallsStartingWith(prefix).size(); }

size_t CallCount() {
  auto lock = Lock();
  return S().calls.size();
}

void ClearCalls() {
  auto lock = Lock();
  S().calls.clear();
}

void FailCall(const std::string& op, int nth, DWORD error, const std::string& match) {
  auto lock = Lock();
  S().faults.push_back({op, nth, error, match});
}

size_t PendingFaults() {
  auto lock = Lock();
  return S().faults.size();
}

void ShortWrite(int nth, DWORD bytes) {
  auto lock = Lock();
  S().shortWrites.push_back({nth, bytes});
}

void SetDiskSpace(uint64_t bytes) {
  auto lock = Lock();
  S().diskSpace = bytes;
}

void SetEnv(const std::string& name, const std::string& value) {
  auto lock = Lock();
  S().env[Lower(name)] = {name, value};
}

void UnsetEnv(const std::string& name) {
  auto lock = Lock();
  S().env.erase(Lower(name));
}

void SetCommandLine(const std::string& commandLine) {
  auto lock = Lock();
  S().commandLine = commandLine;
}

void SetWindowsVersion(DWORD major, DWORD minor, DWORD platform) {
  auto lock = Lock();
  S().major = major;
  S().minor = minor;
  S().platform = platform;
}

void SetTempPath(const std::string& path) {
  auto lock = Lock();
  std::string folder = path;
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  S().env["tmp"] = {"TMP", folder};
  S().env["temp"] = {"TEMP", folder};
}

void SetCodePage(UINT codePage) {
  auto lock = Lock();
  S().codePage = codePage;
}

void SetUserLangId(LANGID lang) {
  auto lock = Lock();
  S().userLang = lang;
}

void SetUiLanguage(LANGID lang) {
  auto lock = Lock();
  S().uiLang = lang;
}

void SetMsiVersion(DWORD ms, DWORD ls) {
  auto lock = Lock();
  S().msiHasVersion = true;
  S().msiMs = ms;
  S().msiLs = ls;
}

void RemoveMsiVersionInfo() {
  auto lock = Lock();
  S().msiHasVersion = false;
}

void SetClock(time_t t) {
  auto lock = Lock();
  S().clockPinned = true;
  S().clock = t;
}

void HoldCall(const std::string& op, const std::string& match, std::function<bool()> release) {
  auto lock = Lock();
  S().holds.push_back({op, match, std::move(release)});
}

int HeldThreads() {
  auto lock = Lock();
  return S().heldThreads;
}

bool ThreadAwaited() {
  auto lock = Lock();
  return S().threadAwaited;
}

bool EventExists(const std::string& name) {
  auto lock = Lock();
  return S().namedEvents.count(name) != 0;
}

bool EventSignalled(const std::string& name) {
  auto lock = Lock();
  auto it = S().namedEvents.find(name);
  return it != S().namedEvents.end() && it->second->signalled;
}

std::map<std::string, int> OpenHandles() {
  auto lock = Lock();
  State& s = S();
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
  auto lock = Lock();
  int n = 0;
  for (auto& [h, obj] : S().handles)
    if (obj->kind == Kind::Event) ++n;
  return n;
}

void RegisterProgram(const std::string& path, Program program) {
  Path p;
  DWORD error = 0;
  if (!ResolvePath(path, &p, &error)) std::abort();
  WriteFileBytes(path, "MZ simulated program");
  auto lock = Lock();
  S().programs[p.key] = std::move(program);
}

std::vector<ProcessRecord> Processes() {
  auto lock = Lock();
  return S().processes;
}

std::vector<MessageBoxRecord> MessageBoxes() {
  auto lock = Lock();
  return S().messageBoxes;
}

int LiveLocalAllocations() {
  auto lock = Lock();
  return static_cast<int>(S().localAllocations.size());
}

}  // namespace sim

using namespace sim;
using namespace sim::detail;

// ---- kernel32: errors, process, environment, versions ----------------------------

DWORD WINAPI GetLastError() { return Self().lastError; }

void WINAPI SetLastError(DWORD code) { Self().lastError = code; }

void WINAPI ExitProcess(UINT code) {
  {
    auto lock = Enter();
    Log("ExitProcess(" + std::to_string(static_cast<int>(code)) + ")");
    State& s = S();
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
  auto lock = Enter();
  Log("GetCurrentProcessId()");
  return 0x1234;
}

LPSTR WINAPI GetCommandLineA() {
  auto lock = Enter();
  State& s = S();
  Log("GetCommandLineA()");
  s.commandLineBuffer.assign(s.commandLine.begin(), s.commandLine.end());
  s.commandLineBuffer.push_back('\0');
  return s.commandLineBuffer.data();
}

// The lead-byte ranges of the double-byte ANSI code pages (what GetCPInfo
// reports for them); every other code page is single-byte.
BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
  auto lock = Enter();
  Log("IsDBCSLeadByte(" + Hex(testChar) + ")");
  switch (S().codePage) {
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
  auto lock = Enter();
  Log("GetUserDefaultLangID()");
  return S().userLang;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  auto lock = Enter();
  Log("GetVersionExA(" + std::to_string(info->dwOSVersionInfoSize) + ")");
  if (Fault("GetVersionExA")) return FALSE;
  if (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  State& s = S();
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
  auto lock = Enter();
  Log("GetSystemDirectoryA(" + std::to_string(size) + ")");
  if (Fault("GetSystemDirectoryA")) return 0;
  return CopyOut(S().systemDirectory, buffer, size);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  auto lock = Enter();
  Log("GetWindowsDirectoryA(" + std::to_string(size) + ")");
  if (Fault("GetWindowsDirectoryA")) return 0;
  return CopyOut(S().windowsDirectory, buffer, size);
}

// The first of TMP, TEMP and USERPROFILE that is set, with a backslash
// after it, else the Windows directory (GetTempPath, Remarks): the user's
// own environment names it, also for an elevated process.
DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
  auto lock = Enter();
  Log("GetTempPathA(" + std::to_string(size) + ")");
  if (Fault("GetTempPathA")) return 0;
  State& s = S();
  std::string path = s.windowsDirectory;
  for (const char* name : {"tmp", "temp", "userprofile"}) {
    auto it = s.env.find(name);
    if (it != s.env.end() && !it->second.second.empty()) {
      path = it->second.second;
      break;
    }
  }
  if (path.back() != '\\') path += '\\';
  return CopyOut(path, buffer, size);
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  auto lock = Enter();
  Log("GetEnvironmentVariableA(" + Str(name) + ", " + std::to_string(size) + ")");
  if (Fault("GetEnvironmentVariableA", Str(name))) return 0;
  State& s = S();
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
  auto lock = Enter();
  Log("WideCharToMultiByte(" + std::to_string(codePage) + ", " + std::to_string(flags) + ", " +
      std::to_string(wideCount) + ", " + std::to_string(outBytes) + ")");
  if (Fault("WideCharToMultiByte")) return 0;
  if (codePage != CP_ACP || (flags & ~WC_NO_BEST_FIT_CHARS) != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Without WC_NO_BEST_FIT_CHARS a character the code page lacks may come
  // out as a look-alike of it, without a word ("best fit": "\u0142" as "l"),
  // and naming another file. A few of 1252's best-fit mappings.
  const std::pair<char16_t, char> kBestFit[] = {{u'\u0141', 'L'}, {u'\u0142', 'l'}, {u'\u0107', 'c'},
                                                 {u'\u0119', 'e'}, {u'\u015B', 's'}, {u'\u017C', 'z'}};
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
    char fit = 0;
    for (const auto& [wide16, narrow] : kBestFit)
      if ((flags & WC_NO_BEST_FIT_CHARS) == 0 && c == wide16) fit = narrow;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      converted.push_back(static_cast<char>(c));
    } else if (fit != 0) {
      converted.push_back(fit);
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
  auto lock = Enter();
  Log("LocalAlloc(" + Hex(flags) + ", " + std::to_string(bytes) + ")");
  if (Fault("LocalAlloc")) return nullptr;
  void* p = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(bytes == 0 ? 1 : bytes, 1)
                                          : std::malloc(bytes == 0 ? 1 : bytes);
  S().localAllocations.insert(p);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  auto lock = Enter();
  Log("LocalFree()");
  if (memory == nullptr) return nullptr;
  if (Fault("LocalFree")) return memory;
  if (S().localAllocations.erase(memory) == 0) {
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
  auto lock = Enter();
  Log("FormatMessageA(" + Hex(flags) + ", " + std::to_string(messageId) + ", " + Hex(languageId) + ")");
  (void)source;
  (void)size;
  (void)arguments;
  if (Fault("FormatMessageA")) return 0;
  const char* text = SystemText(messageId);
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0 ||
      text == nullptr) {
    SetError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  size_t n = std::strlen(text);
  char* p = static_cast<char*>(std::calloc(n + 1, 1));
  std::memcpy(p, text, n);
  S().localAllocations.insert(p);
  *reinterpret_cast<char**>(buffer) = p;
  return static_cast<DWORD>(n);
}

// ---- handles, events, threads, waits ----------------------------------------------------------

static void ReleaseObject(const std::shared_ptr<Object>& obj) {
  State& s = S();
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
  auto lock = Lock();
  if (ReleasedByTheEnd()) return TRUE;
  State& s = S();
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  Log("CloseHandle(" + Hex(reinterpret_cast<uintptr_t>(handle)) + ")");
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
  if (Fault("CloseHandle", arg)) return FALSE;
  return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name) {
  auto lock = Enter();
  Log("CreateEventA(" + std::string(sa == nullptr ? "NULL" : "sa") + ", " + std::to_string(manualReset) +
      ", " + std::to_string(initialState) + ", " + Str(name) + ")");
  if (Fault("CreateEventA", Str(name))) return nullptr;
  State& s = S();
  if (name != nullptr) {
    auto it = s.namedEvents.find(name);
    if (it != s.namedEvents.end()) {
      // An object made by another account whose access list leaves this
      // token out cannot be opened (its security is checked at the open;
      // the attributes given are ignored for an existing object).
      if (it->second->deniesRun) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
      }
      // The existing object, under a new handle.
      ++it->second->handles;
      HANDLE h = AddHandle(it->second);
      SetError(ERROR_ALREADY_EXISTS);
      return h;
    }
  }
  auto e = std::make_shared<EventObject>();
  // Its owner: the one the descriptor names (which the token must be able
  // to name), else the token's default owner: the Administrators for an
  // elevated administrator, the user otherwise.
  e->owner = s.administrator ? "O:BA" : "O:" + TokenUserSid();
  if (sa != nullptr && sa->lpSecurityDescriptor != nullptr) {
    const char* sddl = static_cast<const char*>(sa->lpSecurityDescriptor);
    if (DWORD refused = DescriptorRefused("", sddl, OWNER_SECURITY_INFORMATION)) {
      SetError(refused);
      return nullptr;
    }
    std::string text = sddl;
    if (text.compare(0, 2, "O:") == 0) e->owner = text.substr(0, text.find("D:"));
    if (text.find("D:") != std::string::npos) e->dacl = text.substr(text.find("D:"));
  }
  e->name = name == nullptr ? "" : name;
  e->manualReset = manualReset != FALSE;
  e->signalled = initialState != FALSE;
  e->handles = 1;
  if (name != nullptr) s.namedEvents[name] = e;
  SetError(ERROR_SUCCESS);
  return AddHandle(e);
}

BOOL WINAPI SetEvent(HANDLE event) {
  auto lock = Enter();
  Log("SetEvent(" + Hex(reinterpret_cast<uintptr_t>(event)) + ")");
  if (Fault("SetEvent")) return FALSE;
  auto obj = GetHandle(event);
  if (obj == nullptr || obj->kind != Kind::Event) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  static_cast<EventObject*>(obj.get())->signalled = true;
  S().changed.notify_all();
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
  auto lock = Enter();
  Log("WaitForSingleObject(" + Hex(reinterpret_cast<uintptr_t>(handle)) + ", " + Hex(milliseconds) + ")");
  if (Fault("WaitForSingleObject")) return WAIT_FAILED;
  auto obj = GetHandle(handle);
  if (obj == nullptr || obj->kind == Kind::File || obj->kind == Kind::Search) {
    SetError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (obj->kind == Kind::Thread && Self().role == Role::Bootstrapper) {
    S().threadAwaited = true;
    S().changed.notify_all();
  }
  bool ok = WaitUntil(lock, milliseconds, [&] { return IsSignalled(obj.get()); });
  if (!ok) return WAIT_TIMEOUT;
  if (obj->kind == Kind::Event && !static_cast<EventObject*>(obj.get())->manualReset)
    static_cast<EventObject*>(obj.get())->signalled = false;
  return WAIT_OBJECT_0;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID argument, DWORD flags, LPDWORD threadId) {
  auto lock = Enter();
  Log("CreateThread(" + std::string(sa == nullptr ? "NULL" : "sa") + ", " + std::to_string(stackSize) +
      ", " + Hex(reinterpret_cast<uintptr_t>(argument)) + ", " + Hex(flags) + ")");
  if (Fault("CreateThread")) return nullptr;
  State& s = S();
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
    auto l = Lock();
    if (!finished) S().cutShort.insert(number);
    task->done = true;
    task->exitCode = finished ? code : static_cast<DWORD>(S().exitCode);
    S().changed.notify_all();
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
  State& s = S();
  for (const std::string& dir : {s.currentDirectory, s.systemDirectory, s.windowsDirectory}) {
    if (IsFile(dir + "\\" + candidate, key)) return true;
  }
  return false;
}

}  // namespace

BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSa,
                           LPSECURITY_ATTRIBUTES threadSa, BOOL inheritHandles, DWORD flags, LPVOID environment,
                           LPCSTR currentDirectory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
  auto lock = Enter();
  Log("CreateProcessA(" + Str(application) + ", " + Str(commandLine) + ", " +
      (processSa == nullptr ? "NULL" : "sa") + ", " + (threadSa == nullptr ? "NULL" : "sa") + ", " +
      std::to_string(inheritHandles) + ", " + Hex(flags) + ", " + (environment == nullptr ? "NULL" : "env") +
      ", " + Str(currentDirectory) + ", cb=" + std::to_string(startup == nullptr ? 0 : startup->cb) + ")");
  if (Fault("CreateProcessA", Str(commandLine))) return FALSE;
  if (startup == nullptr || info == nullptr || (application == nullptr && commandLine == nullptr)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  State& s = S();
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
    auto l = Lock();
    task->done = thread->done = true;
    task->exitCode = thread->exitCode = code;
    S().processes[index].exitCode = code;
    S().changed.notify_all();
  });
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code) {
  auto lock = Enter();
  Log("GetExitCodeProcess(" + Hex(reinterpret_cast<uintptr_t>(process)) + ")");
  if (Fault("GetExitCodeProcess")) return FALSE;
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
    State& s = S();
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
