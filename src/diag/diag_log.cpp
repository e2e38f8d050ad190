#include "diag/diag_log.h"

#include <cstdarg>
#include <ctime>

#include "diag/system_library.h"
#include "payload/folder_handle.h"
#include "payload/final_path.h"
#include "platform/fixed_text.h"
#include "platform/native_files.h"
#include "platform/win32.h"

namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void TwoDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + (value / 10) % 10);
  out[1] = static_cast<char>('0' + value % 10);
  out[2] = '\0';
}

// The header "\n<timestamp>\n:: ", or the empty text when the local time
// cannot be formed.
void FormatHeader(FixedText<255>* header) {
  time_t now = time(nullptr);
  const struct tm* local = localtime(&now);
  if (local == nullptr || local->tm_wday < 0 || local->tm_wday > 6 || local->tm_mon < 0 || local->tm_mon > 11)
    return;
  char day[3], hours[3], minutes[3], seconds[3];
  TwoDigits(day, local->tm_mday);
  TwoDigits(hours, local->tm_hour);
  TwoDigits(minutes, local->tm_min);
  TwoDigits(seconds, local->tm_sec);
  FixedText<63> stamp;
  if (!stamp.format("%s %s %s %s:%s:%s %d\n", kDays[local->tm_wday], kMonths[local->tm_mon], day, hours, minutes,
                    seconds, local->tm_year + 1900))
    return;
  header->format("\n%s:: ", stamp.c_str());
}

// The log's folder, without a trailing backslash: TMPDIR when set and not
// empty, else the user's temp folder. False when it cannot be read or the
// log's path would not fit 260 bytes.
bool LogFolder(PathText* folder) {
  DWORD n = GetEnvironmentVariableA("TMPDIR", folder->data(), static_cast<DWORD>(PathText::kBytes));
  if (n > PathText::kCapacity) return false;
  if (n == 0) {
    folder->clear();
    DWORD t = GetTempPathA(static_cast<DWORD>(PathText::kBytes), folder->data());
    if (t == 0 || t > PathText::kCapacity) return false;
  }
  size_t length = folder->size();
  while (length > 0 && folder->c_str()[length - 1] == '\\') folder->data()[--length] = '\0';
  PathText path;
  return length != 0 && path.format("%s\\moltrav.log", folder->c_str());
}

// The folder's path in long names (GetLongPathNameA, looked up at run time),
// as its final path shows it; `folder` itself where that cannot be had.
void LongForm(const char* folder, PathText* longForm) {
  longForm->assign(folder);
  GetLongPathNameA_fn longPath =
      reinterpret_cast<GetLongPathNameA_fn>(LoadedSystemEntry("kernel32.dll", "GetLongPathNameA"));
  PathText found;
  DWORD n = longPath != nullptr ? longPath(folder, found.data(), static_cast<DWORD>(PathText::kBytes)) : 0;
  if (n != 0 && n <= PathText::kCapacity) *longForm = found;
}

// Opens the log for appending, or returns INVALID_HANDLE_VALUE when it
// cannot be written safely. The folder is the user's, and the user's
// environment names it: the folder is held (so it cannot be renamed or
// replaced meanwhile) and must be a real folder at the path formed (on
// Windows 6 and later its final path, which also shows a link or redirection
// above it, and a share); the log is then made or opened below that handle,
// as itself (never through a link of that name), and must be a plain file
// with no other name (a hard link to a file the user could not write), at
// the folder's final path.
HANDLE OpenLog() {
  PathText folder, expected, found;
  if (!LogFolder(&folder)) return INVALID_HANDLE_VALUE;
  HANDLE held = OpenFolderHandle(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES);
  if (held == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info = {};
  bool safe = GetFileInformationByHandle(held, &info) &&
              (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
                  FILE_ATTRIBUTE_DIRECTORY;
  if (safe && FinalPathsKnown()) {
    LongForm(folder.c_str(), &expected);
    safe = FinalPathOf(held, &found) == 0 && !(found.c_str()[0] == '\\' && found.c_str()[1] == '\\') &&
           lstrcmpiA(found.c_str(), expected.c_str()) == 0 && expected.append("\\moltrav.log");
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  if (safe) {
    NativeOpen how;
    how.access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    how.share = FILE_SHARE_WRITE;
    how.disposition = kNtOpenIf;
    how.options = kNtNonDirectoryFile;
    safe = OpenBelow(held, "moltrav.log", how, &file) == 0 && GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && info.nNumberOfLinks <= 1 &&
           (!FinalPathsKnown() || CheckFinalPath(file, expected.c_str()) == 0);
  }
  CloseHandle(held);
  if (!safe && file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace

void DiagLog(const char* message) {
  FixedText<255> header;
  FormatHeader(&header);
  HANDLE file = OpenLog();
  if (file == INVALID_HANDLE_VALUE) return;
  SetFilePointer(file, 0, nullptr, FILE_END);
  DWORD written = 0;
  WriteFile(file, header.c_str(), static_cast<DWORD>(lstrlenA(header.c_str())), &written, nullptr);
  WriteFile(file, message, static_cast<DWORD>(lstrlenA(message)), &written, nullptr);
  CloseHandle(file);
}

void DiagLogFormat(const char* format, ...) {
  CommandText message;
  va_list args;
  va_start(args, format);
  int n = FormatBounded(message.data(), CommandText::kBytes, format, args);
  va_end(args);
  if (n >= 0) DiagLog(message.c_str());
}
