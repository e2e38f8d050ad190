// Finding msiexec.exe and judging the Windows Installer's version.
#pragma once

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

// Overwrites the first occurrence of `pattern` in `text` with `replacement`
// when both have the same length (case-sensitive; the length of `text`
// never changes). Returns `text`.
char* ReplaceSameLength(char* text, const char* pattern, const char* replacement);
