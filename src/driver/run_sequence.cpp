#include "driver/run_sequence.h"

#include "driver/build_profile.h"
#include "driver/command_line.h"
#include "driver/install_options.h"
#include "driver/main_command_line.h"
#include "driver/run_admission.h"
#include "diag/system_library.h"
#include "engine/installer_tool.h"
#include "engine/process_runner.h"
#include "engine/silent_followups.h"
#include "payload/cabinet_extractor.h"
#include "payload/payload_catalogue.h"
#include "payload/resource_file.h"
#include "payload/staging_dir.h"
#include "platform/fixed_text.h"
#include "state/product_probes.h"
#include "state/settings.h"
#include "updater/updater_phase.h"

namespace {

// The installer tool's path, one per process.
PathText g_installerTool;

}  // namespace

int RunSequence(HINSTANCE instance) {
  // Before any library is loaded at run time: no library is ever looked for
  // in the current directory.
  SetLibrarySearchDirectory("");

  InstallOptions options;
  PassThroughArgs passThrough;
  int exitCode = 1;

  // The default language, the option defaults and the parse. Options that do
  // not fit their texts end the run before anything is written.
  if (!ReadInstallOptions(&options, &passThrough)) return ERROR_INVALID_COMMAND_LINE;

  bool is64Bit = Is64BitFlavour();

  if (!InstallerVersionGate()) {
    CommandText message;
    LoadStringA(instance, kVersionMessageString, message.data(), static_cast<int>(CommandText::kBytes));
    MessageBoxA(nullptr, message.c_str(), "", MB_OK | MB_ICONERROR);
    return -2;
  }

  // Not elevated where Windows elevates, or another run of the user going
  // on: nothing is written.
  DWORD admission = AdmitRun();
  if (admission != 0) return static_cast<int>(admission);

  HANDLE cabinetThread = nullptr;
  PathText packagePath;
  // The staging folders stay held, and so cannot be swapped, until the
  // cleanup.
  HeldFolders staging;
  PreparePackagePath(&packagePath, is64Bit, &staging);
  if (WriteResourceToFile(instance, kMainPackage.number, kMainPackage.type, packagePath.c_str())) {
    g_installerTool.clear();
    if (!LocateInstallerTool(g_installerTool.data(), static_cast<DWORD>(PathText::kBytes))) return -3;

    bool defaultsFit = ApplySilentDefaults(options, &passThrough);  // only in silent mode
    // A 32-bit process's writes under the system directory are redirected
    // to SysWOW64 on 64-bit Windows, and a tool from there is told so. A
    // 64-bit process has no redirection of its own: its package path names
    // the folder as it is.
    if (!is64Bit) PackagePathForTool(&packagePath, g_installerTool.c_str());

    CommandText mainCommandLine;
    if (!defaultsFit || !BuildMainCommandLine(&mainCommandLine, g_installerTool.c_str(), packagePath.c_str(),
                                              options.language, passThrough.c_str())) {
      exitCode = ERROR_INVALID_COMMAND_LINE;
    } else {
      // The event exists before the thread can set it; its handle stays open
      // to the end of the process. The installer starts while the thread
      // writes the cabinets.
      CreateReadyEvent();
      cabinetThread = StartCabinetThread(instance);
      exitCode = static_cast<int>(ProcessRunner(mainCommandLine.data()));

      // The package may ask for one more run of the same command line.
      if (ConsumeReinstallRequest()) exitCode = static_cast<int>(ProcessRunner(mainCommandLine.data()));

      // Silent runs install the follow-up packages whatever the exit code.
      SilentFollowUps(options, g_installerTool.c_str());

      // The probe is made only after a successful install.
      if (exitCode == 0 && IsRuntimeRegistered() && !is64Bit) UpdaterPhase(instance);
    }
  }

  // The thread may still be writing (the installer did not start, or ended
  // before it waited for the cabinets): it stops, and the cleanup waits for
  // it, so that no folder is taken from under it. When its end cannot be
  // awaited, the staging directory stays.
  bool alone = EndCabinetThread(cabinetThread);
  // The cleanup lets go of the held folders itself, level by level; when it
  // does not run they go at the return.
  if (alone) RemoveStagingDir(kKitStaging, &staging);
  return exitCode;
}
