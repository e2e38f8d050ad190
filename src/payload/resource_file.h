// Writing one embedded item to a file.
#pragma once

#include <atomic>

#include "payload/failure_report.h"
#include "platform/win32.h"

// The largest count passed to one write call.
const DWORD kWriteChunk = 8192;

// Set by another thread to tell a write to stop (see below).
using StopRequest = std::atomic<bool>;

// What WriteResourceToFile returns when it stopped on request.
const int kWriteStopped = 2;

// Copies the item (module, integer resource number, type name) byte for byte
// into a new file at `path`, from the item's mapped bytes in writes of at
// most kWriteChunk bytes. A plain file already there under that name is
// moved to a name of its own in the same folder and deleted there, and the
// file made anew with CREATE_NEW and FILE_FLAG_OPEN_REPARSE_POINT (so nothing
// is written through a hard link or a link, and a file held open with delete
// sharing does not keep the name); a folder or a link of that name fails the
// create step (5, or ERROR_STOPPED_ON_SYMLINK).
// Returns 1 when written and closed, 0 when the module holds no such item (no
// file is touched). When the file cannot be created, written or closed, it
// does not return: ExtractFailure ends the process with the error code.
// An empty `path` stands for a path that did not fit its text: it fails the
// create step with ERROR_FILENAME_EXCED_RANGE, as the platform fails an
// over-long name.
// With `stop`: once *stop is set, the write stops before its next chunk, at
// the latest after the chunk under way, closes the file as far as it got
// and returns kWriteStopped; a step that fails once it is set is left the
// same way, without a message, and the process goes on.
int WriteResourceToFile(HMODULE module, WORD number, const char* type, const char* path,
                        const StopRequest* stop = nullptr);
