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
//     updater folders), each made and held in one step below its held parent
//     with its own security (own_folder.h); one that is there already is
//     renamed aside first (retire_name.h);
//   - uses the data, maker and product folders as the user's: made if
//     missing with the inherited security, and never given new security;
//   - opens every folder below the data folder relative to its held parent,
//     never by a path through a folder the user can write;
//   - holds each folder open without delete sharing while it uses it, so
//     that neither the folder nor one above it can be renamed or replaced,
//     and checks it by name and by handle: a real folder, not a link, and on
//     Windows 6 and later found where it should be (final_path.h): the data
//     folder's own final path is the anchor, and every folder below it must
//     be the anchor plus its names. A link or redirection above the data
//     folder (a profile moved to another drive, the system directory seen by
//     a 32-bit process on 64-bit Windows) is the user's choice, as the shell
//     setting is; one below it is refused.
// An elevated run refuses a data folder on a remote volume (whose server
// decides what the installer reads, and refuses owners) or on a volume that
// keeps no security (FAT, exFAT), before it writes anything.
#pragma once

#include "payload/folder_handle.h"
#include "payload/own_folder.h"
#include "platform/fixed_text.h"
#include "platform/win32.h"

// What the run does with a folder below the data folder.
enum class RunFolder {
  kShared,    // the user's (maker, product): made if missing, held
  kOwn,       // the run's own (staging, updater): made anew, held
  kExisting,  // held as it is; a missing folder is an error
};

// What a held folder of the run is opened with: it can be listed, and read
// by handle, and it takes part in sharing checks (listing access), so that
// an open for deletion or renaming is refused while it is held.
const DWORD kHoldAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL;

// Opens the data folder at `path` (no trailing backslash; made first if
// missing when `make`) by that path and holds it in *held. Returns 0, or the
// Windows error code that names why it cannot be used (*held is then
// INVALID_HANDLE_VALUE):
//   ERROR_STOPPED_ON_SYMLINK     the folder is a link (by name or by handle);
//   ERROR_PATH_NOT_FOUND         the name is a file;
//   ERROR_NOT_SUPPORTED          an elevated run, and a remote volume;
//   ERROR_NO_SECURITY_ON_OBJECT  an elevated run, and a volume without
//                                security;
//   any other code               the call that failed.
// *base gets the path the run reaches it by from then on: `path` itself, or
// on Windows 6 and later its final path where that differs from `path`
// beyond case (a link or a redirection above it), so that nothing later
// follows that link again.
DWORD OpenDataFolder(const char* path, bool make, const Token& token, HANDLE* held, PathText* base);

// Opens the folder `leaf` below the held folder `parent` (whose path, from
// *base, is `parentPath`) as `use` says, relative to the parent, and holds it
// in *held. Returns 0, or (with *held INVALID_HANDLE_VALUE):
//   ERROR_STOPPED_ON_SYMLINK  a link, a folder found elsewhere than at
//                             `parentPath`\`leaf`, or an own folder that is
//                             not the one the run made (its owner);
//   ERROR_PATH_NOT_FOUND      the name is a file;
//   ERROR_FILE_NOT_FOUND      (kExisting) nothing has the name;
//   any other code            the call that failed (for an own folder that
//                             could not be made: ERROR_ALREADY_EXISTS).
DWORD OpenFolderBelow(HANDLE parent, const char* parentPath, const char* leaf, RunFolder use, const Token& token,
                      HANDLE* held);

// For a folder the run cannot do without: an error ends the process with
// the create step's message and the code, as a file that cannot be created
// would. Returns true (so that steps chain with &&) whenever it returns.
bool TakeRunFolder(DWORD error);
