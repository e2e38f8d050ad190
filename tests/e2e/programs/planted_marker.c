/* planted-marker.dll: a library that tells when it is loaded.
 *
 * A test copies it under the name of a library that a program might look up
 * by bare name (version.dll, shfolder.dll, msi.dll) into the program's folder
 * or the current directory. When any process loads it, its entry point
 * appends one line
 *
 *   <how>|<the loading program's path>|<this library's path>
 *
 * to <folder>\planted-<its own base name, in lower case>.txt, where <folder>
 * is the value of QMB_PLANT_MARKER_DIR or else C:\qmb-e2e. <how> is "static"
 * when the library came in through an import table, while the process or
 * another library was being loaded, and "dynamic" when a LoadLibrary call
 * loaded it: the loader passes a non-null third argument to the entry point
 * for the first and null for the second. It exports, undecorated, the
 * names an importer of those three libraries would need (see the .def
 * file); each one fails, so a program that did load it sees failures but
 * never crashes.
 *
 * Only kernel32 is used, and no runtime library: the entry point runs under
 * the loader lock. */
#include <windows.h>

#define DEFAULT_MARKER_DIR "C:\\qmb-e2e"

static void AppendMarker(HINSTANCE self, int is_static) {
  char module[MAX_PATH];
  char program[MAX_PATH];
  char folder[MAX_PATH];
  char marker[MAX_PATH * 2];
  DWORD n = GetModuleFileNameA(self, module, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  n = GetModuleFileNameA(NULL, program, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) lstrcpyA(program, "?");
  n = GetEnvironmentVariableA("QMB_PLANT_MARKER_DIR", folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) lstrcpyA(folder, DEFAULT_MARKER_DIR);

  /* The base name without its extension, in lower case: "version" for
   * ...\VERSION.dll (the loader gives the name as the importer spelled it). */
  char base[MAX_PATH];
  const char* start = module;
  for (const char* p = module; *p; ++p)
    if (*p == '\\' || *p == '/') start = p + 1;
  lstrcpyA(base, start);
  for (char* p = base + lstrlenA(base); p > base; --p) {
    if (p[-1] == '.') {
      p[-1] = 0;
      break;
    }
  }
  for (char* p = base; *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = (char)(*p - 'A' + 'a');

  CreateDirectoryA(folder, NULL);
  lstrcpyA(marker, folder);
  lstrcatA(marker, "\\planted-");
  lstrcatA(marker, base);
  lstrcatA(marker, ".txt");
  HANDLE file = CreateFileA(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  const char* how = is_static ? "static|" : "dynamic|";
  WriteFile(file, how, (DWORD)lstrlenA(how), &written, NULL);
  WriteFile(file, program, (DWORD)lstrlenA(program), &written, NULL);
  WriteFile(file, "|", 1, &written, NULL);
  WriteFile(file, module, (DWORD)lstrlenA(module), &written, NULL);
  WriteFile(file, "\n", 1, &written, NULL);
  CloseHandle(file);
}

BOOL WINAPI DllMainCRTStartup(HINSTANCE self, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) AppendMarker(self, reserved != NULL);
  return TRUE;
}

/* version.dll */
DWORD WINAPI Planted_GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) {
  (void)path;
  if (handle) *handle = 0;
  SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return 0;
}

BOOL WINAPI Planted_GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID data) {
  (void)path;
  (void)handle;
  (void)size;
  (void)data;
  SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return FALSE;
}

BOOL WINAPI Planted_VerQueryValueA(LPCVOID block, LPCSTR sub_block, LPVOID* buffer, PUINT length) {
  (void)block;
  (void)sub_block;
  if (buffer) *buffer = NULL;
  if (length) *length = 0;
  return FALSE;
}

/* shfolder.dll */
HRESULT WINAPI Planted_SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path) {
  (void)owner;
  (void)folder;
  (void)token;
  (void)flags;
  if (path) path[0] = 0;
  return E_FAIL;
}

/* msi.dll */
UINT WINAPI Planted_MsiGetFileVersionA(LPCSTR path, LPSTR version, LPDWORD version_size, LPSTR language,
                                       LPDWORD language_size) {
  (void)path;
  (void)version;
  (void)version_size;
  (void)language;
  (void)language_size;
  return ERROR_FILE_NOT_FOUND;
}
