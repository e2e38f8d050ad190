// RegKey: the owner of at most one open registry key.
//
// Every result is a Windows error code: 0 success, 13 (ERROR_INVALID_DATA)
// for a value that is not properly terminated text, 87
// (ERROR_INVALID_PARAMETER) for a refused argument, anything else the
// registry function's own code, passed through unchanged. Lengths count
// bytes, terminating zero bytes included. Nothing is logged or shown.
//
// A RegKey lives as a local of one operation and is never copied. It is
// empty (handle null) or holding; the destructor closes what it holds.
#pragma once

#include "platform/win32.h"

class RegKey {
 public:
  RegKey() : handle(nullptr) {}
  ~RegKey() { Close(); }

  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // The held key, null when empty.
  HKEY Handle() const { return handle; }

  // Opens (never creates) `subKey` below `parent` (an open key or a
  // predefined root) with `access`, with no registry-view bit added. On
  // success the new key replaces, and closes, any key held before, and the
  // result is that close's (0 when nothing was held); on failure the held
  // key stays as it was and the registry's code is returned.
  LONG Open(HKEY parent, const char* subKey, REGSAM access);

  // Closes the held key and forgets it, even when RegCloseKey fails (whose
  // code is then returned). Empty: returns 0 without a registry call.
  LONG Close();

  // Reads the value `name` as text. `length` is in and out: the buffer's
  // capacity in bytes on entry, the byte count the registry reports on
  // return (the size the value needs when it did not fit).
  //
  // A null `buffer` is a size query: the query's own code, no type test.
  // Otherwise the result is 0 only when the query succeeded, the type is
  // REG_SZ or REG_EXPAND_SZ with the last reported byte zero, or
  // REG_MULTI_SZ with the last two reported bytes zero. No reported type,
  // any other type, a string value of length 0 or a missing terminator give
  // 13; a string value larger than the capacity gives 234 (ERROR_MORE_DATA).
  //
  // The buffer is neither cleared nor terminated here: whatever the query
  // wrote stays, also after a failure. REG_EXPAND_SZ data are not expanded.
  // Only the first `*length` (entry value) bytes of the buffer are ever
  // touched.
  LONG ReadString(char* buffer, const char* name, DWORD* length);

  // Stores `text` as the value `name`, creating or replacing it.
  // Plain (multi false): REG_SZ; length -1 means the text's length plus its
  // terminator. Multi: REG_MULTI_SZ, and the caller must give the length,
  // its two terminating zero bytes included; -1 is refused with 87 before
  // any registry call. Any other negative length is refused with 87 too.
  LONG WriteString(const char* text, const char* name, bool multi = false, LONG length = -1);

 private:
  HKEY handle;
};
