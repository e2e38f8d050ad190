#include "payload/failure_report.h"

#include "platform/fixed_text.h"

const char kCreateLabel[] = "Installer : Wrapper.CreateFile ";
const char kWriteLabel[] = "Installer : Wrapper.WriteFile (In small chunks) ";
const char kCloseLabel[] = "Installer : Wrapper.CloseHandle ";

DWORD LastErrorOrFailed() {
  DWORD error = GetLastError();
  return error != 0 ? error : ERROR_FUNCTION_FAILED;
}

void ExtractFailure(const char* label) {
  DWORD code = LastErrorOrFailed();
  char* systemText = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x400,
                                reinterpret_cast<LPSTR>(&systemText), 0, nullptr);
  // Without a system text for the code the message ends after ": ".
  const char* text = (length != 0 && systemText != nullptr) ? systemText : "";
  SIZE_T bytes = static_cast<SIZE_T>(lstrlenA(text)) + static_cast<SIZE_T>(lstrlenA(label)) + 40;
  char* message = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, bytes));
  if (message != nullptr && FormatInto(message, bytes, "%s failed with error %d: %s", label,
                                       static_cast<int>(code), text) >= 0) {
    MessageBoxA(nullptr, message, "Error", MB_OK);
  } else {
    // No memory for the message: the label still tells which step failed.
    MessageBoxA(nullptr, label, "Error", MB_OK);
  }
  if (systemText != nullptr) LocalFree(systemText);
  if (message != nullptr) LocalFree(message);
  ExitProcess(code);
}
