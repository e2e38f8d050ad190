/* The code of the stand-in msi.dll files: an entry point and nothing else.
 * They exist only for their version resource, which the bootstrapper's
 * Windows Installer version check reads. */
#include <windows.h>

BOOL WINAPI DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
