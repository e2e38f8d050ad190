// A folder with the run's own security: what the run makes it with, and the
// owner read back that proves a folder is the one the run made.
//
// The security: SYSTEM and the Administrators everything; the user read and
// list (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE), or everything when the run
// is not elevated (it writes there as that user); nothing inherited from the
// data folder; the Administrators as owner when the token may name them (the
// user otherwise); on Windows 6 and later a medium label that lower
// integrity levels cannot write through.
#pragma once

#include "platform/fixed_text.h"
#include "platform/win32.h"

typedef FixedText<255> SidText;  // "S-1-5-21-..." or "O:..."; a SID takes at most 184 characters

// The token's user, and whether the token may name the Administrators as an
// owner: an elevated administrator's token holds that group enabled and
// owner-capable; a limited user's token, or an administrator's filtered one,
// does not.
struct Token {
  SidText user;
  bool administrator = false;
};

// The part `part` (OWNER_SECURITY_INFORMATION, DACL_SECURITY_INFORMATION)
// of the security of the open `object`, as SDDL ("O:...", "D:..."); false
// when it cannot be read or does not fit.
bool SecurityTextOf(HANDLE object, SECURITY_INFORMATION part, CommandText* text);

// The owner of the open `object`, as SDDL ("O:...").
bool OwnerOf(HANDLE object, SidText* owner);

// Reads the process token; false (last error set) when it cannot be read.
bool ReadToken(Token* token);

// Makes the folder `leaf` below the held folder `parent` with the run's own
// security and holds it in one step (the handle is the folder made, with
// `access` and `share`), so that nothing can be swapped in between. A token
// may name as owner only itself or an owner-capable group of its own, and a
// file server judges by its own view of the user: ERROR_INVALID_OWNER makes
// the folder without a named owner. A system that refuses the label makes it
// without one; the access list alone already keeps the user from writing.
// Both are logged, naming `path`. *ownerSet tells whether the owner was
// given. Returns 0 or the error (ERROR_ALREADY_EXISTS when the name is
// taken).
DWORD MakeOwnFolderBelow(HANDLE parent, const char* leaf, const char* path, const Token& token, DWORD access,
                         DWORD share, HANDLE* held, bool* ownerSet);

// Whether the open `folder` carries what only a run of this kind (or
// another administrator) gives a folder: the owner the run names, and a
// protected access list. Such a folder, left by an earlier run, may be
// emptied and removed; any other is the user's and is left alone.
bool IsRunsOwnFolder(HANDLE folder, const Token& token);

// Whether the owner of the open `folder` is the one MakeOwnFolder gives. A
// system that keeps no owners of its own reports the same owner for its
// system directory (Wine: the user, for every file); no process without
// administrator rights can own a folder as the system directory is owned.
// Returns 0, ERROR_STOPPED_ON_SYMLINK, or the failed call's error.
DWORD CheckOwner(HANDLE folder, const Token& token);
