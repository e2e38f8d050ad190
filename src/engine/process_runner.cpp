#include "engine/process_runner.h"

// Every kind of input: keys, mouse moves and buttons, posted messages,
// timers, paint, sent messages and hot keys (QS_ALLINPUT without raw input).
static const DWORD kWakeMask = 0xFF;

ChildOutcome RunChild(const char* application, char* commandLine, ChildWait wait) {
  ChildOutcome outcome;
  PROCESS_INFORMATION process = {};
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessA(application, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    outcome.startError = GetLastError();
    return outcome;
  }
  outcome.started = true;
  outcome.ended = wait == ChildWait::kPumpMessages ? MessagePumpWait(process.hProcess) == 1
                                                   : WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0;
  if (outcome.ended) outcome.codeRead = GetExitCodeProcess(process.hProcess, &outcome.exitCode) != FALSE;
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return outcome;
}

DWORD ProcessRunner(char* commandLine) {
  ChildOutcome child = RunChild(nullptr, commandLine, ChildWait::kPlain);
  return child.codeRead ? child.exitCode : 1;
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
