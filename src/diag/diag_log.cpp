#include "diag/diag_log.h"

#include <cstdarg>
#include <ctime>

#include "platform/fixed_text.h"
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

// The log file's path, or false when it cannot be formed within 260 bytes.
bool LogPath(PathText* path) {
  DWORD n = GetEnvironmentVariableA("TMPDIR", path->data(), static_cast<DWORD>(PathText::kBytes));
  if (n > PathText::kCapacity) return false;
  if (n != 0) {
    if (!path->append("\\")) return false;
  } else {
    path->clear();
    DWORD t = GetTempPathA(static_cast<DWORD>(PathText::kBytes), path->data());
    if (t == 0 || t > PathText::kCapacity) return false;
  }
  return path->append("moltrav.log");
}

}  // namespace

void DiagLog(const char* message) {
  FixedText<255> header;
  FormatHeader(&header);
  PathText path;
  if (!LogPath(&path)) return;
  // The temp folder is the user's: the log is never appended through a link
  // there, nor to a file that has another name as well (a hard link to a
  // file the user could not write). The name is looked at first, and the
  // file by its handle once open; the open takes a link as itself, not its
  // target.
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
    return;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      info.nNumberOfLinks > 1) {
    CloseHandle(file);
    return;
  }
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
