#include "payload/cabinet_extractor.h"

#include "driver/build_profile.h"
#include "payload/payload_catalogue.h"
#include "payload/resource_file.h"
#include "payload/staging_dir.h"
#include "platform/fixed_text.h"

namespace {

// Set by the main thread when the run ends; read by the cabinet thread.
StopRequest g_stop{false};

}  // namespace

HANDLE CreateReadyEvent() { return CreateEventA(nullptr, TRUE, FALSE, kProfile.readyEventName); }

int SignalReadyEvent() {
  HANDLE event = CreateReadyEvent();
  if (event == nullptr) return 0;
  SetEvent(event);
  CloseHandle(event);
  return 1;
}

DWORD WINAPI CabinetExtractor(LPVOID module) {
  HMODULE instance = static_cast<HMODULE>(module);
  bool is64Bit = Is64BitFlavour();
  const char* const* v = kProfile.versionPieces;
  for (const CabinetItem& cabinet : kCabinetOrder) {
    if (g_stop.load()) return 1;
    PathText baseName;
    baseName.format(cabinet.baseNameFormat, v[0], v[1], v[2], v[3]);
    PathText path;
    // The folders stay held while the cabinet is written (to the end of
    // this step).
    HeldFolders held;
    PrepareCabinetPath(&path, baseName.c_str(), is64Bit, &held);
    if (WriteResourceToFile(instance, cabinet.resource.number, cabinet.resource.type, path.c_str(), &g_stop) ==
        kWriteStopped)
      return 1;
  }
  SignalReadyEvent();
  return 1;
}

HANDLE StartCabinetThread(HINSTANCE module) {
  g_stop.store(false);
  return CreateThread(nullptr, 0, &CabinetExtractor, module, 0, nullptr);
}

bool EndCabinetThread(HANDLE thread) {
  if (thread == nullptr) return true;
  g_stop.store(true);
  bool ended = WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return ended;
}
