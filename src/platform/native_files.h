// Names below a folder the run holds open, reached through that handle
// alone (the native calls of ntdll, looked up at run time): made, opened,
// renamed, deleted and listed without a path that another process could
// make lead elsewhere meanwhile.
//
// A name is one component: no backslash. Names of the run's own are ASCII
// and given as ANSI text; names read from a folder keep their UTF-16 form
// (NativeName). Every call opens the name itself, never what a link there
// leads to (FILE_OPEN_REPARSE_POINT). Errors are Windows error codes; a name
// that is a file where a folder is asked for gives ERROR_PATH_NOT_FOUND, as
// the path-based calls do.
#pragma once

#include "platform/win32.h"

struct NativeName {
  WCHAR text[MAX_PATH] = {};
  WORD bytes = 0;  // without a terminator
};

// The ASCII `name` in UTF-16; false when it is not ASCII or too long.
bool ToNativeName(const char* name, NativeName* out);

// What OpenBelow makes of a name.
struct NativeOpen {
  DWORD access = 0;
  DWORD share = 0;
  ULONG disposition = kNtOpen;  // kNtOpen, kNtCreate or kNtOpenIf
  ULONG options = 0;            // kNtDirectoryFile or kNtNonDirectoryFile
  PSECURITY_DESCRIPTOR security = nullptr;  // for a name made (null: inherited)
};

// Opens (or makes) `name` below the open folder `folder` as `how` says, with
// SYNCHRONIZE added to the access. Returns 0 with *out set, or the error
// (*out is then INVALID_HANDLE_VALUE): ERROR_FILE_NOT_FOUND for a missing
// name, ERROR_ALREADY_EXISTS for a name that is there when it must be made.
DWORD OpenBelow(HANDLE folder, const NativeName& name, const NativeOpen& how, HANDLE* out);
DWORD OpenBelow(HANDLE folder, const char* name, const NativeOpen& how, HANDLE* out);

// Gives the open `object` (opened with DELETE) the name `newName` in the
// open folder `folder`, never replacing what has that name already
// (ERROR_ALREADY_EXISTS).
DWORD RenameBelow(HANDLE object, HANDLE folder, const char* newName);

// Marks the open `object` (opened with DELETE) for deletion: its name goes
// when its last handle is closed. A folder that is not empty gives
// ERROR_DIR_NOT_EMPTY, a read-only file ERROR_ACCESS_DENIED.
DWORD DeleteByHandle(HANDLE object);

// Calls visit(name, attributes) for every entry of the open `folder`
// (opened with FILE_LIST_DIRECTORY) but "." and "..". Returns 0 or the
// error that ended the listing.
template <class Visit>
DWORD ListBelow(HANDLE folder, Visit visit);

// Deletes the plain files of the open `folder` through handles opened below
// it; links (which are not followed), folders and read-only files stay.
// Returns 1 when every plain file found was deleted (also when the folder
// cannot be listed), 0 when a deletion failed.
int DeletePlainFilesBelow(HANDLE folder);

// ---- how ListBelow reads ----

// Reads the next batch of entries into `buffer` (restart: from the first).
// Returns 0, ERROR_NO_MORE_FILES after the last, or the error.
DWORD ReadEntries(HANDLE folder, void* buffer, ULONG bytes, bool restart);

template <class Visit>
DWORD ListBelow(HANDLE folder, Visit visit) {
  union {
    NtDirectoryInformation first;
    BYTE bytes[4096];
  } buffer;
  for (bool restart = true;; restart = false) {
    DWORD error = ReadEntries(folder, buffer.bytes, sizeof buffer.bytes, restart);
    if (error == ERROR_NO_MORE_FILES) return 0;
    if (error != 0) return error;
    for (const BYTE* at = buffer.bytes;;) {
      const NtDirectoryInformation* entry = reinterpret_cast<const NtDirectoryInformation*>(at);
      NativeName name;
      WORD bytes = static_cast<WORD>(entry->FileNameLength < sizeof name.text - 2 ? entry->FileNameLength : 0);
      for (WORD i = 0; i < bytes / 2; ++i) name.text[i] = entry->FileName[i];
      name.bytes = bytes;
      bool dots = (bytes == 2 && name.text[0] == '.') || (bytes == 4 && name.text[0] == '.' && name.text[1] == '.');
      if (bytes != 0 && !dots) visit(name, static_cast<DWORD>(entry->FileAttributes));
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}
