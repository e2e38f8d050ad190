// Starting a child program and waiting for it.
#pragma once

#include "platform/win32.h"

// Starts the command line (writable; the program is its first token, quoted
// by the caller where it holds blanks), waits for the child without a time
// limit and returns its 32-bit exit code unchanged. Returns 1 when no child
// could be started or its exit code could not be read.
DWORD ProcessRunner(char* commandLine);

// Waits without a time limit until `handle` is signalled, removing and
// dispatching the calling thread's window messages meanwhile (with the wide
// forms for a Unicode window). A quit message is removed and dropped.
// Returns 1 when the handle became signalled, 0 when the wait failed.
int MessagePumpWait(HANDLE handle);
