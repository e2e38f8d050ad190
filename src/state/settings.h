// The vendor's settings key, HKLM "Software\Morvanta", and its
// "InstallStatus" value, through which the installer package asks for one
// more run of the installer tool by storing "reinstall".
//
// The key is always reached in two steps, "Software" with KEY_READ and then
// "Morvanta" below it, each through its own RegKey, and closed in the
// reverse order before an operation returns. It is never created here; it is
// deleted together with its last value when it has no subkeys either.
// Results are 1 or 0; nothing is logged or shown.
#pragma once

#include "platform/win32.h"

// Reads the settings value `name` into `buffer` (`capacity` bytes). 1 when
// both keys opened and the value was read as properly terminated text of at
// least one character; else 0. The buffer is never reset: after a failure it
// holds whatever the registry wrote into it, or what it held before.
int ReadSetting(const char* name, char* buffer, DWORD capacity);

// Stores `text` as the REG_SZ value `name` (terminator included), or with a
// null text deletes the value, and then the settings key itself when it is
// left with no values and no subkeys. 1 when the settings key could be
// opened for reading and writing, whatever the write or deletions did;
// 0 when it could not, and nothing changes.
int WriteSetting(const char* name, const char* text);

// Appends `text` to the current "InstallStatus" text (no separator) and
// stores the result, or, with a null text, deletes the value (and the
// settings key when it is then empty). When the current value cannot be read
// as non-empty text, or the joined text would not fit in 128 bytes with its
// terminator, `text` alone is stored. Always 1.
int UpdateInstallStatus(const char* text);

// The reinstall check made after the first run of the installer tool: reads
// "InstallStatus" into a zero-filled 512-byte status text (so that letters
// stored without a terminator still end), compares it case-sensitively with
// "reinstall", and on equality deletes the value. True when the installer
// tool is to run once more. Any other content is left in the registry.
bool ConsumeReinstallRequest();
