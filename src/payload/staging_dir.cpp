#include "payload/staging_dir.h"

#include "driver/build_profile.h"
#include "payload/run_folder.h"
#include "payload/user_data_folder.h"
#include "platform/win32.h"

namespace {

// Each step formats the text so far into itself, then makes or takes over
// that folder.
bool Step(PathText* text, HANDLE* held, const char* format, const char* a = "", const char* b = "",
          const char* c = "") {
  if (!text->format(format, text->c_str(), a, b, c)) return false;
  return TakeRunFolder(text->c_str(), held);
}

// The maker, product and staging folders below the data folder in `path`,
// then the file name: the package's, or a cabinet's when `baseName` is set.
void PrepareStagingPath(PathText* path, const char* baseName, bool is64Bit, HeldFolders* held) {
  held->Release();
  HANDLE* f = held->folder;
  bool fits = Step(path, &f[0], "%s\\Qor\\") && Step(path, &f[1], "%sVesk\\") &&
              Step(path, &f[2], "%s%s%s%s", kProfile.productTag, kProfile.version, is64Bit ? kProfile.suffix64 : "") &&
              (baseName == nullptr ? path->format("%s\\%s%s.msi", path->c_str(), kProfile.productTag, kProfile.version)
                                   : path->format("%s\\%s.cab", path->c_str(), baseName));
  if (!fits) path->clear();
}

}  // namespace

void PreparePackagePath(PathText* path, bool is64Bit, HeldFolders* held) {
  path->clear();
  ResolveUserDataFolder(path);
  // Without a folder every path would start at the root of the current drive.
  if (path->empty()) return;
  CreateDirectoryA(path->c_str(), nullptr);
  PrepareStagingPath(path, nullptr, is64Bit, held);
}

void PrepareCabinetPath(PathText* path, const char* baseName, bool is64Bit, HeldFolders* held) {
  path->clear();
  ResolveUserDataFolder(path);
  if (path->empty()) return;
  PrepareStagingPath(path, baseName, is64Bit, held);
}

int RemoveStagingDir(int kitSelector) {
  const char* suffix = Is64BitFlavour() ? kProfile.suffix64 : "";
  PathText folder;
  ResolveUserDataFolder(&folder);
  if (folder.empty()) return 0;
  CommandText maker, product, staging;
  if (!maker.format("%s\\Qor\\", folder.c_str()) || !product.format("%sVesk\\", maker.c_str()) ||
      !staging.format("%s%s%s%s", product.c_str(), kitSelector != 0 ? kProfile.productTag : kProfile.runtimeTag,
                      kProfile.version, suffix))
    return 0;
  // A link where one of the folders belongs is left alone: nothing is
  // deleted or removed through it, and nothing above it either.
  if (!IsRealFolder(maker.c_str()) || !IsRealFolder(product.c_str()) || !IsRealFolder(staging.c_str())) return 0;
  DeleteFilesInFolder(staging.c_str());
  RemoveDirectoryA(staging.c_str());
  RemoveDirectoryA(product.c_str());
  RemoveDirectoryA(maker.c_str());
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
