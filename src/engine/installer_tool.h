// Finding msiexec.exe and judging the Windows Installer's version.
#pragma once

#include "platform/fixed_text.h"
#include "platform/win32.h"

// True when msi.dll in the system directory has file version 2.0.2600.0 or
// later. Missing library, missing version information, a failed query or a
// system directory that cannot be read count as too old. The version query
// goes through version.dll, loaded by its full system path for the query (a
// failed load is logged) and freed afterwards, so that a version.dll planted
// beside the executable is never loaded, as an import of it would be.
bool InstallerVersionGate();

// The comparison itself, on the two file-version words.
bool InstallerVersionPasses(DWORD mostSignificant, DWORD leastSignificant);

// True when Windows reports version 5.2.
bool IsWindowsVersion52();

// Fills `buffer` (capacity in characters, zero-filled by the caller) with
// the installer tool's path: on Windows 5.2 the system directory, elsewhere
// the registry's InstallerLocation, followed by "\msiexec.exe". Returns false
// when the location cannot be read (the buffer is then untouched) or when
// the path would not fit the capacity (the buffer is then emptied).
bool LocateInstallerTool(char* buffer, DWORD capacity);

// The package path as an installer tool in SysWOW64 (a 32-bit tool on
// 64-bit Windows) is to find it: when `tool` lies in "SysWOW64" and the
// package path begins with the system directory and a backslash (compared
// without regard to case), that is, the data folder lies below the system
// directory (the system account's profile), to which a 32-bit process's
// writes are redirected, the system directory's "system32" in the path
// becomes "SysWOW64". Every other package path stays exactly as it is: a
// "system32" elsewhere in it is a folder of that name, which the user may
// have chosen.
void PackagePathForTool(PathText* packagePath, const char* tool);
