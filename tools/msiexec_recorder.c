/* msiexec-recorder: a recording stand-in for msiexec.exe.
 *
 * A test copies it as msiexec.exe into a folder and points InstallerLocation
 * there. Each start appends to the file named by QMB_RECORD_FILE (the
 * environment is inherited from the program under test):
 *
 *   <its full command line, as GetCommandLineA gives it>
 *   event=signalled | event=timeout | event=error <code>
 *                                     only when QMB_RECORD_WAIT_EVENT is set:
 *                                     it then creates or opens the named
 *                                     manual-reset event of the kit package
 *                                     and waits for it like the package does,
 *                                     for QMB_RECORD_WAIT_MS (default 900000);
 *   file=<name> <size>                when QMB_RECORD_LIST_DIR names a folder:
 *                                     its plain files after the wait, one line
 *                                     each, as the package would find them.
 *
 *   hold=released | hold=timeout      only when QMB_RECORD_HOLD_FILE names a
 *                                     file: after the listing it waits (at
 *                                     most QMB_RECORD_WAIT_MS) until that file
 *                                     exists, as an installer still at work
 *                                     would, and then lists QMB_RECORD_LIST_DIR
 *                                     once more, so that a test can see what
 *                                     became of the cabinets meanwhile.
 *
 *   status=written <type> <bytes> | status=error <code>
 *                                     only on the first start recorded into
 *                                     an empty record file, and only when
 *                                     QMB_RECORD_STATUS_HEX is set: it writes
 *                                     InstallStatus under HKLM\Software\Morvanta
 *                                     (creating the key) as the bytes given
 *                                     there in hexadecimal, of the registry
 *                                     type QMB_RECORD_STATUS_TYPE (decimal,
 *                                     default 1, REG_SZ), as a package could.
 *
 * Its exit code is QMB_RECORD_EXIT (decimal, unsigned or negative), default 0.
 * Without QMB_RECORD_FILE nothing is written; a record file that cannot be
 * opened makes the exit code 1 so that the test sees it. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define READY_EVENT_NAME "QorQMBCabExtractWaitEvent"
#define DEFAULT_WAIT_MS 900000u

static HANDLE g_record = INVALID_HANDLE_VALUE;

static int Env(const char* name, char* buffer, DWORD capacity) {
  DWORD length = GetEnvironmentVariableA(name, buffer, capacity);
  if (length == 0 || length >= capacity) {
    buffer[0] = 0;
    return 0;
  }
  return 1;
}

static void Record(const char* text) {
  if (g_record == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(g_record, text, (DWORD)strlen(text), &written, NULL);
  WriteFile(g_record, "\n", 1, &written, NULL);
}

static DWORD ParseCode(const char* text, DWORD fallback) {
  if (!text[0]) return fallback;
  char* end = NULL;
  DWORD value = text[0] == '-' ? (DWORD)strtol(text, &end, 10) : (DWORD)strtoul(text, &end, 10);
  return *end ? fallback : value;
}

static void WaitForReadyEvent(void) {
  char text[32];
  DWORD wait_ms = Env("QMB_RECORD_WAIT_MS", text, sizeof text) ? ParseCode(text, DEFAULT_WAIT_MS)
                                                                : DEFAULT_WAIT_MS;
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, READY_EVENT_NAME);
  if (!event) {
    snprintf(text, sizeof text, "event=error %lu", (unsigned long)GetLastError());
    Record(text);
    return;
  }
  DWORD result = WaitForSingleObject(event, wait_ms);
  if (result == WAIT_OBJECT_0)
    Record("event=signalled");
  else if (result == WAIT_TIMEOUT)
    Record("event=timeout");
  else {
    snprintf(text, sizeof text, "event=error %lu", (unsigned long)GetLastError());
    Record(text);
  }
  CloseHandle(event);
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static void WriteInstallStatus(const char* hex, DWORD type) {
  /* One zero byte more than the data: RegSetValueExA takes the byte after
   * string data into account (a zero there is stored as a terminator). */
  BYTE data[MAX_PATH / 2 + 1] = {0};
  char line[64];
  DWORD n = 0;
  for (; hex[2 * n] && n < MAX_PATH / 2; ++n) {
    int high = HexDigit(hex[2 * n]), low = HexDigit(hex[2 * n + 1]);
    if (high < 0 || low < 0) {
      Record("status=error bad hexadecimal data");
      return;
    }
    data[n] = (BYTE)(high * 16 + low);
  }
  HKEY key = NULL;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Morvanta", 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExA(key, "InstallStatus", 0, type, data, n);
    RegCloseKey(key);
  }
  if (result == ERROR_SUCCESS)
    snprintf(line, sizeof line, "status=written %lu %lu", (unsigned long)type, (unsigned long)n);
  else
    snprintf(line, sizeof line, "status=error %ld", (long)result);
  Record(line);
}

static void ListFolder(const char* folder) {
  char pattern[MAX_PATH + 4];
  char line[MAX_PATH + 40];
  snprintf(pattern, sizeof pattern, "%s\\*", folder);
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) {
    snprintf(line, sizeof line, "file-error=%lu", (unsigned long)GetLastError());
    Record(line);
    return;
  }
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    unsigned long long size = ((unsigned long long)entry.nFileSizeHigh << 32) | entry.nFileSizeLow;
    snprintf(line, sizeof line, "file=%s %llu", entry.cFileName, size);
    Record(line);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
}

static void HoldUntilFileExists(const char* file) {
  char text[32];
  DWORD wait_ms = Env("QMB_RECORD_WAIT_MS", text, sizeof text) ? ParseCode(text, DEFAULT_WAIT_MS)
                                                                : DEFAULT_WAIT_MS;
  for (DWORD waited = 0;; waited += 50) {
    if (GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES) {
      Record("hold=released");
      return;
    }
    if (waited >= wait_ms) {
      Record("hold=timeout");
      return;
    }
    Sleep(50);
  }
}

int main(void) {
  char path[MAX_PATH];
  char text[MAX_PATH];
  DWORD exit_code = Env("QMB_RECORD_EXIT", text, sizeof text) ? ParseCode(text, 0) : 0;

  if (Env("QMB_RECORD_FILE", path, sizeof path)) {
    g_record = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (g_record == INVALID_HANDLE_VALUE) return 1;
  }
  int first = g_record != INVALID_HANDLE_VALUE && GetFileSize(g_record, NULL) == 0;
  Record(GetCommandLineA());
  if (first && Env("QMB_RECORD_STATUS_HEX", path, sizeof path)) {
    DWORD type = Env("QMB_RECORD_STATUS_TYPE", text, sizeof text) ? ParseCode(text, REG_SZ) : REG_SZ;
    WriteInstallStatus(path, type);
  }
  if (Env("QMB_RECORD_WAIT_EVENT", text, sizeof text)) WaitForReadyEvent();
  if (Env("QMB_RECORD_LIST_DIR", path, sizeof path)) ListFolder(path);
  if (Env("QMB_RECORD_HOLD_FILE", text, sizeof text)) {
    HoldUntilFileExists(text);
    if (Env("QMB_RECORD_LIST_DIR", path, sizeof path)) ListFolder(path);
  }
  if (g_record != INVALID_HANDLE_VALUE) CloseHandle(g_record);
  return (int)exit_code;
}
