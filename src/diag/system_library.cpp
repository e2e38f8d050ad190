#include "diag/system_library.h"

#include "platform/fixed_text.h"

HMODULE LoadSystemLibraryQuiet(const char* name) {
  PathText directory;
  UINT n = GetSystemDirectoryA(directory.data(), static_cast<UINT>(PathText::kBytes));
  if (n == 0 || n > PathText::kBytes) return nullptr;
  PathText path;
  if (!path.format("%s\\%s", directory.c_str(), name)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return LoadLibraryA(path.c_str());
}
