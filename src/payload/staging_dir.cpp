#include "payload/staging_dir.h"

#include "driver/build_profile.h"
#include "payload/file_identity.h"
#include "payload/file_names.h"
#include "platform/native_files.h"
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
// opened must be that one. Names that would not fit leave `path` empty.
void TakeStagingChain(PathText* path, const char* baseName, bool is64Bit, RunFolder shared, RunFolder staging,
                      HeldFolders* held) {
  PathText leaf, names[HeldFolders::kLevels];
  bool fits = StagingLeaf(kProfile.productTag, is64Bit, &leaf) && FolderChainNames(path->c_str(), leaf.c_str(), names);
  if (fits) {
    TakeFolderChain(path->c_str(), leaf.c_str(), staging == RunFolder::kOwn, shared, staging, held);
    FileIdentity found;
    if (!IdentityOf(held->folder[3], &found)) ExtractFailure(kCreateLabel);
    if (staging == RunFolder::kOwn) {
      g_staging = found;
    } else if (!(found == g_staging)) {
      SetLastError(ERROR_STOPPED_ON_SYMLINK);
      ExtractFailure(kCreateLabel);
    }
  }
  const char* folder = held->names[3].c_str();
  fits = fits && (baseName == nullptr ? path->format("%s\\%s%s.msi", folder, kProfile.productTag, kProfile.version)
                                      : path->format("%s\\%s.cab", folder, baseName));
  if (!fits) path->clear();
}

// Removes the folder `leaf` below the held `parent` when it is still the
// folder `expected` and empty: opened below the parent for deletion, its
// identity compared, then deleted by that handle.
void RemoveFolderBelow(HANDLE parent, const char* leaf, const FileIdentity& expected) {
  NativeOpen how;
  how.access = kAccessDelete | FILE_READ_ATTRIBUTES;
  how.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  how.options = kNtDirectoryFile;
  HANDLE folder = INVALID_HANDLE_VALUE;
  if (OpenBelow(parent, leaf, how, &folder) != 0) return;
  FileIdentity found;
  if (IdentityOf(folder, &found) && found == expected) DeleteByHandle(folder);
  CloseHandle(folder);
}

}  // namespace

void PreparePackagePath(PathText* path, bool is64Bit, HeldFolders* held) {
  held->Release();
  path->clear();
  DWORD refusal = 0;
  ResolveUserDataFolder(path, &refusal);
  if (refusal != 0) TakeRunFolder(refusal);
  // Without a folder every path would start at the root of the current drive.
  if (path->empty()) return;
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
  PathText data, leaf;
  ResolveUserDataFolder(&data);
  if (data.empty() || !StagingLeaf(kitSelector != 0 ? kProfile.productTag : kProfile.runtimeTag, Is64BitFlavour(), &leaf)) {
    held->Release();
    return 0;
  }
  // Each level is opened anew and checked; where the caller holds it, the
  // name must lead to the very folder held, so that nothing is deleted
  // in a folder that the names have come to lead to instead.
  HeldFolders own;
  const int staging = HeldFolders::kLevels - 1;
  int reached = 0;
  DWORD error = OpenFolderChain(data.c_str(), leaf.c_str(), false, RunFolder::kExisting, RunFolder::kExisting, &own,
                                &reached);
  int checked = error == 0 ? HeldFolders::kLevels : reached;
  for (int i = 0; i < checked; ++i) {
    if (held->folder[i] != INVALID_HANDLE_VALUE && !SameFile(held->folder[i], own.folder[i])) {
      checked = i;
      error = ERROR_STOPPED_ON_SYMLINK;
    }
  }
  // Without a staging directory its parents are still removed when empty.
  bool missing = checked == staging && error == ERROR_FILE_NOT_FOUND;
  if (checked == HeldFolders::kLevels || missing) {
    if (!missing) DeletePlainFilesBelow(own.folder[staging]);
    // Bottom-up: each level is let go and removed while the one above it is
    // still held, through that one's handle.
    const char* const leaves[HeldFolders::kLevels] = {nullptr, "Qor", "Vesk", leaf.c_str()};
    for (int i = missing ? staging - 1 : staging; i >= 1; --i) {
      FileIdentity identity;
      bool known = IdentityOf(own.folder[i], &identity);
      ReleaseRunFolder(&own.folder[i]);
      ReleaseRunFolder(&held->folder[i]);
      if (known) RemoveFolderBelow(own.folder[i - 1], leaves[i], identity);
    }
  }
  own.Release();
  held->Release();
  return 0;
}

int DeleteFilesInFolder(const char* folder) {
  HANDLE held = OpenFolderHandle(folder, kHoldAccess);
  if (held == INVALID_HANDLE_VALUE) return 1;
  int result = DeletePlainFilesBelow(held);
  CloseHandle(held);
  return result;
}

void ForgetStagingDirectoryForTesting() { g_staging = FileIdentity{}; }
