// The per-user folder below which everything is written.
//
// Windows 6 (and every later Windows, which reports 6 to this executable):
// the user's low-integrity local application-data folder. Older systems: the
// application-data folder from shfolder.dll, else from shell32, else the
// user profile folder, else the Windows directory. Resolved afresh on every
// call; only the version test is cached. Folder texts hold 260 bytes and
// never end in a backslash.
#pragma once

#include "platform/fixed_text.h"
#include "platform/win32.h"

// Fills `folder` and returns the success flag (callers build paths from the
// text without consulting it). Wherever a lookup gives nothing, the text
// holds what ResolveProfileFallback gives, so it is never left unset:
//  - Windows 6 and no known folder found: the fallback, flag true;
//  - older system and a found entry point that fails: the fallback, flag false.
//  - Windows 6 and a known folder that the ANSI code page cannot name
//    exactly: the empty text, and *refusal (when given) is set to
//    ERROR_NO_UNICODE_TRANSLATION; otherwise *refusal is 0.
bool ResolveUserDataFolder(PathText* folder, DWORD* refusal = nullptr);

// True when the platform is NT and its major version is exactly 6. The first
// call asks the platform; later calls answer from the cache.
bool IsWindowsVersion6();

// Forgets the cached answer, as a new process would start without it (the
// host tests run many simulated processes in one; the product never calls
// it).
void ForgetWindowsVersionForTesting();

// What ResolveLocalLowFolder returns for a folder whose name the ANSI code
// page cannot represent exactly.
const int kNotInAnsi = 2;

// The local-low application-data folder, or the local one with "Low"
// appended. Returns 1 when it wrote `folder`, 0 when it did not (the text is
// then untouched: also when the path would not fit), kNotInAnsi when the
// path cannot be written in the ANSI code page without changing a character
// (the text is then untouched too).
int ResolveLocalLowFolder(PathText* folder);

// "USERPROFILE", or the Windows directory when that is unset, empty or too
// long for the text; the text is empty only when neither can be read.
// Returns true.
bool ResolveProfileFallback(PathText* folder);
