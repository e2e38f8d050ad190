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
// Told to stop (EndCabinetThread), it checks before each cabinet and each
// chunk: it leaves the cabinet under way as far as it got, closed, writes
// no more and does not set the event; a failure then shows nothing and ends
// nothing.
DWORD WINAPI CabinetExtractor(LPVOID module);

// Starts CabinetExtractor on its own thread with the module as its
// argument (default security and stack, running at once). The thread's
// handle, or null when it could not be started.
HANDLE StartCabinetThread(HINSTANCE module);

// Tells the thread started by StartCabinetThread to stop, waits for it to
// end and closes its handle. Returns false when the wait failed (the thread
// may still be writing), true once it has ended or when `thread` is null.
bool EndCabinetThread(HANDLE thread);
