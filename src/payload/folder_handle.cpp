#include "payload/folder_handle.h"

HANDLE OpenFolderHandle(const char* path, DWORD access) {
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

void ReleaseRunFolder(HANDLE* held) {
  if (*held != INVALID_HANDLE_VALUE) CloseHandle(*held);
  *held = INVALID_HANDLE_VALUE;
}
