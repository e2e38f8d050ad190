// The fatal report of a file step: a message box naming the step and the
// Windows error, then the end of the process with that error as its code.
#pragma once

#include "platform/win32.h"

// The labels of the three file steps, each ending with one blank.
extern const char kCreateLabel[];  // "Installer : Wrapper.CreateFile "
extern const char kWriteLabel[];   // "Installer : Wrapper.WriteFile (In small chunks) "
extern const char kCloseLabel[];   // "Installer : Wrapper.CloseHandle "

// The calling thread's last error, or ERROR_FUNCTION_FAILED (1627) when the
// failed call set none: a failure never reads as success, nor as a cause it
// did not have.
DWORD LastErrorOrFailed();

// Shows "<label> failed with error <code>: <system text>" (caption "Error")
// for the calling thread's last error (LastErrorOrFailed), then ends the
// process with that code.
[[noreturn]] void ExtractFailure(const char* label);
