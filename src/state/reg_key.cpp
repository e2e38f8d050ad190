#include "state/reg_key.h"

LONG RegKey::Open(HKEY parent, const char* subKey, REGSAM access) {
  // Opened into a temporary, so that a failed open leaves the held key alone.
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(parent, subKey, 0, access, &opened);
  if (result != ERROR_SUCCESS) return result;
  // The new key is held even when closing the old one failed; that close's
  // result is the result.
  LONG closed = Close();
  handle = opened;
  return closed;
}

LONG RegKey::Close() {
  if (handle == nullptr) return ERROR_SUCCESS;
  LONG result = RegCloseKey(handle);
  // The handle is not retried: after a failed close it is no longer ours to use.
  handle = nullptr;
  return result;
}

LONG RegKey::ReadString(char* buffer, const char* name, DWORD* length) {
  const DWORD capacity = *length;
  DWORD type = REG_NONE;
  LONG result = RegQueryValueExA(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), length);
  if (buffer == nullptr) return result;

  // The type decides, whatever the query answered. The terminator tests look
  // at the end of the reported data, which lies outside the buffer when the
  // value is empty or did not fit (ERROR_MORE_DATA reports the size needed),
  // so those cases are decided without reading there.
  const DWORD reported = *length;
  const BYTE* data = reinterpret_cast<const BYTE*>(buffer);
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (reported == 0) return ERROR_INVALID_DATA;
      if (reported > capacity) return ERROR_MORE_DATA;
      return data[reported - 1] == 0 ? result : ERROR_INVALID_DATA;
    case REG_MULTI_SZ:
      if (reported < 2) return ERROR_INVALID_DATA;
      if (reported > capacity) return ERROR_MORE_DATA;
      return data[reported - 1] == 0 && data[reported - 2] == 0 ? result : ERROR_INVALID_DATA;
    default:  // REG_NONE (no type reported) and every non-text type
      return ERROR_INVALID_DATA;
  }
}

LONG RegKey::WriteString(const char* text, const char* name, bool multi, LONG length) {
  // A negative length other than "compute it" would reach the registry as a
  // huge byte count and make it read far beyond the text.
  if (length < -1) return ERROR_INVALID_PARAMETER;
  DWORD type = REG_SZ;
  if (multi) {
    // The two terminating zeros of a multi-string cannot be found by a
    // length computation, so the caller has to count them.
    if (length == -1) return ERROR_INVALID_PARAMETER;
    type = REG_MULTI_SZ;
  } else if (length == -1) {
    length = lstrlenA(text) + 1;
  }
  return RegSetValueExA(handle, name, 0, type, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(length));
}
