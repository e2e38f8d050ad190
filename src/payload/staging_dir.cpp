#include "payload/staging_dir.h"

#include "driver/build_profile.h"
#include "payload/resource_file.h"
#include "payload/user_data_folder.h"
#include "platform/win32.h"

namespace {

// The staging directory PreparePackagePath made: its volume and file index.
// Written on the main thread before the cabinet thread starts.
struct FolderIdentity {
  bool known = false;
  DWORD volume = 0, high = 0, low = 0;
};
FolderIdentity g_staging;

bool IdentityOf(HANDLE folder, FolderIdentity* id) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(folder, &info)) return false;
  id->known = true;
  id->volume = info.dwVolumeSerialNumber;
  id->high = info.nFileIndexHigh;
  id->low = info.nFileIndexLow;
  return true;
}

// Each step formats the text so far into itself, then makes or opens that
// folder as `use` says and holds it.
bool Step(PathText* text, HANDLE* held, RunFolder use, const char* format, const char* a = "", const char* b = "",
          const char* c = "") {
  return text->format(format, text->c_str(), a, b, c) && TakeRunFolder(text->c_str(), use, held);
}

// The data folder in `path` and the three folders below it, held in turn
// (the data and staging folders as given, the maker and product folders as
// `shared` says), then the file name: the package's, or a cabinet's when
// `baseName` is set.
void TakeStagingChain(PathText* path, const char* baseName, bool is64Bit, RunFolder shared, RunFolder staging,
                      HeldFolders* held) {
  HANDLE* f = held->folder;
  bool fits = TakeRunFolder(path->c_str(), RunFolder::kExisting, &f[0]) && Step(path, &f[1], shared, "%s\\Qor") &&
              Step(path, &f[2], shared, "%s\\Vesk") &&
              Step(path, &f[3], staging, "%s\\%s%s%s", kProfile.productTag, kProfile.version,
                   is64Bit ? kProfile.suffix64 : "");
  if (fits && staging == RunFolder::kOwn) {
    if (!IdentityOf(f[3], &g_staging)) ExtractFailure(kCreateLabel);
  } else if (fits) {
    FolderIdentity found;
    if (!IdentityOf(f[3], &found)) ExtractFailure(kCreateLabel);
    if (!g_staging.known || found.volume != g_staging.volume || found.high != g_staging.high ||
        found.low != g_staging.low) {
      SetLastError(ERROR_STOPPED_ON_SYMLINK);
      ExtractFailure(kCreateLabel);
    }
  }
  fits = fits && (baseName == nullptr
                      ? path->format("%s\\%s%s.msi", path->c_str(), kProfile.productTag, kProfile.version)
                      : path->format("%s\\%s.cab", path->c_str(), baseName));
  if (!fits) path->clear();
}

}  // namespace

void PreparePackagePath(PathText* path, bool is64Bit, HeldFolders* held) {
  held->Release();
  path->clear();
  ResolveUserDataFolder(path);
  // Without a folder every path would start at the root of the current drive.
  if (path->empty()) return;
  CreateDirectoryA(path->c_str(), nullptr);
  TakeStagingChain(path, nullptr, is64Bit, RunFolder::kShared, RunFolder::kOwn, held);
}

void PrepareCabinetPath(PathText* path, const char* baseName, bool is64Bit, HeldFolders* held) {
  held->Release();
  path->clear();
  ResolveUserDataFolder(path);
  if (path->empty()) return;
  TakeStagingChain(path, baseName, is64Bit, RunFolder::kExisting, RunFolder::kExisting, held);
}

int RemoveStagingDir(int kitSelector, HeldFolders* held) {
  HeldFolders none;
  if (held == nullptr) held = &none;
  const char* suffix = Is64BitFlavour() ? kProfile.suffix64 : "";
  PathText names[HeldFolders::kLevels];
  ResolveUserDataFolder(&names[0]);
  if (names[0].empty() || !names[1].format("%s\\Qor", names[0].c_str()) ||
      !names[2].format("%s\\Vesk", names[1].c_str()) ||
      !names[3].format("%s\\%s%s%s", names[2].c_str(), kitSelector != 0 ? kProfile.productTag : kProfile.runtimeTag,
                       kProfile.version, suffix)) {
    held->Release();
    return 0;
  }
  // Each level is opened anew and checked; where the caller holds it, the
  // name must lead to the very folder held, so that nothing is deleted
  // through a name that has come to lead elsewhere.
  HeldFolders own;
  const int staging = HeldFolders::kLevels - 1;
  int checked = 0;
  DWORD error = 0;
  for (; checked < HeldFolders::kLevels; ++checked) {
    error = OpenRunFolder(names[checked].c_str(), RunFolder::kExisting, &own.folder[checked]);
    if (error == 0 && held->folder[checked] != INVALID_HANDLE_VALUE &&
        !SameFile(held->folder[checked], own.folder[checked]))
      error = ERROR_STOPPED_ON_SYMLINK;
    if (error != 0) break;
  }
  // Without a staging directory its parents are still removed when empty.
  bool missing = checked == staging && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
  if (checked == HeldFolders::kLevels || missing) {
    if (!missing) DeleteFilesInFolder(names[staging].c_str());
    // Bottom-up: each level is let go and removed while the one above it is
    // still held, so its name still leads where it did.
    for (int i = staging; i >= 1; --i) {
      ReleaseRunFolder(&own.folder[i]);
      ReleaseRunFolder(&held->folder[i]);
      RemoveDirectoryA(names[i].c_str());
    }
  }
  own.Release();
  held->Release();
  return 0;
}

int DeleteFilesInFolder(const char* folder) {
  int result = 1;
  CommandText pattern;
  if (!pattern.format("%s\\*.*", folder)) return result;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return result;
  do {
    // Folders stay, and so do links, which are not followed.
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    CommandText file;
    if (!file.format("%s\\%s", folder, entry.cFileName) || !DeleteFileA(file.c_str())) result = 0;
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return result;
}

void ForgetStagingDirectory() { g_staging = FolderIdentity{}; }
