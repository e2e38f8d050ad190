#include "state/settings.h"

#include "platform/fixed_text.h"
#include "state/reg_key.h"

namespace {

const char kSoftwareKey[] = "Software";
const char kSettingsKey[] = "Morvanta";
const char kInstallStatus[] = "InstallStatus";
const char kReinstallRequest[] = "reinstall";

// The text UpdateInstallStatus joins in: 128 bytes, terminator included.
typedef FixedText<127> JoinText;

}  // namespace

int ReadSetting(const char* name, char* buffer, DWORD capacity) {
  int found = 0;
  RegKey software;
  if (software.Open(HKEY_LOCAL_MACHINE, kSoftwareKey, KEY_READ) == ERROR_SUCCESS) {
    RegKey settings;
    if (settings.Open(software.Handle(), kSettingsKey, KEY_READ) == ERROR_SUCCESS) {
      DWORD length = capacity;
      // lstrlenA only once the read has vouched for a terminator inside the
      // buffer.
      if (settings.ReadString(buffer, name, &length) == ERROR_SUCCESS && length != 0 && lstrlenA(buffer) != 0)
        found = 1;
      settings.Close();
    }
    software.Close();
  }
  return found;
}

int WriteSetting(const char* name, const char* text) {
  RegKey software;
  if (software.Open(HKEY_LOCAL_MACHINE, kSoftwareKey, KEY_READ) != ERROR_SUCCESS) return 0;
  RegKey settings;
  if (settings.Open(software.Handle(), kSettingsKey, KEY_READ | KEY_WRITE) != ERROR_SUCCESS) {
    software.Close();
    return 0;
  }

  if (text != nullptr) {
    settings.WriteString(text, name);
  } else {
    // An absent value is no failure: the point is that it is gone.
    RegDeleteValueA(settings.Handle(), name);
    DWORD subKeys = 0;
    DWORD values = 0;
    if (RegQueryInfoKeyA(settings.Handle(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subKeys == 0 && values == 0) {
      // The platform deletes a key that is still open; our handle to it is
      // closed below like any other.
      RegDeleteKeyA(software.Handle(), kSettingsKey);
    }
  }

  settings.Close();
  software.Close();
  return 1;
}

int UpdateInstallStatus(const char* text) {
  if (text == nullptr) {
    WriteSetting(kInstallStatus, nullptr);
    return 1;
  }
  JoinText joined;
  // When the joined text would not fit in its 128 bytes, the new text alone
  // is stored: a cut join would be a different, valid-looking status, and
  // writing past the buffer is out of the question. (No caller appends
  // today; this keeps the value meaningful if one ever does.)
  if (ReadSetting(kInstallStatus, joined.data(), JoinText::kBytes) && joined.append(text)) {
    WriteSetting(kInstallStatus, joined.c_str());
  } else {
    WriteSetting(kInstallStatus, text);
  }
  return 1;
}

bool ConsumeReinstallRequest() {
  // The read fills at most StatusText::kBytes bytes; the byte after them
  // stays zero, so even a value that fills the whole status text without a
  // zero byte ends before the comparison runs off it.
  char status[StatusText::kBytes + 1] = {};
  // The package stores its texts without a terminator, which the read
  // rejects although the letters are in the buffer: its result does not
  // matter, the buffer's text does.
  ReadSetting(kInstallStatus, status, StatusText::kBytes);
  if (lstrcmpA(status, kReinstallRequest) != 0) return false;
  UpdateInstallStatus(nullptr);
  return true;
}
