#include "diag/system_library.h"

#include "diag/diag_log.h"
#include "platform/fixed_text.h"

namespace {

HMODULE LoadFromSystemDirectory(const char* name, bool logFailures) {
  PathText directory;
  UINT n = 0;
  if (!ReadSystemDirectory(directory.data(), static_cast<UINT>(PathText::kBytes), &n)) {
    DWORD error = GetLastError();
    if (logFailures)
      DiagLogFormat("GetSystemDirectory failed.  Return Code: %d, ErrorCode: %d", static_cast<int>(n),
                    static_cast<int>(error));
    return nullptr;
  }
  PathText path;
  if (!path.format("%s\\%s", directory.c_str(), name)) {
    DWORD error = GetLastError();
    if (logFailures) DiagLogFormat("_snprintf failed.  ErrorCode: %d", static_cast<int>(error));
    else SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr && logFailures) {
    DWORD error = GetLastError();
    DiagLogFormat("LoadLibrary(%s) failed.  ErrorCode: %d", path.c_str(), static_cast<int>(error));
  }
  return module;
}

}  // namespace

bool ReadSystemDirectory(char* buffer, UINT capacity, UINT* returned) {
  UINT n = GetSystemDirectoryA(buffer, capacity);
  if (returned != nullptr) *returned = n;
  // Success gives the length without the terminator; a buffer too small
  // gives the size needed with it, which is at least the capacity + 1.
  if (n != 0 && n < capacity) return true;
  for (UINT i = 0; i < capacity; ++i) buffer[i] = '\0';
  return false;
}

FARPROC LoadedSystemEntry(const char* library, const char* name) {
  HMODULE module = GetModuleHandleA(library);
  return module == nullptr ? nullptr : GetProcAddress(module, name);
}

HMODULE LoadSystemLibrary(const char* name) { return LoadFromSystemDirectory(name, true); }

HMODULE LoadSystemLibraryQuiet(const char* name) { return LoadFromSystemDirectory(name, false); }

int SetLibrarySearchDirectory(const char* directory) {
  HMODULE kernel = LoadSystemLibrary("kernel32.dll");
  if (kernel == nullptr) {
    DiagLogFormat("ZLP_System_LoadLibrary(kernel32.dll) failed.  ErrorCode: %d", static_cast<int>(GetLastError()));
    return 0;
  }
  // Where the system has it, libraries loaded by name (by the system's own
  // libraries too) come from the system directory alone: never from the
  // exe's folder, which is often the user's downloads.
  SetDefaultDllDirectories_fn setDefault =
      reinterpret_cast<SetDefaultDllDirectories_fn>(GetProcAddress(kernel, "SetDefaultDllDirectories"));
  if (setDefault != nullptr && !setDefault(kLoadLibrarySearchSystem32))
    DiagLogFormat("SetDefaultDllDirectories() failed.  ErrorCode: %d", static_cast<int>(GetLastError()));
  SetDllDirectoryA_fn setDirectory = reinterpret_cast<SetDllDirectoryA_fn>(GetProcAddress(kernel, "SetDllDirectoryA"));
  if (setDirectory == nullptr) {
    DiagLogFormat("GetProcAddress(SetDllDirectory) failed.  ErrorCode: %d", static_cast<int>(GetLastError()));
    FreeLibrary(kernel);
    return 0;
  }
  int result = 1;
  if (!setDirectory(directory)) {
    DiagLogFormat("SetDllDirectory() failed.  ErrorCode: %d", static_cast<int>(GetLastError()));
    result = 0;
  }
  FreeLibrary(kernel);
  return result;
}
