#include "updater/updater_phase.h"

#include "driver/build_profile.h"
#include "engine/installer_tool.h"
#include "engine/process_runner.h"
#include "payload/payload_catalogue.h"
#include "payload/resource_file.h"
#include "payload/folder_chain.h"
#include "payload/user_data_folder.h"
#include "platform/fixed_text.h"
#include "state/product_probes.h"

void UpdaterPhase(HMODULE module) {
  PathText tool, userFolder, updaterFolder, packagePath, cabinetPath;
  LocateInstallerTool(tool.data(), static_cast<DWORD>(PathText::kBytes));
  ResolveUserDataFolder(&userFolder);
  // Without a folder the updater would go to the root of the current drive.
  if (userFolder.empty()) return;
  // The data, maker and product folders are held as they are (made if
  // missing), the updater folder is made anew as the run's own; all are held
  // while the updater is written and installed. A path that does not fit
  // stays empty, which the file write refuses as an over-long name.
  HeldFolders held;
  PathText names[HeldFolders::kLevels];
  if (FolderChainNames(userFolder.c_str(), "AU", names)) {
    TakeFolderChain(userFolder.c_str(), "AU", false, RunFolder::kShared, RunFolder::kOwn, &held);
    if (updaterFolder.format("%s\\", held.names[3].c_str())) {
      packagePath.format("%sau.msi", updaterFolder.c_str());
      cabinetPath.format("%sau.cab", updaterFolder.c_str());
    }
  }
  WriteResourceToFile(module, kUpdaterCabinet.number, kUpdaterCabinet.type, cabinetPath.c_str());
  if (!WriteResourceToFile(module, kUpdaterPackage.number, kUpdaterPackage.type, packagePath.c_str())) return;

  if (IsUpdaterOlder()) RemoveOldUpdater();

  CommandText command;
  if (command.format("\"%s\" /i \"%s\" ALLUSERS=1 /qn", tool.c_str(), packagePath.c_str()))
    ProcessRunner(command.data());

  PathText commonFiles;
  if (SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, commonFiles.data()) < 0) return;
  if (command.format("\"%s\\Vesk\\Vesk Update\\kwinpo.exe\" -r %s %s", commonFiles.c_str(), kProfile.runtimeTag,
                     kProfile.fullVersion))
    ProcessRunner(command.data());
}

DWORD RemoveOldUpdater() {
  CommandText tool;
  LocateInstallerTool(tool.data(), static_cast<DWORD>(CommandText::kBytes));
  CommandText commandLine;
  commandLine.format(" /x %s /qn", kProfile.oldUpdaterProductCode);
  ChildOutcome removal = RunChild(tool.c_str(), commandLine.data(), ChildWait::kPumpMessages);
  if (!removal.started) return removal.startError;
  return removal.codeRead ? removal.exitCode : 0;
}
