#include "payload/file_names.h"

#include "payload/failure_report.h"

DWORD AttributesByName(const char* path, DWORD* attributes) {
  *attributes = GetFileAttributesA(path);
  if (*attributes != INVALID_FILE_ATTRIBUTES) return 0;
  DWORD error = LastErrorOrFailed();
  return error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error;
}

bool ParentOf(const char* path, PathText* parent) {
  const char* cut = nullptr;
  for (const char* c = path; *c != '\0'; ++c)
    if (*c == '\\') cut = c;
  if (cut == nullptr || !parent->assign(path)) return false;
  parent->data()[cut - path] = '\0';
  return true;
}
