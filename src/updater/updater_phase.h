// Installing or upgrading the shared auto-update component after a
// successful install.
#pragma once

#include "platform/win32.h"

// Writes au.cab and au.msi from the module's resources into
// <data>\Qor\Vesk\AU\, removes an installed updater whose version orders
// before the carried one, installs the carried updater for all users and
// runs its registration tool:
//   "<tool>" /i "<folder>au.msi" ALLUSERS=1 /qn
//   "<common files>\Vesk\Vesk Update\kwinpo.exe" -r zlp 1.6.0_39-b04
// The registration tool's path is quoted: unquoted, the platform would try
// "C:\Program.exe" and every other blank-separated beginning of it first.
// Everything here is silent and changes nothing in the run's exit code; an
// empty data folder or a missing updater package ends the phase, a file that
// cannot be written ends the process as any payload write does.
void UpdaterPhase(HMODULE module);

// Starts the installer tool (as the application name) with the command line
// " /x <old updater product code> /qn", waits dispatching window messages,
// and returns the removal's exit code, the platform error when it could not
// start, or 0 when its end could not be awaited or its code read (the phase
// goes on either way).
DWORD RemoveOldUpdater();
