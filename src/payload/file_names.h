// Looking at names: what a name is now, and the folder part of a path. What
// a name shows can change at any moment; decisions that matter are made
// again by handle.
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
