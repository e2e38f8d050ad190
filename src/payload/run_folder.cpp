#include "payload/run_folder.h"

#include "diag/system_library.h"
#include "payload/failure_report.h"
#include "payload/file_names.h"
#include "payload/own_folder.h"
#include "payload/retire_name.h"
#include "platform/fixed_text.h"
#include "platform/windows_version.h"

namespace {

// Windows 6 and later: mandatory labels, and final paths by handle.
bool IsNt6OrLater() {
  WindowsVersion version = ReadWindowsVersion();
  return version.nt && version.major >= 6;
}

// Where an open folder really is, against the path it was opened by:
// Windows 6 and later tell it by handle (GetFinalPathNameByHandleA, looked
// up at run time). A link, a mount point above it or a redirection of the
// object manager (which neither the name nor the handle shows) leads
// elsewhere. Returns 0, ERROR_STOPPED_ON_SYMLINK, or the failed call's error.
DWORD CheckFinalPath(HANDLE folder, const char* path) {
  if (!IsNt6OrLater()) return 0;
  HMODULE kernel = LoadSystemLibraryQuiet("kernel32.dll");
  if (kernel == nullptr) return LastErrorOrFailed();
  GetFinalPathNameByHandleA_fn finalPath =
      reinterpret_cast<GetFinalPathNameByHandleA_fn>(GetProcAddress(kernel, "GetFinalPathNameByHandleA"));
  DWORD error = 0;
  // "\\?\UNC\" before a path of MAX_PATH characters.
  FixedText<MAX_PATH + 8> found;
  DWORD n = 0;
  if (finalPath == nullptr ||
      (n = finalPath(folder, found.data(), static_cast<DWORD>(found.kBytes), FILE_NAME_NORMALIZED)) == 0) {
    error = LastErrorOrFailed();
  } else if (n >= found.kBytes) {
    error = ERROR_STOPPED_ON_SYMLINK;  // longer than any path the run opens
  } else {
    // "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share.
    char* text = found.data();
    if (FindText(text, "\\\\?\\UNC\\") == text) {
      text += 6;
      text[0] = '\\';
    } else if (FindText(text, "\\\\?\\") == text) {
      text += 4;
    }
    if (lstrcmpiA(text, path) != 0) error = ERROR_STOPPED_ON_SYMLINK;
  }
  FreeLibrary(kernel);
  return error;
}

// The checks of a held folder: a real folder, not a link, at `path`.
DWORD CheckHeldFolder(HANDLE folder, const char* path) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(folder, &info)) return LastErrorOrFailed();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ERROR_STOPPED_ON_SYMLINK;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_PATH_NOT_FOUND;
  return CheckFinalPath(folder, path);
}

// Removes the link `path` (whose attributes by name are `attributes`) as
// itself, once a handle opened on the name itself shows a link as well.
// Where it does not (a system that opens links only through to their target,
// as Wine does), removing the name could remove what the link leads to:
// ERROR_STOPPED_ON_SYMLINK.
DWORD RemoveLink(const char* path, DWORD attributes) {
  HANDLE link = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (link == INVALID_HANDLE_VALUE) return LastErrorOrFailed();
  BY_HANDLE_FILE_INFORMATION info = {};
  DWORD error = GetFileInformationByHandle(link, &info) ? 0 : LastErrorOrFailed();
  CloseHandle(link);
  if (error != 0) return error;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return ERROR_STOPPED_ON_SYMLINK;
  // Both remove a link itself, never its target.
  bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryA(path) : DeleteFileA(path);
  return removed ? 0 : LastErrorOrFailed();
}

// Empties a folder that is there already where a folder of the run's own
// goes, held (so that it cannot be swapped meanwhile) and checked, then
// removes it: its plain files are moved into `parent` and deleted there,
// links are removed as links; subfolders stay (and so does the folder:
// making it anew then fails). A read-only file, which an earlier run's
// cleanup had to leave, is moved out all the same and stays in `parent`
// under the run's name, with its bytes: the run never clears the attribute,
// which by name could reach the file of another name (a hard link).
DWORD EmptyAndRemove(const char* path, const char* parent) {
  HANDLE held = INVALID_HANDLE_VALUE;
  DWORD error = OpenRunFolder(path, RunFolder::kExisting, &held);
  if (error != 0) return error;
  ForEachEntry(path, [&](const WIN32_FIND_DATAA& entry) {
    PathText name;
    if (!name.format("%s\\%s", path, entry.cFileName)) return;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      RemoveLink(name.c_str(), entry.dwFileAttributes);
    else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      RetireFile(name.c_str(), parent);
  });
  ReleaseRunFolder(&held);
  RemoveDirectoryA(path);
  return 0;
}

// Makes a folder of the run's own anew at `path`: what is there is removed
// first (a link as a link, a folder once emptied), while the parent is held.
DWORD MakeOwnFolderAnew(const char* path, const Token& token, bool* ownerSet) {
  DWORD existing = 0;
  DWORD error = AttributesByName(path, &existing);
  if (error == ERROR_FILE_NOT_FOUND) {
    error = 0;
  } else if (error != 0) {
    return error;
  } else if ((existing & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = RemoveLink(path, existing);
  } else if ((existing & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ERROR_PATH_NOT_FOUND;
  } else {
    PathText parent;
    if (!ParentOf(path, &parent)) return ERROR_PATH_NOT_FOUND;
    error = EmptyAndRemove(path, parent.c_str());
  }
  // "Already exists" or "access denied" from here on are failures: the run
  // writes into no folder but the one it makes now.
  return error != 0 ? error : MakeOwnFolder(path, token, ownerSet);
}

}  // namespace

DWORD OpenRunFolder(const char* path, RunFolder use, HANDLE* held) {
  *held = INVALID_HANDLE_VALUE;
  Token token;
  bool ownerSet = false;
  DWORD error = 0;
  if (use == RunFolder::kOwn) {
    error = ReadToken(&token) ? MakeOwnFolderAnew(path, token, &ownerSet) : LastErrorOrFailed();
  } else if (use == RunFolder::kShared && !CreateDirectoryA(path, nullptr) &&
             GetLastError() != ERROR_ALREADY_EXISTS) {
    error = LastErrorOrFailed();
  }
  if (error != 0) return error;
  // A link by name is refused at once; the handle decides the rest: the
  // name can change until the folder is held, not after.
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrorOrFailed();
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ERROR_STOPPED_ON_SYMLINK;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_PATH_NOT_FOUND;
  *held = OpenFolderHandle(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL);
  if (*held == INVALID_HANDLE_VALUE) return LastErrorOrFailed();
  error = CheckHeldFolder(*held, path);
  // No process without administrator rights can make a folder owned as the
  // run's own is, so one swapped in between the make and the open shows.
  if (error == 0 && ownerSet) error = CheckOwner(*held, token);
  if (error != 0) ReleaseRunFolder(held);
  return error;
}

bool TakeRunFolder(const char* path, RunFolder use, HANDLE* held) {
  DWORD error = OpenRunFolder(path, use, held);
  if (error != 0) {
    SetLastError(error);
    ExtractFailure(kCreateLabel);
  }
  return true;
}

