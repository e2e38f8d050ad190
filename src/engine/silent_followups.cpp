#include "engine/silent_followups.h"

#include "engine/process_runner.h"
#include "payload/file_identity.h"
#include "payload/file_names.h"
#include "payload/final_path.h"
#include "payload/folder_handle.h"
#include "platform/native_files.h"
#include "platform/win32.h"
#include "state/product_probes.h"

namespace {

// Appends " INSTALLDIR=<folder>" when a folder was given.
bool AppendInstallDir(CommandText* command, const CommandText& folder) {
  if (folder.empty()) return true;
  CommandText joined = *command;
  if (!joined.append(" INSTALLDIR=") || !joined.append(folder.c_str())) return false;
  *command = joined;
  return true;
}

// The kit's folder, held while the phase works in it. The kit may have been
// installed where the user can write (a folder right below a drive's root
// lets every user change its files), so nothing is done there by path: the
// folder is held, checked as the data folder is (a real folder, not a link,
// by name and by handle; on Windows 6 and later its own final path is where
// the names below it must be found), and each file is reached below that
// handle.
struct KitFolder {
  HeldHandle held;
  PathText anchor;
};

bool HoldKitFolder(const char* path, KitFolder* kit) {
  DWORD attributes = 0;
  if (AttributesByName(path, &attributes) != 0 ||
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != FILE_ATTRIBUTE_DIRECTORY)
    return false;
  kit->held.handle = OpenFolderHandle(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES);
  BY_HANDLE_FILE_INFORMATION info = {};
  bool ok = kit->held.handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(kit->held.handle, &info) &&
            (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
                FILE_ATTRIBUTE_DIRECTORY;
  if (ok) {
    DWORD error = FinalPathOf(kit->held.handle, &kit->anchor);
    ok = (error == 0 || (error == ERROR_NOT_SUPPORTED && kit->anchor.assign(path)));
  }
  if (!ok) kit->held.Release();
  return ok;
}

// A follow-up package, held from its check until its installer has ended.
// The installer opens a package for reading and lets others only read it
// (Windows Installer asks for GENERIC_READ with FILE_SHARE_READ), so the
// hold reads and lets others read: nobody can write it, delete it or rename
// it meanwhile, and the installer still opens it.
struct HeldPackage {
  HeldHandle file;
  FileIdentity identity;
};

// Holds `name` below the kit folder: a plain file, not a link, found at the
// kit's anchor plus its name.
bool HoldPackage(const KitFolder& kit, const char* name, HeldPackage* package) {
  NativeOpen how;
  how.access = GENERIC_READ;
  how.share = FILE_SHARE_READ;
  how.options = kNtNonDirectoryFile;
  PathText expected;
  BY_HANDLE_FILE_INFORMATION info = {};
  HANDLE& file = package->file.handle;
  bool ok = expected.format("%s\\%s", kit.anchor.c_str(), name) && OpenBelow(kit.held.handle, name, how, &file) == 0 &&
            GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
            CheckFinalPath(file, expected.c_str()) == 0 && IdentityOf(file, &package->identity);
  if (!ok) {
    package->file.Release();
    package->identity = FileIdentity{};
  }
  return ok;
}

// Deletes `name` below the kit folder through a handle on the name itself,
// when it is the file `expected` (any file of that name when null).
void DeleteBelowKit(const KitFolder& kit, const char* name, const FileIdentity* expected) {
  NativeOpen how;
  how.access = kAccessDelete | FILE_READ_ATTRIBUTES;
  how.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  how.options = kNtNonDirectoryFile;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (OpenBelow(kit.held.handle, name, how, &file) != 0) return;
  FileIdentity found;
  if (expected == nullptr || (IdentityOf(file, &found) && found == *expected)) DeleteByHandle(file);
  CloseHandle(file);
}

}  // namespace

void SilentFollowUps(const InstallOptions& options, const char* installerTool) {
  if (!options.silent) return;
  CommandText kitHome;
  if (!ReadKitHome(kitHome.data(), static_cast<DWORD>(CommandText::kBytes))) return;
  KitFolder kit;
  if (!HoldKitFolder(kitHome.c_str(), &kit)) return;

  CommandText runtimePackage, runtimeTransform, runtimeCommand, databasePackage, databaseCommand;
  HeldPackage runtime, database;

  if (runtimePackage.format("%s\\zlp.msi", kitHome.c_str()) && HoldPackage(kit, "zlp.msi", &runtime)) {
    bool formed;
    if (options.language == 1033) {
      formed = runtimeCommand.format("\"%s\" /i \"%s\" /qn ADDLOCAL=ALL SDKSILENT=1", installerTool,
                                     runtimePackage.c_str());
    } else {
      formed = runtimeTransform.format("%s\\zlp%u.MST", kitHome.c_str(), static_cast<unsigned>(options.language)) &&
               runtimeCommand.format("\"%s\" /i \"%s\" TRANSFORMS=\"%s\" /qn ADDLOCAL=ALL SDKSILENT=1", installerTool,
                                     runtimePackage.c_str(), runtimeTransform.c_str());
    }
    if (formed && AppendInstallDir(&runtimeCommand, options.runtimeInstallDir)) ProcessRunner(runtimeCommand.data());
    runtime.file.Release();
  }

  if (databasePackage.format("%s\\veskdb.msi", kitHome.c_str()) && HoldPackage(kit, "veskdb.msi", &database)) {
    if (databaseCommand.format("\"%s\" /i \"%s\" /qn", installerTool, databasePackage.c_str()) &&
        AppendInstallDir(&databaseCommand, options.databaseInstallDir))
      ProcessRunner(databaseCommand.data());
    database.file.Release();
  }

  // Each package only when it is still the file that was held; the
  // transforms as they are, each as itself.
  if (runtime.identity.known) DeleteBelowKit(kit, "zlp.msi", &runtime.identity);
  if (database.identity.known) DeleteBelowKit(kit, "veskdb.msi", &database.identity);
  DeleteBelowKit(kit, "zlp2052.MST", nullptr);
  DeleteBelowKit(kit, "zlp1041.MST", nullptr);
}
