// Read-only probes of the vendor's installed products under
// HKEY_LOCAL_MACHINE, made after the installer tool has run. They never
// write, log or show anything; every failure (a missing key or value, a
// denied access, a value too long for the capacity, data that are not
// properly terminated text where text is required) makes the probe 0/false.
#pragma once

#include "platform/win32.h"

// The kit's install folder: "VeskHome" under the development-kit key of this
// version, read into `buffer` (`capacity` bytes) as properly terminated text
// of a string type. 1 when the key opened and the value passed, else 0. A
// value holding only its terminator is a success with an empty text. After a
// failure the buffer holds whatever the registry wrote into it.
int ReadKitHome(char* buffer, DWORD capacity);

// True when the runtime key of this version exists and opens for reading; no
// value is read.
bool IsRuntimeRegistered();

// The installed updater's version: "AUVersion" under "SOFTWARE\Morvanta\Auto
// Update", read into `buffer` (`capacity` bytes) with no type test. 1 when
// the key opened and the value fit, else 0. Data of any type count, and the
// buffer is not terminated here.
int ReadUpdaterVersion(char* buffer, DWORD capacity);

// True when "AUVersion" could be read (1024 bytes at most) and its text
// orders before the updater threshold of the build profile under lstrcmpA.
// That is a text comparison, not a numeric one: "2.0.10.0" and "10.0.0.0"
// order before "2.0.7.2", as does an empty text.
bool IsUpdaterOlder();
