#include "state/product_probes.h"

#include "driver/build_profile.h"
#include "state/reg_key.h"

namespace {

const char kUpdaterKey[] = "SOFTWARE\\Morvanta\\Auto Update";
const char kUpdaterVersionValue[] = "AUVersion";
const char kKitHomeValue[] = "VeskHome";
const DWORD kUpdaterVersionBytes = 1024;

}  // namespace

int ReadKitHome(char* buffer, DWORD capacity) {
  int found = 0;
  RegKey kit;
  if (kit.Open(HKEY_LOCAL_MACHINE, kProfile.kitKey, KEY_READ) == ERROR_SUCCESS) {
    DWORD length = capacity;
    if (kit.ReadString(buffer, kKitHomeValue, &length) == ERROR_SUCCESS) found = 1;
    kit.Close();
  }
  return found;
}

bool IsRuntimeRegistered() {
  RegKey runtime;
  bool registered = runtime.Open(HKEY_LOCAL_MACHINE, kProfile.runtimeKey, KEY_READ) == ERROR_SUCCESS;
  runtime.Close();
  return registered;
}

int ReadUpdaterVersion(char* buffer, DWORD capacity) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUpdaterKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD type = REG_NONE;
  DWORD length = capacity;
  LONG result = RegQueryValueExA(key, kUpdaterVersionValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &length);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? 1 : 0;
}

bool IsUpdaterOlder() {
  // Zero-filled, with one byte beyond the 1024 the read may fill, so that
  // whatever it leaves there is a terminated text, even data of 1024 bytes
  // without a zero byte among them.
  char version[kUpdaterVersionBytes + 1] = {};
  if (!ReadUpdaterVersion(version, kUpdaterVersionBytes)) return false;
  return lstrcmpA(version, kProfile.updaterThreshold) < 0;
}
