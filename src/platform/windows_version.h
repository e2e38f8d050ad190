// The Windows version, as the platform reports it to this executable.
//
// Windows 8.1 and later report 6.2 to an executable whose manifest does not
// name them; every decision here needs only the platform and the major and
// minor numbers. Each caller states its own predicate on the record.
#pragma once

#include "platform/win32.h"

struct WindowsVersion {
  bool nt = false;  // the NT platform
  DWORD major = 0;
  DWORD minor = 0;
};

// Reads the version anew (GetVersionExA). A failed read gives the empty
// record: no NT platform, version 0.0.
WindowsVersion ReadWindowsVersion();
