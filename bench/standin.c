/* bench-standin: the benchmark's stand-in for msiexec.exe, placed through
 * InstallerLocation (and started by the peer through the same value).
 *
 * Records (see bench_record.h), on the clock shared by all processes:
 *
 *   standin_start <ticks>   read first thing in main
 *   standin_cmdline <text>  its command line
 *
 * With BENCH_WAIT_EVENT set, it then creates or opens the kit package's
 * named manual-reset event, as the package's wait step does, waits for it
 * (at most BENCH_WAIT_MS, default 120000 ms) and records
 *
 *   standin_ready <ticks>   when the wait returned
 *   standin_already_set 1   when the event was set before it began waiting
 *                           (standin_ready then only bounds the time)
 *   standin_timeout 1       when it was not set in time (exit code 1)
 *
 * With BENCH_LIST set, it finally lists the folder of the package named after
 * "/i" on its command line, as the package would find it:
 *
 *   file <name> <size>
 *
 * Exit code 0, or 1 when the event timed out or could not be made, or when
 * the record file could not be opened. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_record.h"

#define READY_EVENT_NAME "QorQMBCabExtractWaitEvent"

static int EnvSet(const char* name) {
  char value[16];
  DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length != 0 && length < sizeof value && strcmp(value, "0") != 0;
}

/* The folder of the quoted path that follows "/i " on the command line. */
static int PackageFolder(const char* cmdline, char* folder, size_t capacity) {
  const char* p = strstr(cmdline, "/i \"");
  if (!p) return 0;
  p += 4;
  const char* close = strchr(p, '"');
  if (!close || (size_t)(close - p) >= capacity) return 0;
  memcpy(folder, p, (size_t)(close - p));
  folder[close - p] = 0;
  char* slash = strrchr(folder, '\\');
  if (!slash) return 0;
  *slash = 0;
  return 1;
}

static void ListFolder(const char* folder) {
  char pattern[MAX_PATH + 4];
  char line[MAX_PATH + 40];
  snprintf(pattern, sizeof pattern, "%s\\*", folder);
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) {
    BenchRecordNumber("list_error", GetLastError());
    return;
  }
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    unsigned long long size = ((unsigned long long)entry.nFileSizeHigh << 32) | entry.nFileSizeLow;
    snprintf(line, sizeof line, "%s %llu", entry.cFileName, size);
    BenchRecordText("file", line);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
}

int main(void) {
  LONGLONG start = BenchNow();
  if (!BenchRecordOpen()) return 1;
  BenchRecordNumber("standin_start", (unsigned long long)start);
  const char* cmdline = GetCommandLineA();
  BenchRecordText("standin_cmdline", cmdline);

  int code = 0;
  if (EnvSet("BENCH_WAIT_EVENT")) {
    char text[16];
    DWORD wait_ms = 120000;
    DWORD length = GetEnvironmentVariableA("BENCH_WAIT_MS", text, sizeof text);
    if (length != 0 && length < sizeof text && atoi(text) > 0) wait_ms = (DWORD)atoi(text);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, READY_EVENT_NAME);
    if (!event) {
      BenchRecordNumber("standin_event_error", GetLastError());
      code = 1;
    } else {
      DWORD early = WaitForSingleObject(event, 0);
      DWORD result = early == WAIT_OBJECT_0 ? early : WaitForSingleObject(event, wait_ms);
      LONGLONG ready = BenchNow();
      if (result == WAIT_OBJECT_0) {
        BenchRecordNumber("standin_ready", (unsigned long long)ready);
        if (early == WAIT_OBJECT_0) BenchRecordNumber("standin_already_set", 1);
      } else {
        BenchRecordNumber("standin_timeout", 1);
        code = 1;
      }
      CloseHandle(event);
    }
  }
  char folder[MAX_PATH];
  if (EnvSet("BENCH_LIST") && PackageFolder(cmdline, folder, sizeof folder)) ListFolder(folder);
  BenchRecordClose();
  return code;
}
