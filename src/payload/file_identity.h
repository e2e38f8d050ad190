// What tells one file or folder from every other, read by handle: its
// volume and file index. Names can change and lead elsewhere; an open
// handle's identity cannot.
#pragma once

#include "platform/win32.h"

// Unknown identities are never equal, not even to themselves.
struct FileIdentity {
  bool known = false;
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const FileIdentity& o) const {
    return known && o.known && volume == o.volume && high == o.high && low == o.low;
  }
};

// The identity of an open file or folder; false (and an unknown identity)
// when it cannot be read.
bool IdentityOf(HANDLE file, FileIdentity* id);

// Whether two open handles are one file or folder.
bool SameFile(HANDLE a, HANDLE b);
