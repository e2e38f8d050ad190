// Loading system libraries by their full path in the system directory,
// never by bare name, so that a library of the same name in the current
// directory or beside the executable is never picked up.
#pragma once

#include "platform/win32.h"

// Loads <system directory>\<name>. Returns the module (the caller frees it
// with FreeLibrary) or null. Records nothing on failure; a joined path that
// does not fit 259 characters is not loaded (last error 206).
HMODULE LoadSystemLibraryQuiet(const char* name);
