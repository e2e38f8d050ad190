// Looking at names: what a name is now, and the entries of a folder. What a
// name shows can change at any moment; decisions that matter are made again
// by handle.
#pragma once

#include "platform/fixed_text.h"
#include "platform/win32.h"

// The attributes of `path` by name (GetFileAttributesA). Returns 0 with
// *attributes set; ERROR_FILE_NOT_FOUND when nothing has the name (also when
// a folder on the way is missing); or the error that kept the name from
// being read.
DWORD AttributesByName(const char* path, DWORD* attributes);

// The folder part of `path` (up to its last backslash, which is dropped);
// false when there is none or it does not fit.
bool ParentOf(const char* path, PathText* parent);

// Calls visit(entry) for every entry of `folder` (no trailing backslash)
// but "." and "..", in the order the search gives them. Returns false when
// the folder cannot be searched (nothing visited).
template <class Visit>
bool ForEachEntry(const char* folder, Visit visit) {
  CommandText pattern;
  WIN32_FIND_DATAA entry;
  HANDLE search = pattern.format("%s\\*.*", folder) ? FindFirstFileA(pattern.c_str(), &entry) : INVALID_HANDLE_VALUE;
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    if (lstrcmpA(entry.cFileName, ".") != 0 && lstrcmpA(entry.cFileName, "..") != 0) visit(entry);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return true;
}
