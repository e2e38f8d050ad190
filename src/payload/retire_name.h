// Freeing a name: a plain file is moved out of the way to a name of the
// run's own and deleted there.
#pragma once

#include "platform/win32.h"

// Moves the plain file `path` to a name of its own in `folder` (null: its
// own folder) and deletes it there. A file that someone holds open with
// delete sharing is only marked for deletion and keeps its name until it is
// closed; moved first, it leaves `path` free. A read-only file is moved and
// stays under the new name. Returns 0, or the error of the move (the file
// then stays where it was).
DWORD RetireFile(const char* path, const char* folder);
