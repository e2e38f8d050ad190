/* bench-control: the benchmark's control. It starts the command line that
 * follows its own name at once, waits for it and exits with its exit code
 * (1 when it could not be started). It imports kernel32 and the C runtime
 * only, so a run through it measures the fixed cost of creating two
 * processes under the platform: itself and the stand-in installer tool.
 *
 * Built with BENCH_LIBRARIES it is bench-control-libs, which first does what
 * the bootstrapper must do with libraries before it can write its package:
 * it imports advapi32, shell32 and user32 as the bootstrapper does, and looks
 * up the per-user LocalAppDataLow folder through SHGetFolderPathEx of
 * shell32, loaded by its full path. Its start time less the control's is the
 * platform's cost of those libraries. */
#include <windows.h>

#include "bench_record.h"

#ifdef BENCH_LIBRARIES
#include <shlobj.h>

typedef HRESULT(WINAPI* FolderPathEx)(const GUID*, DWORD, HANDLE, LPWSTR, UINT);

static void UseLibraries(void) {
  /* Never true: the calls keep the three imports in the program. */
  if (GetTickCount() == 0xFFFFFFFFu) {
    MessageBoxA(NULL, "", "", MB_OK);
    RegCloseKey(HKEY_LOCAL_MACHINE);
    SHGetFolderPathA(NULL, CSIDL_PROGRAM_FILES_COMMON, NULL, 0, NULL);
  }
  char path[MAX_PATH];
  UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof "\\shell32.dll" > sizeof path) return;
  lstrcatA(path, "\\shell32.dll");
  HMODULE shell = LoadLibraryA(path);
  if (!shell) return;
  /* FOLDERID_LocalAppDataLow */
  static const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
  FolderPathEx get = (FolderPathEx)(void (*)(void))GetProcAddress(shell, "SHGetFolderPathEx");
  WCHAR folder[MAX_PATH];
  if (get) get(&kLocalAppDataLow, 0, NULL, folder, MAX_PATH);
  FreeLibrary(shell);
}
#endif

static char g_cmdline[32768];

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show) {
  (void)instance;
  (void)previous;
  (void)arguments;
  (void)show;
#ifdef BENCH_LIBRARIES
  UseLibraries();
#endif
  const char* tail = BenchCommandTail();
  if (lstrlenA(tail) >= (int)sizeof g_cmdline) return 1;
  lstrcpyA(g_cmdline, tail);
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  ZeroMemory(&process, sizeof process);
  if (!CreateProcessA(NULL, g_cmdline, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return (int)code;
}
