// Where an open file or folder really is: its final path, which Windows 6
// and later tell by handle (GetFinalPathNameByHandleA, looked up at run
// time). A link, a mount point or a redirection of the object manager on the
// way (which neither the name nor the handle shows) leads elsewhere than the
// path it was opened by; so does the system directory that a 32-bit process
// on 64-bit Windows is redirected from.
#pragma once

#include "platform/fixed_text.h"
#include "platform/win32.h"

// Whether this Windows tells final paths (6 and later).
bool FinalPathsKnown();

// The final path of `object` in the form the run's paths have: "C:\..." for
// a drive, "\\server\share\..." for a share. Returns 0; ERROR_NOT_SUPPORTED
// where final paths are not known; ERROR_STOPPED_ON_SYMLINK when it is
// longer than any path the run uses; or the failed call's error (e.g.
// ERROR_PATH_NOT_FOUND for a volume without a drive letter).
DWORD FinalPathOf(HANDLE object, PathText* path);

// Whether `object` is found at `expected` (compared without regard to
// case). Returns 0 (also where final paths are not known),
// ERROR_STOPPED_ON_SYMLINK when it is elsewhere, or the failed call's error.
DWORD CheckFinalPath(HANDLE object, const char* expected);
