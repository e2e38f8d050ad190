#include "payload/staging_dir.h"

#include "driver/build_profile.h"
#include "payload/file_identity.h"
#include "payload/file_names.h"
#include "payload/resource_file.h"
#include "payload/user_data_folder.h"
#include "platform/win32.h"

namespace {

// The staging directory PreparePackagePath made. Written on the main thread
// before the cabinet thread starts.
FileIdentity g_staging;

// The staging directory's name: the tag, the version and, in the 64-bit
// flavour, the suffix ("qmb1.6.0_39", "zlp1.6.0_39_x64").
bool StagingLeaf(const char* tag, bool is64Bit, PathText* leaf) {
  return leaf->format("%s%s%s", tag, kProfile.version, is64Bit ? kProfile.suffix64 : "");
}

// The data folder in `path` and the three folders below it, held in turn
// (the maker and product folders as `shared` says, the staging directory as
// `staging` says), then the file name: the package's, or a cabinet's when
// `baseName` is set. The staging directory made anew is recorded; one only
// opened must be that one.
void TakeStagingChain(PathText* path, const char* baseName, bool is64Bit, RunFolder shared, RunFolder staging,
                      HeldFolders* held) {
  PathText leaf, names[HeldFolders::kLevels];
  bool fits = StagingLeaf(kProfile.productTag, is64Bit, &leaf) && FolderChainNames(path->c_str(), leaf.c_str(), names);
  if (fits) {
    TakeFolderChain(names, shared, staging, held);
    FileIdentity found;
    if (!IdentityOf(held->folder[3], &found)) ExtractFailure(kCreateLabel);
    if (staging == RunFolder::kOwn) {
      g_staging = found;
    } else if (!(found == g_staging)) {
      SetLastError(ERROR_STOPPED_ON_SYMLINK);
      ExtractFailure(kCreateLabel);
    }
  }
  fits = fits && (baseName == nullptr
                      ? path->format("%s\\%s%s.msi", names[3].c_str(), kProfile.productTag, kProfile.version)
                      : path->format("%s\\%s.cab", names[3].c_str(), baseName));
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
  PathText data, leaf, names[HeldFolders::kLevels];
  ResolveUserDataFolder(&data);
  if (!StagingLeaf(kitSelector != 0 ? kProfile.productTag : kProfile.runtimeTag, Is64BitFlavour(), &leaf) ||
      !FolderChainNames(data.c_str(), leaf.c_str(), names)) {
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
  ForEachEntry(folder, [&](const WIN32_FIND_DATAA& entry) {
    // Folders stay, and so do links, which are not followed.
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return;
    CommandText file;
    if (!file.format("%s\\%s", folder, entry.cFileName) || !DeleteFileA(file.c_str())) result = 0;
  });
  return result;
}

void ForgetStagingDirectoryForTesting() { g_staging = FileIdentity{}; }
