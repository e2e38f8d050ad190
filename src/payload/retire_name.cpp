#include "payload/retire_name.h"

#include "diag/system_library.h"
#include "payload/failure_report.h"
#include "payload/file_names.h"
#include "payload/final_path.h"
#include "platform/native_files.h"

namespace {

// How many names are tried before a move counts as failed: a random name is
// taken only by chance, or by a random source that repeats itself.
const int kNameTries = 8;

// Removes the link `leaf` below `parent` as itself, once a handle opened on
// the name itself shows a link as well.
DWORD RemoveLinkBelow(HANDLE parent, const char* leaf) {
  NativeOpen how;
  how.access = kAccessDelete | FILE_READ_ATTRIBUTES;
  how.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE link = INVALID_HANDLE_VALUE;
  DWORD error = OpenBelow(parent, leaf, how, &link);
  if (error != 0) return error;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(link, &info)) error = LastErrorOrFailed();
  // Where the handle does not show a link, it is on what the link leads to.
  else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) error = ERROR_STOPPED_ON_SYMLINK;
  else error = DeleteByHandle(link);
  CloseHandle(link);
  return error;
}

// Tries unpredictable names for `object` in `parent` until one is free.
DWORD RenameAside(HANDLE object, HANDLE parent) {
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int n = 0; n < kNameTries && error == ERROR_ALREADY_EXISTS; ++n) {
    RetireName aside;
    error = UnpredictableName(&aside) ? RenameBelow(object, parent, aside.c_str()) : LastErrorOrFailed();
  }
  return error;
}

// An earlier run's folder that cannot be renamed because a file below it is
// open (a scanner reading an earlier run's updater: a folder with an open
// file below it cannot be renamed): its plain files are moved out, each by
// its own handle, into `parent` under unpredictable names and deleted there
// (one held with delete sharing goes when its last handle is closed), and
// the folder, then empty, is deleted by its handle.
DWORD EmptyAndRemoveOwn(HANDLE folder, HANDLE parent) {
  DWORD error = 0;
  ListBelow(folder, [&](const NativeName& name, DWORD attributes) {
    if (error != 0 || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return;
    NativeOpen how;
    how.access = kAccessDelete | FILE_READ_ATTRIBUTES;
    how.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    how.options = kNtNonDirectoryFile;
    HANDLE file = INVALID_HANDLE_VALUE;
    error = OpenBelow(folder, name, how, &file);
    if (error == 0) error = RenameAside(file, parent);
    if (error == 0) DeleteByHandle(file);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  });
  return error != 0 ? error : DeleteByHandle(folder);
}

}  // namespace

bool UnpredictableName(RetireName* name) {
  HMODULE advapi = LoadSystemLibraryQuiet("advapi32.dll");
  if (advapi == nullptr) return false;
  RtlGenRandom_fn random = reinterpret_cast<RtlGenRandom_fn>(GetProcAddress(advapi, "SystemFunction036"));
  BYTE bytes[8] = {};
  if (random == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  bool ok = random != nullptr && random(bytes, sizeof bytes) != 0;
  FreeLibrary(advapi);
  if (!ok) return false;
  static const char kHex[] = "0123456789abcdef";
  char digits[17] = {};
  for (int i = 0; i < 8; ++i) {
    digits[2 * i] = kHex[bytes[i] >> 4];
    digits[2 * i + 1] = kHex[bytes[i] & 0xF];
  }
  return name->format("~qmb%s.tmp", digits);
}

DWORD RetireFile(const char* path, const char* folder) {
  PathText own;
  if (folder == nullptr) {
    if (!ParentOf(path, &own)) return ERROR_PATH_NOT_FOUND;
    folder = own.c_str();
  }
  for (int n = 0; n < kNameTries; ++n) {
    RetireName leaf;
    PathText name;
    if (!UnpredictableName(&leaf)) return LastErrorOrFailed();
    if (!name.format("%s\\%s", folder, leaf.c_str())) return ERROR_FILENAME_EXCED_RANGE;
    if (MoveFileA(path, name.c_str())) {
      DeleteFileA(name.c_str());
      return 0;
    }
    DWORD error = LastErrorOrFailed();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return error;
  }
  return ERROR_ALREADY_EXISTS;
}

DWORD RetireFolder(HANDLE parent, const char* parentPath, const char* leaf, const Token& token) {
  PathText path;
  if (!path.format("%s\\%s", parentPath, leaf)) return ERROR_FILENAME_EXCED_RANGE;
  DWORD attributes = 0;
  DWORD error = AttributesByName(path.c_str(), &attributes);
  if (error == ERROR_FILE_NOT_FOUND) return 0;
  if (error != 0) return error;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return RemoveLinkBelow(parent, leaf);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_PATH_NOT_FOUND;
  // Held without delete sharing from here on: nobody else renames it.
  NativeOpen how;
  how.access = kAccessDelete | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL;
  how.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  how.options = kNtDirectoryFile;
  HANDLE old = INVALID_HANDLE_VALUE;
  error = OpenBelow(parent, leaf, how, &old);
  if (error == ERROR_FILE_NOT_FOUND) return 0;
  if (error != 0) return error;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(old, &info)) error = LastErrorOrFailed();
  else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) error = DeleteByHandle(old);
  // A link the name did not show: where it leads stays untouched.
  else error = CheckFinalPath(old, path.c_str());
  if (error != 0 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(old);
    return error;
  }
  error = RenameAside(old, parent);
  bool own = IsRunsOwnFolder(old, token);
  if (error == 0 && own) {
    DeletePlainFilesBelow(old);
    DeleteByHandle(old);  // fails, and leaves it, when anything stayed in it
  } else if (error != 0 && own) {
    error = EmptyAndRemoveOwn(old, parent);
  }
  CloseHandle(old);
  return error;
}
