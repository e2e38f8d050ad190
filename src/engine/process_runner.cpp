#include "engine/process_runner.h"

// Every kind of input: keys, mouse moves and buttons, posted messages,
// timers, paint, sent messages and hot keys (QS_ALLINPUT without raw input).
static const DWORD kWakeMask = 0xFF;

DWORD ProcessRunner(char* commandLine) {
  DWORD result = 1;
  PROCESS_INFORMATION process = {};
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return result;
  // A wait that failed has not seen the child end: its exit code would read
  // as STILL_ACTIVE (259), which is no outcome of the child. The result then
  // stays 1, as when the exit code cannot be read.
  if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) result = code;
  }
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return result;
}

int MessagePumpWait(HANDLE handle) {
  for (;;) {
    DWORD woke = MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, kWakeMask);
    if (woke == WAIT_OBJECT_0) return 1;
    if (woke != WAIT_OBJECT_0 + 1) return 0;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      bool wide = IsWindowUnicode(msg.hwnd) != FALSE;
      BOOL got = wide ? GetMessageW(&msg, nullptr, 0, 0) : GetMessageA(&msg, nullptr, 0, 0);
      if (got > 0) {
        TranslateMessage(&msg);
        if (wide)
          DispatchMessageW(&msg);
        else
          DispatchMessageA(&msg);
      }
      if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) return 1;
    }
  }
}
