// Loading system libraries by their full path in the system directory,
// never by bare name, so that a library of the same name in the current
// directory or beside the executable is never picked up; and taking the
// current directory out of the library search order.
#pragma once

#include "platform/win32.h"

// Reads the system directory into `buffer` (`capacity` bytes, terminator
// included). True when the whole directory fit with its terminator; else the
// buffer is zero-filled (a cut directory would name another folder) and
// false is returned. *returned, when given, gets GetSystemDirectoryA's own
// value (0 on failure, the size needed when it did not fit).
bool ReadSystemDirectory(char* buffer, UINT capacity, UINT* returned = nullptr);

// The entry point `name` of a system library every process of this kind has
// loaded from its start (kernel32, ntdll), found without loading anything
// (GetModuleHandleA, then GetProcAddress); null, with the last error set,
// when the system lacks it.
FARPROC LoadedSystemEntry(const char* library, const char* name);

// Loads <system directory>\<name>. Returns the module (the caller frees it
// with FreeLibrary) or null. Every failure writes one log record with the
// last error read right after the failing call:
//   "GetSystemDirectory failed.  Return Code: %d, ErrorCode: %d"
//   "_snprintf failed.  ErrorCode: %d"   (the path needs more than 259 characters)
//   "LoadLibrary(%s) failed.  ErrorCode: %d"
HMODULE LoadSystemLibrary(const char* name);

// As LoadSystemLibrary, recording nothing on failure (last error 206 when
// the joined path does not fit 259 characters).
HMODULE LoadSystemLibraryQuiet(const char* name);

// Loads kernel32 by full path, looks up SetDllDirectoryA at run time and
// calls it with `directory` ("" removes the current directory from the
// search order for the rest of the process). Returns 1 when it was found and
// succeeded, else 0 after logging why; kernel32 is freed on every path.
int SetLibrarySearchDirectory(const char* directory);
