#include "payload/file_identity.h"

bool IdentityOf(HANDLE file, FileIdentity* id) {
  BY_HANDLE_FILE_INFORMATION info = {};
  *id = FileIdentity{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  id->known = true;
  id->volume = info.dwVolumeSerialNumber;
  id->high = info.nFileIndexHigh;
  id->low = info.nFileIndexLow;
  return true;
}

bool SameFile(HANDLE a, HANDLE b) {
  FileIdentity x, y;
  return IdentityOf(a, &x) && IdentityOf(b, &y) && x == y;
}
