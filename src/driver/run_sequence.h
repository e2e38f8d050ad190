// The run: one straight pass from the start of the process to its exit code.
#pragma once

#include "platform/win32.h"

// Runs every phase in its fixed order and returns the process exit code:
//   the installer tool's exit code (of the rerun when there was one);
//   1    the tool did not start, or the package is not in the executable;
//   -2   the Windows Installer is too old (after the version message);
//   -3   the tool's location cannot be read (no cleanup: the staging
//        directory and the package stay);
//   1639 the options would not fit their texts (before the version gate),
//        or the silent defaults or the main command line would not fit
//        1024 bytes (after cleanup).
// A file that cannot be written ends the process inside the write with the
// Windows error code instead. Before the cleanup, the cabinet thread is told
// to stop and awaited, so that a run that ends before the cabinets are all
// written ends with its own code, without a message about them.
int RunSequence(HINSTANCE instance);
