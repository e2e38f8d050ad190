// The cabinet thread and the named ready event the main package waits on.
//
// The event "QorQMBCabExtractWaitEvent" is manual-reset, created not
// signalled by the main thread before the thread starts (the run keeps that
// handle open until the process ends, so the event outlives the thread's own
// handle), and set once, after the seventh cabinet is written and closed.
#pragma once

#include "platform/win32.h"

// Creates or opens the ready event; the handle or null.
HANDLE CreateReadyEvent();

// Sets the ready event through a handle of its own, closed at once. Returns
// 0 when the event could not be created or opened, else 1.
int SignalReadyEvent();

// Thread routine; the argument is the module whose resources hold the
// cabinets. Writes the seven cabinets into the staging directory in their
// fixed order (a missing one is skipped), then sets the ready event.
// A file failure ends the process. Returns 1.
DWORD WINAPI CabinetExtractor(LPVOID module);
