#include "payload/run_folder.h"

#include "diag/system_library.h"
#include "payload/failure_report.h"
#include "payload/file_names.h"
#include "payload/final_path.h"
#include "payload/resource_file.h"
#include "payload/retire_name.h"
#include "platform/native_files.h"

namespace {

// A real folder, not a link, by its name: what Wine shows of a link, which
// its handles do not show.
DWORD CheckName(const char* path) {
  DWORD attributes = 0;
  DWORD error = AttributesByName(path, &attributes);
  if (error != 0) return error;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ERROR_STOPPED_ON_SYMLINK;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_PATH_NOT_FOUND;
  return 0;
}

// A real folder, not a link, by its handle.
DWORD CheckHandle(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(folder, &info)) return LastErrorOrFailed();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ERROR_STOPPED_ON_SYMLINK;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_PATH_NOT_FOUND;
  return 0;
}

// "C:\" for "C:\...", "\\server\share\" for "\\server\share\...": the root
// the volume calls are asked about.
bool RootOf(const char* path, PathText* root) {
  if (path[0] != '\0' && path[1] == ':') return root->format("%c:\\", path[0]);
  if (path[0] != '\\' || path[1] != '\\') return false;
  int slashes = 0;
  size_t n = 0;
  for (; path[n] != '\0' && slashes < 4; ++n)
    if (path[n] == '\\') ++slashes;
  if (!root->assign(path)) return false;
  if (slashes < 4) return root->append("\\");
  root->data()[n] = '\0';
  return true;
}

// Whether `path` lies on a remote volume: a share, or a drive that leads to
// one.
bool OnRemoteVolume(const char* path) {
  if (path[0] == '\\' && path[1] == '\\') return true;
  PathText root;
  if (!RootOf(path, &root)) return false;
  GetDriveTypeA_fn driveType = reinterpret_cast<GetDriveTypeA_fn>(LoadedSystemEntry("kernel32.dll", "GetDriveTypeA"));
  return driveType != nullptr && driveType(root.c_str()) == kDriveRemote;
}

// Whether the volume of the held `folder` (at `path`) keeps security
// (FILE_PERSISTENT_ACLS): by the handle where the system can tell it so
// (Windows 6 and later, which also sees a volume mounted below a drive's
// root), else by the root of `path`. Returns 0 or the error.
DWORD CheckVolumeSecurity(HANDLE folder, const char* path) {
  GetVolumeInformationByHandleW_fn byHandle = reinterpret_cast<GetVolumeInformationByHandleW_fn>(
      LoadedSystemEntry("kernel32.dll", "GetVolumeInformationByHandleW"));
  GetVolumeInformationA_fn byRoot =
      reinterpret_cast<GetVolumeInformationA_fn>(LoadedSystemEntry("kernel32.dll", "GetVolumeInformationA"));
  DWORD flags = 0;
  PathText root;
  bool read = byHandle != nullptr ? byHandle(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) != FALSE
                                  : byRoot != nullptr && RootOf(path, &root) &&
                                        byRoot(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) != FALSE;
  return !read ? LastErrorOrFailed() : (flags & kFilePersistentAcls) == 0 ? ERROR_NO_SECURITY_ON_OBJECT : 0;
}

}  // namespace

DWORD OpenDataFolder(const char* path, bool make, const Token& token, HANDLE* held, PathText* base) {
  *held = INVALID_HANDLE_VALUE;
  base->clear();
  // A server decides what the installer reads from it, and takes no owner
  // from the run: an elevated run writes nothing there, not even the folder.
  if (token.administrator && OnRemoteVolume(path)) return ERROR_NOT_SUPPORTED;
  if (make) CreateDirectoryA(path, nullptr);  // the user's, as the shell would make it
  // A link by name is refused at once; the handle decides the rest: the
  // name can change until the folder is held, not after.
  DWORD error = CheckName(path);
  if (error != 0) return error;
  *held = OpenFolderHandle(path, kHoldAccess);
  if (*held == INVALID_HANDLE_VALUE) return LastErrorOrFailed();
  error = CheckHandle(*held);
  PathText final;
  if (error == 0) {
    error = FinalPathOf(*held, &final);
    if (error == ERROR_NOT_SUPPORTED) error = 0;
  }
  if (error == 0 && token.administrator) {
    // A drive letter that leads to a share shows as one by its final path.
    if (final.c_str()[0] == '\\' && final.c_str()[1] == '\\') error = ERROR_NOT_SUPPORTED;
    else error = CheckVolumeSecurity(*held, final.empty() ? path : final.c_str());
  }
  if (error == 0 && !base->assign(final.empty() || lstrcmpiA(final.c_str(), path) == 0 ? path : final.c_str()))
    error = ERROR_FILENAME_EXCED_RANGE;
  if (error != 0) ReleaseRunFolder(held);
  return error;
}

DWORD OpenFolderBelow(HANDLE parent, const char* parentPath, const char* leaf, RunFolder use, const Token& token,
                      HANDLE* held) {
  *held = INVALID_HANDLE_VALUE;
  PathText path;
  if (!path.format("%s\\%s", parentPath, leaf)) return ERROR_FILENAME_EXCED_RANGE;
  bool ownerSet = false;
  DWORD error = 0;
  if (use == RunFolder::kOwn) {
    error = RetireFolder(parent, parentPath, leaf, token);
    // "Already exists" from here on is a failure: the run writes into no
    // folder but the one it makes now.
    if (error == 0)
      error = MakeOwnFolderBelow(parent, leaf, path.c_str(), token, kHoldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 held, &ownerSet);
  } else {
    error = CheckName(path.c_str());
    // A missing maker or product folder is made below, as the user's.
    if (use == RunFolder::kShared && error == ERROR_FILE_NOT_FOUND) error = 0;
    NativeOpen how;
    how.access = kHoldAccess;
    how.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    how.disposition = use == RunFolder::kShared ? kNtOpenIf : kNtOpen;
    how.options = kNtDirectoryFile;
    if (error == 0) error = OpenBelow(parent, leaf, how, held);
  }
  if (error != 0) return error;
  // Made or opened below the held parent, not through a link there; what the
  // name led to before is checked once more by the handle.
  error = CheckHandle(*held);
  if (error == 0) error = CheckFinalPath(*held, path.c_str());
  // No process without administrator rights can make a folder owned as the
  // run's own is.
  if (error == 0 && ownerSet) error = CheckOwner(*held, token);
  if (error != 0) ReleaseRunFolder(held);
  return error;
}

bool TakeRunFolder(DWORD error) {
  if (error != 0) {
    SetLastError(error);
    ExtractFailure(kCreateLabel);
  }
  return true;
}
