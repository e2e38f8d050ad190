#include "payload/cabinet_extractor.h"

#include "driver/build_profile.h"
#include "payload/payload_catalogue.h"
#include "payload/resource_file.h"
#include "payload/staging_dir.h"
#include "platform/fixed_text.h"

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
    PathText baseName;
    baseName.format(cabinet.baseNameFormat, v[0], v[1], v[2], v[3]);
    // A missing cabinet is skipped before its folders are touched.
    if (FindResourceA(instance, MAKEINTRESOURCEA(cabinet.resource.number), cabinet.resource.type) == nullptr) continue;
    PathText path;
    // The folders stay held while the cabinet is written (to the end of
    // this step).
    HeldFolders held;
    PrepareCabinetPath(&path, baseName.c_str(), is64Bit, &held);
    WriteResourceToFile(instance, cabinet.resource.number, cabinet.resource.type, path.c_str());
  }
  SignalReadyEvent();
  return 1;
}
