/* The benchmark's record file and clock, shared by its Windows programs.
 *
 * Every program of one run appends lines "<key> <value>" to the file named by
 * the environment variable BENCH_RECORD (a Windows path; the programs inherit
 * it from the launcher through the program under test). Times are
 * QueryPerformanceCounter ticks: under Wine one monotonic clock serves every
 * process, so ticks from different processes compare directly; the launcher
 * records the frequency as "freq".
 *
 * Each line is appended with one WriteFile call on a handle opened for
 * appending, so lines of processes that write at the same time do not mix.
 * Without BENCH_RECORD nothing is written. */
#ifndef BENCH_RECORD_H
#define BENCH_RECORD_H

#include <windows.h>
#include <stdio.h>
#include <string.h>

static HANDLE bench_record_file = INVALID_HANDLE_VALUE;
static int bench_record_opened = 0;  /* BenchRecordOpen has run */
static int bench_record_failed = 0;  /* BENCH_RECORD is set, but could not be opened */

static inline LONGLONG BenchNow(void) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

/* Opens the record file once. Returns 0 when BENCH_RECORD is set but the
 * file cannot be opened, 1 otherwise (also when it is not set). */
static inline int BenchRecordOpen(void) {
  if (!bench_record_opened) {
    bench_record_opened = 1;
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("BENCH_RECORD", path, sizeof path);
    if (length != 0 && length < sizeof path) {
      bench_record_file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
      bench_record_failed = bench_record_file == INVALID_HANDLE_VALUE;
    } else if (length >= sizeof path) {
      bench_record_failed = 1;
    }
  }
  return !bench_record_failed;
}

static inline void BenchRecordText(const char* key, const char* value) {
  BenchRecordOpen();
  if (bench_record_file == INVALID_HANDLE_VALUE) return;
  char line[1200];
  int length = snprintf(line, sizeof line, "%s %s\n", key, value);
  if (length < 0) return;
  if (length >= (int)sizeof line) length = (int)sizeof line - 1;
  DWORD written = 0;
  WriteFile(bench_record_file, line, (DWORD)length, &written, NULL);
}

static inline void BenchRecordNumber(const char* key, unsigned long long value) {
  char text[32];
  snprintf(text, sizeof text, "%llu", value);
  BenchRecordText(key, text);
}

static inline void BenchRecordClose(void) {
  if (bench_record_file != INVALID_HANDLE_VALUE) CloseHandle(bench_record_file);
  bench_record_file = INVALID_HANDLE_VALUE;
}

/* The command line after the program's own name (argv[0], quoted or not),
 * without leading blanks. */
static inline const char* BenchCommandTail(void) {
  const char* p = GetCommandLineA();
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

#endif
