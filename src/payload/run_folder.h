// The folders the run makes or uses below the per-user data folder (the
// maker, product, staging and updater folders).
//
// That data folder, and all that inherits from it, can be written by any
// process of the user, sandboxed ones included. Each folder of the run is
// therefore taken over before anything is written into it:
//   - it is made with, or given, a protected access list that lets only
//     SYSTEM and the Administrators write and the user read, owned by the
//     Administrators, and on Windows 6 and later a medium mandatory label
//     that keeps lower integrity levels from writing (in place of the
//     inherited low one);
//   - it must be a real folder, not a link (a junction or symbolic link
//     would send the elevated writes and deletions elsewhere): it is checked
//     by path and by handle;
//   - it is held open, without sharing deletion, until the holder lets it
//     go, so that it can be neither renamed nor replaced while it is used.
#pragma once

#include "platform/win32.h"

// Makes `path` (no trailing backslash needed) or takes over the folder that
// is there, and holds it in *held. Returns 0, or the Windows error code
// that names why the folder cannot be used (*held is then
// INVALID_HANDLE_VALUE):
//   ERROR_STOPPED_ON_SYMLINK  the name is a link (reparse point);
//   ERROR_PATH_NOT_FOUND      the name is a file, or the parent is missing;
//   any other code            the call that failed (making the folder,
//                             opening it, giving it its security).
DWORD OpenRunFolder(const char* path, HANDLE* held);

// OpenRunFolder for a folder the run cannot do without (a trailing
// backslash is allowed): a folder that cannot be used ends the process with
// the create step's message and the code, as a file that cannot be created
// would. Returns true (so that steps chain with &&) whenever it returns.
bool TakeRunFolder(const char* path, HANDLE* held);

// Closes a folder held by OpenRunFolder (nothing when none is held).
void ReleaseRunFolder(HANDLE* held);

// True when `path` names a folder that is not a link.
bool IsRealFolder(const char* path);

// The folder chain of one use: maker, product, and the staging or updater
// folder, held together and let go together (at the latest when the holder
// goes out of scope).
struct HeldFolders {
  HANDLE folder[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  HeldFolders() = default;
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  ~HeldFolders() { Release(); }
  void Release();
};
