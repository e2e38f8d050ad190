#include "payload/resource_file.h"

#include "payload/file_names.h"
#include "payload/retire_name.h"

// ERROR_WRITE_FAULT: reported for a write that succeeds without writing.
static const DWORD kNoProgressError = 29;

int WriteResourceToFile(HMODULE module, WORD number, const char* type, const char* path,
                        const StopRequest* stop) {
  auto stopped = [stop] { return stop != nullptr && stop->load(); };
  HANDLE file = INVALID_HANDLE_VALUE;
  // A writer told to stop belongs to a run that is ending for another
  // reason: what fails now is left without a message and ends nothing.
  auto fail = [&](const char* label) {
    if (!stopped()) ExtractFailure(label);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return kWriteStopped;
  };
  if (stopped()) return kWriteStopped;
  HRSRC item = FindResourceA(module, MAKEINTRESOURCEA(number), type);
  if (item == nullptr) return 0;
  // A size of 0 is an empty item unless the platform says the size could
  // not be taken; then writing an empty file would pass for success.
  SetLastError(ERROR_SUCCESS);
  DWORD size = SizeofResource(module, item);
  bool sizeUnknown = size == 0 && GetLastError() != ERROR_SUCCESS;
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, item)));
  if ((data == nullptr && size != 0) || sizeUnknown) {
    // The item was found but its bytes cannot be reached: nothing can be
    // written, and the file is left alone.
    DWORD error = GetLastError();
    SetLastError(error != 0 ? error : ERROR_RESOURCE_DATA_NOT_FOUND);
    return fail(kWriteLabel);
  }
  if (path[0] == '\0') {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return fail(kCreateLabel);
  }
  // Nothing is written through a name that is already there: a hard link
  // would carry the write into its other name's content, a link into its
  // target. A plain file of that name is moved to a name of its own in the
  // same folder and deleted there (which leaves any other name of it alone,
  // and frees the name even when someone holds the file open with delete
  // sharing, which only marks it for deletion); a folder or a link is not
  // touched. The file is then made anew, never opened, and not through a
  // link that appeared meanwhile.
  DWORD existing = 0;
  DWORD probe = AttributesByName(path, &existing);
  if (probe == 0) {
    if ((existing & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      SetLastError(ERROR_STOPPED_ON_SYMLINK);
      return fail(kCreateLabel);
    }
    // A read-only file is not replaced, as the platform would not open it
    // for writing.
    if ((existing & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return fail(kCreateLabel);
    }
    DWORD error = RetireFile(path, nullptr);
    if (error != 0) {
      SetLastError(error);
      return fail(kCreateLabel);
    }
  } else if (probe != ERROR_FILE_NOT_FOUND) {
    SetLastError(probe);
    return fail(kCreateLabel);
  }
  file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(kCreateLabel);
  DWORD done = 0;
  const BYTE* position = data;
  while (done < size) {
    if (stopped()) return fail(kWriteLabel);  // closes the file, shows nothing
    DWORD request = size - done <= kWriteChunk ? size - done : kWriteChunk;
    DWORD written = 0;
    if (!WriteFile(file, position, request, &written, nullptr)) return fail(kWriteLabel);
    if (written == 0) {
      // A write that reports success without progress would repeat forever.
      SetLastError(kNoProgressError);
      return fail(kWriteLabel);
    }
    done += written;
    position += written;
  }
  HANDLE closing = file;
  file = INVALID_HANDLE_VALUE;  // closed or not, it is not closed again
  if (!CloseHandle(closing)) return fail(kCloseLabel);
  return 1;
}
