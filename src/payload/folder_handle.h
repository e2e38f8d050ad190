// Holding a folder by handle.
#pragma once

#include "platform/win32.h"

// Opens the folder `path` itself (a link is opened as itself, not
// followed) with `access` and read and write sharing. Listing or reading
// access makes the handle count in sharing checks, so that an open for
// deletion or renaming is refused while it is held. INVALID_HANDLE_VALUE on
// failure, with the last error set.
HANDLE OpenFolderHandle(const char* path, DWORD access);

// Closes a held folder (nothing when none is held) and forgets it.
void ReleaseRunFolder(HANDLE* held);

// A handle held for as long as its owner lives (at the latest), or until
// Release.
struct HeldHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HeldHandle() = default;
  HeldHandle(const HeldHandle&) = delete;
  HeldHandle& operator=(const HeldHandle&) = delete;
  // Not noexcept: a thread that ends with its process may be unwound from
  // any platform call, this one included.
  ~HeldHandle() noexcept(false) { Release(); }
  void Release() { ReleaseRunFolder(&handle); }
};
