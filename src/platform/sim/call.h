// The prologue of every simulated platform call (Call) and the log line it
// leaves, with the fault injection it asks (calls.cpp). Every source file of
// the machine that implements platform calls includes this header.
#pragma once

#include <exception>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/sim/state.h"

namespace sim::detail {

// Logs a platform call made by the system (not by fake children).
void Log(const std::string& line);
std::string Hex(uint64_t v);
std::string Str(const char* s);

// What a platform call's log line shows for an argument: texts as they are
// ("(null)" for a null pointer), numbers in decimal, handles and other
// pointers in hexadecimal. Hex(...) gives a number in hexadecimal.
inline std::string LogText(const std::string& s) { return s; }
inline std::string LogText(const char* s) { return Str(s); }
template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
std::string LogText(T v) {
  return std::to_string(v);
}
template <class T, std::enable_if_t<!std::is_same_v<std::remove_cv_t<T>, char>, int> = 0>
std::string LogText(T* p) {
  return Hex(reinterpret_cast<uintptr_t>(p));
}

// Whether a test's fault or hook for operation `op` whose match is `match`
// (empty: every call) applies to a call of `callOp` about `subject`.
bool CallMatches(const std::string& op, const std::string& match, const char* callOp, const std::string& subject);

// The bytes a WriteFile of `count` bytes writes after the short writes
// injected (ShortWrite): `count`, or less.
DWORD WriteSizeAfterFaults(DWORD count);

// Before the call goes on: the test's action or hold at this call (OnCall,
// HoldCall), then the injected fault (FailCall) whose operation is `op` and
// whose match is in `subject`. True when a fault fires; the error is set.
// Used by Call.
bool AskForFault(const char* op, const std::string& subject);
// After the call has taken effect: the test's action for it (OnCallDone).
void Done(const char* op, const std::string& subject);

// One platform call made by the system, from its first line to its return.
// Every entry point of the machine begins with one, except the few that
// touch no state and are never logged (GetLastError, SetLastError,
// GetCurrentProcess, lstrlenA, lstrcmpA, lstrcmpiA):
//
//   Call c("DeleteFileA", path);           // locks the machine, logs "DeleteFileA(C:\x)"
//   if (c.faulted(path)) return FALSE;    // an injected fault, matched on the path
//
// Making one ends the calling thread instead (throws ProcessEnded) when the
// simulated process has ended, as a thread of an ended process runs no
// further; a Call made with kReleases never does (see ReleasedByTheEnd).
// The log line is the operation's name and its arguments, ", " between
// them, as LogText shows each; calls of fake child programs are not logged.
class Call {
 public:
  template <class... Args>
  explicit Call(const char* op, const Args&... args) : op_(op), lock_(EnterOrEndThread()) {
    Log(Line(op, {LogText(args)...}));
  }
  enum Releases { kReleases };
  template <class... Args>
  Call(Releases, const char* op, const Args&... args) : op_(op), lock_(LockMachine()) {
    released_ = ReleasedByTheEnd();
    if (!released_) Log(Line(op, {LogText(args)...}));
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  // A call that was not failed runs the test's action for its completion
  // (OnCallDone) as it returns, with the machine still held.
  ~Call() noexcept(false) {
    if (!failed_ && !released_ && std::uncaught_exceptions() == 0) Done(op_, subject_);
  }

  // Whether an injected fault fails this call here (the error is set); the
  // subject is what FailCall's match is looked for in (a path, a name).
  bool faulted(const std::string& subject = "") {
    subject_ = subject;
    failed_ = AskForFault(op_, subject);
    return failed_;
  }
  bool faulted(const char* subject) { return faulted(Str(subject)); }
  // The same, for a call that fails under another name than it logs.
  bool faultedAs(const char* op, const std::string& subject = "") { return AskForFault(op, subject); }
  // With kReleases: the process has ended, and the call does nothing.
  bool releasedByTheEnd() const { return released_; }
  // Waits as WaitOrEndThread does, letting go of the machine meanwhile.
  template <class Pred>
  bool waitOrEndThread(DWORD ms, Pred pred);

 private:
  static std::string Line(const char* op, const std::vector<std::string>& args) {
    std::string line = std::string(op) + "(";
    for (size_t i = 0; i < args.size(); ++i) line += (i == 0 ? "" : ", ") + args[i];
    return line + ")";
  }
  const char* op_;
  std::unique_lock<std::recursive_mutex> lock_;
  bool released_ = false;
  bool failed_ = false;
  std::string subject_;
};

template <class Pred>
bool Call::waitOrEndThread(DWORD ms, Pred pred) {
  return WaitOrEndThread(lock_, ms, pred);
}

}  // namespace sim::detail
