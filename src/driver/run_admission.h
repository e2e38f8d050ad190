// Whether a run may go on at all, decided before it writes anything.
#pragma once

#include "platform/win32.h"

// Returns 0 when the run may go on, else the exit code it ends with:
//   ERROR_ELEVATION_REQUIRED       Windows 6 or later, and the process token
//                                  does not hold the Administrators as an
//                                  enabled, owner-capable group (the exe was
//                                  started without elevation, e.g. through a
//                                  RunAsInvoker compatibility layer): its
//                                  folders would be the user's, and the
//                                  installer would ask for elevation itself
//                                  and then read what the user can rewrite;
//   ERROR_INSTALL_ALREADY_RUNNING  another run of the same user is going on
//                                  (it would empty this run's staging
//                                  directory, or this run its);
//   any other code                 the process token could not be read.
// On Windows 5.x a limited user's run goes on, as before.
//
// The run lock is a named event, "Local\QorQMBSetupRun-<user SID>", made
// owned by the user, with an access list that lets only SYSTEM, the
// Administrators and the user open it, and kept open until the process ends
// (the system closes it then, even after a crash, so no stale lock is left).
// Another run is recognised by the lock's owner: the user (no other account
// can name the user as an owner), the Administrators or SYSTEM. A lock of
// that name owned by any other account (another user's process that took
// the name first), or one this run may not open, is ignored and logged, so
// that no other account can keep the run from going on.
DWORD AdmitRun();
