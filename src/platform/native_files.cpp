#include "platform/native_files.h"

#include "diag/system_library.h"
#include "payload/failure_report.h"

namespace {

// The loaded ntdll's entry point `name`, or null.
FARPROC NativeEntry(const char* name) { return LoadedSystemEntry("ntdll.dll", name); }

DWORD ErrorOf(NtStatus status) {
  if (status >= 0) return 0;
  // A file where a folder is asked for: as the path-based calls answer.
  if (status == kNtNotADirectory) return ERROR_PATH_NOT_FOUND;
  RtlNtStatusToDosError_fn toError = reinterpret_cast<RtlNtStatusToDosError_fn>(NativeEntry("RtlNtStatusToDosError"));
  DWORD error = toError != nullptr ? toError(status) : 0;
  return error != 0 ? error : ERROR_FUNCTION_FAILED;
}

}  // namespace

bool ToNativeName(const char* name, NativeName* out) {
  WORD n = 0;
  for (; name[n] != '\0'; ++n) {
    unsigned char c = static_cast<unsigned char>(name[n]);
    if (c >= 0x80 || c == '\\' || n + 1 >= MAX_PATH) return false;
    out->text[n] = static_cast<WCHAR>(c);
  }
  out->text[n] = 0;
  out->bytes = static_cast<WORD>(n * 2);
  return n != 0;
}

DWORD OpenBelow(HANDLE folder, const NativeName& name, const NativeOpen& how, HANDLE* out) {
  *out = INVALID_HANDLE_VALUE;
  NtCreateFile_fn create = reinterpret_cast<NtCreateFile_fn>(NativeEntry("NtCreateFile"));
  if (create == nullptr) return LastErrorOrFailed();
  NativeName copy = name;
  NtUnicodeString text = {copy.bytes, copy.bytes, copy.text};
  NtObjectAttributes object = {sizeof object, folder, &text, kNtCaseInsensitive, how.security, nullptr};
  NtIoStatus io = {};
  HANDLE handle = INVALID_HANDLE_VALUE;
  NtStatus status = create(&handle, how.access | kAccessSynchronize, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                           how.share, how.disposition, how.options | kNtSynchronousIo | kNtOpenReparsePoint, nullptr,
                           0);
  DWORD error = ErrorOf(status);
  if (error == 0) *out = handle;
  return error;
}

DWORD OpenBelow(HANDLE folder, const char* name, const NativeOpen& how, HANDLE* out) {
  NativeName native;
  if (!ToNativeName(name, &native)) {
    *out = INVALID_HANDLE_VALUE;
    return ERROR_INVALID_NAME;
  }
  return OpenBelow(folder, native, how, out);
}

DWORD RenameBelow(HANDLE object, HANDLE folder, const char* newName) {
  NtSetInformationFile_fn set = reinterpret_cast<NtSetInformationFile_fn>(NativeEntry("NtSetInformationFile"));
  if (set == nullptr) return LastErrorOrFailed();
  NativeName native;
  if (!ToNativeName(newName, &native)) return ERROR_INVALID_NAME;
  NtRenameInformation rename = {};
  rename.ReplaceIfExists = 0;
  rename.RootDirectory = folder;
  rename.FileNameLength = native.bytes;
  for (WORD i = 0; i < native.bytes / 2; ++i) rename.FileName[i] = native.text[i];
  NtIoStatus io = {};
  return ErrorOf(set(object, &io, &rename, static_cast<ULONG>(sizeof rename), kNtRenameInformation));
}

DWORD DeleteByHandle(HANDLE object) {
  NtSetInformationFile_fn set = reinterpret_cast<NtSetInformationFile_fn>(NativeEntry("NtSetInformationFile"));
  if (set == nullptr) return LastErrorOrFailed();
  NtDispositionInformation disposition = {1};
  NtIoStatus io = {};
  return ErrorOf(set(object, &io, &disposition, static_cast<ULONG>(sizeof disposition), kNtDispositionInformation));
}

DWORD ReadEntries(HANDLE folder, void* buffer, ULONG bytes, bool restart) {
  NtQueryDirectoryFile_fn query = reinterpret_cast<NtQueryDirectoryFile_fn>(NativeEntry("NtQueryDirectoryFile"));
  if (query == nullptr) return LastErrorOrFailed();
  NtIoStatus io = {};
  NtStatus status =
      query(folder, nullptr, nullptr, nullptr, &io, buffer, bytes, kNtDirectoryInformation, 0, nullptr, restart ? 1 : 0);
  if (status == kNtNoMoreFiles) return ERROR_NO_MORE_FILES;
  return ErrorOf(status);
}

int DeletePlainFilesBelow(HANDLE folder) {
  int result = 1;
  ListBelow(folder, [folder, &result](const NativeName& name, DWORD attributes) {
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return;
    NativeOpen how;
    how.access = kAccessDelete | FILE_READ_ATTRIBUTES;
    how.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    how.options = kNtNonDirectoryFile;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (OpenBelow(folder, name, how, &file) != 0 || DeleteByHandle(file) != 0) result = 0;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  });
  return result;
}
