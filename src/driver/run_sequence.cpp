#include "driver/run_sequence.h"

#include "driver/build_profile.h"
#include "driver/install_options.h"
#include "driver/main_command_line.h"
#include "diag/system_library.h"
#include "engine/installer_tool.h"
#include "engine/process_runner.h"
#include "payload/cabinet_extractor.h"
#include "payload/payload_catalogue.h"
#include "payload/resource_file.h"
#include "payload/staging_dir.h"
#include "platform/fixed_text.h"

namespace {

// The installer tool's path, one per process.
PathText g_installerTool;

bool Contains(const char* text, const char* part) {
  int n = lstrlenA(part);
  for (const char* p = text; *p != '\0'; ++p) {
    int i = 0;
    while (i < n && p[i] == part[i]) ++i;
    if (i == n) return true;
  }
  return false;
}

}  // namespace

int RunSequence(HINSTANCE instance) {
  // Before any library is loaded at run time: no library is ever looked for
  // in the current directory.
  SetLibrarySearchDirectory("");

  InstallOptions options;
  PassThroughArgs passThrough;
  int exitCode = 1;

  bool is64Bit = Is64BitFlavour();

  if (!InstallerVersionGate()) {
    CommandText message;
    LoadStringA(instance, kVersionMessageString, message.data(), static_cast<int>(CommandText::kBytes));
    MessageBoxA(nullptr, message.c_str(), "", MB_OK | MB_ICONERROR);
    return -2;
  }

  PathText packagePath;
  PreparePackagePath(&packagePath, is64Bit);
  if (WriteResourceToFile(instance, kMainPackage.number, kMainPackage.type, packagePath.c_str())) {
    g_installerTool.clear();
    if (!LocateInstallerTool(g_installerTool.data(), static_cast<DWORD>(PathText::kBytes))) return -3;

    if (Contains(g_installerTool.c_str(), "SysWOW64")) ReplaceSameLength(packagePath.data(), "system32", "SysWOW64");

    CommandText mainCommandLine;
    if (!BuildMainCommandLine(&mainCommandLine, g_installerTool.c_str(), packagePath.c_str(), options.language,
                              passThrough.c_str())) {
      exitCode = ERROR_INVALID_COMMAND_LINE;
    } else {
      // The event exists before the thread can set it; its handle stays open
      // to the end of the process, and nothing waits for the thread.
      CreateReadyEvent();
      CreateThread(nullptr, 0, &CabinetExtractor, instance, 0, nullptr);
      exitCode = static_cast<int>(ProcessRunner(mainCommandLine.data()));
    }
  }

  RemoveStagingDir(1);
  return exitCode;
}
