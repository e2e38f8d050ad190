// The folders the run works in: the per-user data folder, the maker folder
// (Qor), the product folder (Qor\Vesk), and the staging and updater folders
// below them.
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

#include "platform/fixed_text.h"
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

// Closes a folder held by OpenRunFolder (nothing when none is held).
void ReleaseRunFolder(HANDLE* held);

// What tells one file or folder from every other: its volume and file
// index, read by handle. Unknown ones are never equal.
struct FileIdentity {
  bool known = false;
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const FileIdentity& o) const {
    return known && o.known && volume == o.volume && high == o.high && low == o.low;
  }
};

// The identity of an open file or folder; false when it cannot be read.
bool IdentityOf(HANDLE file, FileIdentity* id);

// Whether two open handles are one file or folder.
bool SameFile(HANDLE a, HANDLE b);

// Moves the plain file `path` to a name of its own in `folder` (null: its
// own folder) and deletes it there. A file that someone holds open with delete sharing is only
// marked for deletion and keeps its name until it is closed; moved first,
// it leaves `path` free. A read-only file is moved and stays under the new
// name. Returns 0, or the error of the move (the file then stays where it
// was).
DWORD RetireFile(const char* path, const char* folder);

// The folder chain of one use, from the data folder down: data, maker,
// product, and the staging or updater folder; held together and let go
// together (at the latest when the holder goes out of scope).
struct HeldFolders {
  static const int kLevels = 4;
  HANDLE folder[kLevels] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  HeldFolders() = default;
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;
  // Not noexcept: a thread that ends with its process may be unwound from
  // any platform call, these included.
  ~HeldFolders() noexcept(false) { Release(); }
  void Release();
};

// The names of the chain of one use, from the data folder `dataFolder` down:
// names[0] the data folder, [1] <data>\Qor, [2] <data>\Qor\Vesk, [3]
// <data>\Qor\Vesk\<leaf>; each without a trailing backslash. False when the
// data folder is empty or a name does not fit.
bool FolderChainNames(const char* dataFolder, const char* leaf, PathText (&names)[HeldFolders::kLevels]);

// Holds the chain `names` (FolderChainNames) in turn: the data folder as it
// is, the maker and product folders as `shared` says, and the folder of the
// use as `own` says. A folder that cannot be used ends the process
// (TakeRunFolder).
void TakeFolderChain(const PathText (&names)[HeldFolders::kLevels], RunFolder shared, RunFolder own,
                     HeldFolders* held);

