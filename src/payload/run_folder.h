// Holding and checking one folder the run works in: the per-user data
// folder, the maker folder (Qor), the product folder (Qor\Vesk), or the
// staging and updater folders below them (folder_chain.h holds them
// together).
//
// The data folder and everything that inherits from it can be written by any
// process of the user, sandboxed ones included, before and during the run.
// Access is checked when a handle is opened, so a folder that is there
// already may be open elsewhere with rights that no later change of its
// security takes away. The run therefore:
//   - writes only into folders it made itself in this run (the staging and
//     updater folders): one that is there already is emptied and removed,
//     then made anew with its own security: a protected access list (SYSTEM
//     and the Administrators write, the user reads and lists), owned by the
//     Administrators when the token may name them, and where labels exist a
//     medium label. Its owner, read back by handle, must be the one the run
//     set, which no process without administrator rights can give a folder,
//     so a folder swapped in before the run holds it is refused;
//   - uses the data, maker and product folders as the user's: made if
//     missing with the inherited security, and never given new security;
//   - holds each folder open without delete sharing while it uses it, so
//     that neither the folder nor one above it can be renamed or replaced,
//     and checks it by handle: a real folder, not a link, and on Windows 6
//     and later found at the very path it was opened by (its final path),
//     which also shows a redirection that neither the name nor the handle
//     tells.
// A run that is not elevated has nothing to keep from its own user: its
// folders are owned by the user and let the user write, as before.
#pragma once

#include "payload/folder_handle.h"
#include "platform/win32.h"

// What the run does with the folder at a path.
enum class RunFolder {
  kShared,    // the user's (data, maker, product): made if missing, held
  kOwn,       // the run's own (staging, updater): made anew, held
  kExisting,  // held as it is; a missing folder is an error
};

// Makes the folder `path` (no trailing backslash) as `use` says and holds it
// in *held. Returns 0, or the Windows error code that names why the folder
// cannot be used (*held is then INVALID_HANDLE_VALUE):
//   ERROR_STOPPED_ON_SYMLINK  a link, a folder found elsewhere than at
//                             `path`, or an own folder that is not the one
//                             the run made;
//   ERROR_PATH_NOT_FOUND      the name is a file, or the parent is missing;
//   any other code            the call that failed (for an own folder that
//                             could not be made anew: ERROR_ALREADY_EXISTS
//                             or ERROR_ACCESS_DENIED from CreateDirectoryA).
DWORD OpenRunFolder(const char* path, RunFolder use, HANDLE* held);

// OpenRunFolder for a folder the run cannot do without: a folder that cannot
// be used ends the process with the create step's message and the code, as
// a file that cannot be created would. Returns true (so that steps chain
// with &&) whenever it returns.
bool TakeRunFolder(const char* path, RunFolder use, HANDLE* held);
