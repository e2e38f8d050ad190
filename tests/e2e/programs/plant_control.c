/* qmb-plant-control.exe: the control of the library planting test.
 *
 * It imports version.dll, shfolder.dll and msi.dll the ordinary way, through
 * its import table, so the loader looks them up by bare name: in the
 * program's folder first. With a planted library there, the planted one is
 * loaded, which shows that the test can see a planted load at all. It calls
 * one function of each and prints what they returned:
 *
 *   plant-control: GetFileVersionInfoSizeA=<n> SHGetFolderPathA=<hex> MsiGetFileVersionA=<n>
 *
 * (the planted stand-ins answer 0, 80004005 and 2). */
#include <windows.h>
#include <msi.h>
#include <shlobj.h>
#include <stdio.h>

int main(void) {
  char module[MAX_PATH];
  GetModuleFileNameA(NULL, module, MAX_PATH);
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(module, &handle);
  char folder[MAX_PATH] = "";
  HRESULT folder_result = SHGetFolderPathA(NULL, CSIDL_APPDATA, NULL, 0, folder);
  char version[64] = "";
  DWORD version_size = sizeof version;
  UINT msi_result = MsiGetFileVersionA(module, version, &version_size, NULL, NULL);
  printf("plant-control: GetFileVersionInfoSizeA=%lu SHGetFolderPathA=%08lx MsiGetFileVersionA=%u\n",
         (unsigned long)size, (unsigned long)folder_result, msi_result);
  return 0;
}
