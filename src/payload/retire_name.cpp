#include "payload/retire_name.h"

#include "payload/failure_report.h"
#include "payload/file_names.h"
#include "platform/fixed_text.h"

DWORD RetireFile(const char* path, const char* folder) {
  PathText own;
  if (folder == nullptr) {
    if (!ParentOf(path, &own)) return ERROR_PATH_NOT_FOUND;
    folder = own.c_str();
  }
  // A name of this process's own; one that is taken (by another thread, or
  // left by an earlier run) makes the move fail, and the next is tried.
  for (unsigned n = 0; n < 64; ++n) {
    PathText name;
    if (!name.format("%s\\~qmb%u.%u.tmp", folder, static_cast<unsigned>(GetCurrentProcessId()), n))
      return ERROR_FILENAME_EXCED_RANGE;
    if (MoveFileA(path, name.c_str())) {
      DeleteFileA(name.c_str());
      return 0;
    }
    DWORD error = LastErrorOrFailed();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return error;
  }
  return ERROR_ALREADY_EXISTS;
}
