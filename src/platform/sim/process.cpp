// The simulated process and its threads: the machine's life (Reset), the
// bootstrapper's run (RunProcess, ExitProcess, the end stopping every
// thread), its handles (CloseHandle, what is still open), the threads it
// starts, named events and the waits on them. Child processes are in
// children.cpp.
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

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
    InitEnvironment();
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

void SetError(DWORD code) { Self().lastError = code; }

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

}  // namespace sim::detail

namespace sim {

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

bool EventExists(const std::string& name) {
  auto lock = LockMachine();
  return Machine().namedEvents.count(name) != 0;
}

bool EventSignalled(const std::string& name) {
  auto lock = LockMachine();
  auto it = Machine().namedEvents.find(name);
  return it != Machine().namedEvents.end() && it->second->signalled;
}

int OpenEventHandles() {
  auto lock = LockMachine();
  int n = 0;
  for (auto& [h, obj] : Machine().handles)
    if (obj->kind == Kind::Event) ++n;
  return n;
}

bool ThreadAwaited() {
  auto lock = LockMachine();
  return Machine().threadAwaited;
}

}  // namespace sim

// ---- kernel32: errors, the process, handles ------------------------------------------------------------------------

DWORD WINAPI GetLastError() { return Self().lastError; }

void WINAPI SetLastError(DWORD code) { Self().lastError = code; }

void WINAPI ExitProcess(UINT code) {
  {
    Call c("ExitProcess", static_cast<int>(code));
    EndProcess(Machine(), static_cast<int>(code), true);
  }
  throw ProcessEnded{};
}

DWORD WINAPI GetCurrentProcessId() {
  Call c("GetCurrentProcessId");
  return 0x1234;
}

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

// ---- kernel32: events, waits, threads ------------------------------------------------------------------------------

// A named event is one object for every handle opened on its name, and
// lives while one of them is open; making it again opens it, with 183
// (CreateEventA). A wait that an auto-reset event ends resets it.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name) {
  Call c("CreateEventA", sa == nullptr ? "NULL" : "sa", manualReset, initialState, name);
  if (c.faulted(name)) return nullptr;
  State& s = Machine();
  if (name != nullptr) {
    auto it = s.namedEvents.find(name);
    if (it != s.namedEvents.end()) {
      // An object another account made, whose access list leaves this
      // token out, cannot be opened: its security is checked at the open,
      // and the attributes given are ignored for an existing object
      // (CreateEventA, lpEventAttributes).
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
  Call c("SetEvent", event);
  if (c.faulted()) return FALSE;
  auto e = HandleOf<EventObject>(event, Kind::Event);
  if (e == nullptr) return FALSE;
  e->signalled = true;
  Machine().changed.notify_all();
  return TRUE;
}

bool sim::detail::IsSignalled(Object* obj) {
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
