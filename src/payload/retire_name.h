// Freeing a name the run needs: what is there is moved out of the way,
// whole and in one step, under a name nobody can predict.
#pragma once

#include "payload/own_folder.h"
#include "platform/fixed_text.h"
#include "platform/win32.h"

typedef FixedText<31> RetireName;

// "~qmb" and 16 hexadecimal digits from the system's random generator
// (advapi32's RtlGenRandom), then ".tmp": a name that another process cannot
// take beforehand. False (last error set) when no random bytes can be had.
bool UnpredictableName(RetireName* name);

// Moves the plain file `path` to an unpredictable name in `folder` (null:
// its own folder) and deletes it there. A file that someone holds open with
// delete sharing is only marked for deletion and keeps its name until it is
// closed; moved first, it leaves `path` free. A read-only file is moved and
// stays under the new name. A name taken meanwhile makes the next one be
// tried. Returns 0, or the error of the move (the file then stays where it
// was).
DWORD RetireFile(const char* path, const char* folder);

// Frees the name `leaf` below the held folder `parent` (whose path is
// `parentPath`) for a folder of the run's own. A link there is removed as a
// link, by a handle on the link itself (ERROR_STOPPED_ON_SYMLINK where the
// system cannot open a link as itself, as Wine cannot). A folder there is
// opened below the parent, checked to be at `parentPath`\`leaf` (a link
// that the name did not show), held, and renamed within the parent to an
// unpredictable name in one call; then, only when it is provably an earlier
// run's own (IsRunsOwnFolder), its plain files are deleted through handles
// and it is removed; any other folder is left under its new name, untouched.
// An earlier run's folder that cannot be renamed (a file below it is open, a
// scanner's, say) is emptied instead, its files moved out into the parent
// by their handles and deleted there, and removed.
// Returns 0 when the name is free; ERROR_PATH_NOT_FOUND when it is a file;
// or the error that kept it taken.
DWORD RetireFolder(HANDLE parent, const char* parentPath, const char* leaf, const Token& token);
