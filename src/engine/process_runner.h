// Starting a child program and waiting for it.
#pragma once

#include "platform/win32.h"

// How a child is waited for.
enum class ChildWait {
  kPlain,          // WaitForSingleObject without a time limit
  kPumpMessages,   // MessagePumpWait
};

// What became of one child.
struct ChildOutcome {
  bool started = false;  // CreateProcessA succeeded
  DWORD startError = 0;  // its last error when it did not
  bool ended = false;    // the wait saw the child end
  bool codeRead = false; // its exit code was read (only once it ended)
  DWORD exitCode = 0;
};

// Starts the command line (writable; with `application` null, the program
// is its first token, quoted by the caller where it holds blanks), waits
// for the child as `wait` says without a time limit, reads its exit code
// once the wait has seen it end (a child still running would read as
// STILL_ACTIVE, 259, which is no outcome of it) and closes both handles.
ChildOutcome RunChild(const char* application, char* commandLine, ChildWait wait);

// Starts the command line and waits for the child (RunChild, kPlain) and
// returns its 32-bit exit code unchanged. Returns 1 when no child could be
// started, its end could not be awaited or its exit code could not be read.
DWORD ProcessRunner(char* commandLine);

// Waits without a time limit until `handle` is signalled, removing and
// dispatching the calling thread's window messages meanwhile (with the wide
// forms for a Unicode window). A quit message is removed and dropped.
// Returns 1 when the handle became signalled, 0 when the wait failed.
int MessagePumpWait(HANDLE handle);
