#include "engine/silent_followups.h"

#include "engine/process_runner.h"
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

void DeleteIfFormed(const CommandText& path) {
  if (!path.empty()) DeleteFileA(path.c_str());
}

}  // namespace

bool FileExists(const char* path) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(path, &entry);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

void SilentFollowUps(const InstallOptions& options, const char* installerTool) {
  if (!options.silent) return;
  CommandText kitHome;
  if (!ReadKitHome(kitHome.data(), static_cast<DWORD>(CommandText::kBytes))) return;

  CommandText runtimePackage, runtimeTransform, runtimeCommand, databasePackage, databaseCommand, deletion;

  if (runtimePackage.format("%s\\zlp.msi", kitHome.c_str()) && FileExists(runtimePackage.c_str())) {
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
  }

  if (databasePackage.format("%s\\veskdb.msi", kitHome.c_str()) && FileExists(databasePackage.c_str())) {
    if (databaseCommand.format("\"%s\" /i \"%s\" /qn", installerTool, databasePackage.c_str()) &&
        AppendInstallDir(&databaseCommand, options.databaseInstallDir))
      ProcessRunner(databaseCommand.data());
  }

  DeleteIfFormed(runtimePackage);
  DeleteIfFormed(databasePackage);
  if (deletion.format("%s\\%s", kitHome.c_str(), "zlp2052.MST")) DeleteFileA(deletion.c_str());
  if (deletion.format("%s\\%s", kitHome.c_str(), "zlp1041.MST")) DeleteFileA(deletion.c_str());
}
