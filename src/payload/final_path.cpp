#include "payload/final_path.h"

#include "diag/system_library.h"
#include "payload/failure_report.h"
#include "platform/windows_version.h"

bool FinalPathsKnown() {
  WindowsVersion version = ReadWindowsVersion();
  return version.nt && version.major >= 6;
}

DWORD FinalPathOf(HANDLE object, PathText* path) {
  path->clear();
  if (!FinalPathsKnown()) return ERROR_NOT_SUPPORTED;
  GetFinalPathNameByHandleA_fn finalPath = reinterpret_cast<GetFinalPathNameByHandleA_fn>(
      LoadedSystemEntry("kernel32.dll", "GetFinalPathNameByHandleA"));
  DWORD error = 0;
  // "\\?\UNC\" before a path of MAX_PATH characters.
  FixedText<MAX_PATH + 8> found;
  DWORD n = 0;
  if (finalPath == nullptr ||
      (n = finalPath(object, found.data(), static_cast<DWORD>(found.kBytes), FILE_NAME_NORMALIZED)) == 0) {
    error = LastErrorOrFailed();
  } else if (n >= found.kBytes) {
    error = ERROR_STOPPED_ON_SYMLINK;
  } else {
    // "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share.
    char* text = found.data();
    if (FindText(text, "\\\\?\\UNC\\") == text) {
      text += 6;
      text[0] = '\\';
    } else if (FindText(text, "\\\\?\\") == text) {
      text += 4;
    }
    if (!path->assign(text)) error = ERROR_STOPPED_ON_SYMLINK;
  }
  return error;
}

DWORD CheckFinalPath(HANDLE object, const char* expected) {
  PathText found;
  DWORD error = FinalPathOf(object, &found);
  if (error == ERROR_NOT_SUPPORTED) return 0;
  if (error != 0) return error;
  return lstrcmpiA(found.c_str(), expected) == 0 ? 0 : ERROR_STOPPED_ON_SYMLINK;
}
