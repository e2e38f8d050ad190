/* bench-launch: starts one program of the benchmark and records, on the
 * shared clock, when it started it; samples the program's memory while it
 * runs.
 *
 * The command line is taken verbatim from BENCH_CMDLINE (so that neither a
 * shell nor wine re-quotes it) and removed from the environment the child
 * inherits. Records (see bench_record.h):
 *
 *   freq <ticks per second>
 *   launch <ticks>        just before CreateProcessA
 *   created <ticks>       when CreateProcessA returned
 *   end <ticks>           when the wait for the child returned
 *   exit <code>           the child's exit code (unsigned)
 *   peak_pagefile <bytes> the largest PeakPagefileUsage seen
 *   peak_working_set <bytes>
 *   samples <n>           how many memory samples succeeded
 *   event_set <ticks>     with BENCH_WATCH_EVENT=1: when the kit package's
 *                         ready event was set ("event_not_set 1" when it was
 *                         not set before the child ended)
 *
 * The watcher creates the named manual-reset event before it starts the
 * child, as a package process that came first would (the program under test
 * then opens the same event), and a thread of its own waits on it, so the
 * moment it is set is seen even when the stand-in installer tool only starts
 * waiting after it. The launcher's handle ends with it, so every run gets a
 * new event.
 *
 * Wine reports a process's memory counters from the live process only (and
 * its "peak" private usage is the current one), so the counters are sampled
 * every BENCH_SAMPLE_MS (default 5) milliseconds while the child runs and the
 * largest values are kept. The records are written after the child ended, so
 * that the launcher's own file work does not overlap the measured run.
 *
 * Before it starts the child it waits BENCH_SETTLE_MS milliseconds (default
 * 200): a program started from the Unix side comes up while Wine is still
 * finishing its start (the start.exe that created it, its console host), and
 * a measurement begun at once shares the processors with that work.
 *
 * Exit code: 0 when the child ran (whatever its exit code), 1 when it could
 * not be started or the record file could not be opened. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "bench_record.h"

#define CMDLINE_CAPACITY 32768
#define READY_EVENT_NAME "QorQMBCabExtractWaitEvent"

static char g_cmdline[CMDLINE_CAPACITY];

struct Peaks {
  SIZE_T pagefile;
  SIZE_T working_set;
  unsigned samples;
};

static HANDLE g_event;
static volatile LONGLONG g_event_set;

static DWORD WINAPI WatchEvent(LPVOID unused) {
  (void)unused;
  if (WaitForSingleObject(g_event, INFINITE) == WAIT_OBJECT_0) g_event_set = BenchNow();
  return 0;
}

static void Sample(HANDLE process, struct Peaks* peaks) {
  PROCESS_MEMORY_COUNTERS counters;
  ZeroMemory(&counters, sizeof counters);
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return;
  if (counters.PeakPagefileUsage > peaks->pagefile) peaks->pagefile = counters.PeakPagefileUsage;
  if (counters.PagefileUsage > peaks->pagefile) peaks->pagefile = counters.PagefileUsage;
  if (counters.PeakWorkingSetSize > peaks->working_set) peaks->working_set = counters.PeakWorkingSetSize;
  ++peaks->samples;
}

int main(void) {
  DWORD length = GetEnvironmentVariableA("BENCH_CMDLINE", g_cmdline, sizeof g_cmdline);
  if (length == 0 || length >= sizeof g_cmdline) {
    printf("bench-launch: BENCH_CMDLINE is %s\n", length == 0 ? "not set or empty" : "too long");
    return 1;
  }
  SetEnvironmentVariableA("BENCH_CMDLINE", NULL);
  char text[16];
  DWORD interval = 5;
  length = GetEnvironmentVariableA("BENCH_SAMPLE_MS", text, sizeof text);
  if (length != 0 && length < sizeof text && atoi(text) > 0) interval = (DWORD)atoi(text);
  DWORD settle = 200;
  length = GetEnvironmentVariableA("BENCH_SETTLE_MS", text, sizeof text);
  if (length != 0 && length < sizeof text) settle = (DWORD)atoi(text);
  if (!BenchRecordOpen()) {
    printf("bench-launch: cannot open the record file named by BENCH_RECORD (error %lu)\n",
           (unsigned long)GetLastError());
    return 1;
  }

  int watch = GetEnvironmentVariableA("BENCH_WATCH_EVENT", text, sizeof text) == 1 && text[0] == '1';
  SetEnvironmentVariableA("BENCH_WATCH_EVENT", NULL);
  if (watch) {
    g_event = CreateEventA(NULL, TRUE, FALSE, READY_EVENT_NAME);
    if (!g_event || GetLastError() == ERROR_ALREADY_EXISTS ||
        !CreateThread(NULL, 0, WatchEvent, NULL, 0, NULL)) {
      printf("bench-launch: cannot watch the event %s: it exists already or cannot be made (error %lu)\n",
             READY_EVENT_NAME, (unsigned long)GetLastError());
      return 1;
    }
  }

  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  ZeroMemory(&process, sizeof process);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);

  if (settle) Sleep(settle);
  LONGLONG launch = BenchNow();
  BOOL started = CreateProcessA(NULL, g_cmdline, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
  LONGLONG created = BenchNow();
  if (!started) {
    printf("bench-launch: CreateProcessA failed with error %lu for: %s\n", (unsigned long)GetLastError(),
           g_cmdline);
    return 1;
  }
  CloseHandle(process.hThread);

  struct Peaks peaks = {0, 0, 0};
  do
    Sample(process.hProcess, &peaks);
  while (WaitForSingleObject(process.hProcess, interval) == WAIT_TIMEOUT);
  LONGLONG end = BenchNow();

  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) code = 0xFFFFFFFFu;
  CloseHandle(process.hProcess);

  BenchRecordNumber("freq", (unsigned long long)frequency.QuadPart);
  BenchRecordNumber("launch", (unsigned long long)launch);
  BenchRecordNumber("created", (unsigned long long)created);
  BenchRecordNumber("end", (unsigned long long)end);
  BenchRecordNumber("exit", code);
  BenchRecordNumber("peak_pagefile", peaks.pagefile);
  BenchRecordNumber("peak_working_set", peaks.working_set);
  BenchRecordNumber("samples", peaks.samples);
  if (watch) {
    LONGLONG set = g_event_set;
    if (set)
      BenchRecordNumber("event_set", (unsigned long long)set);
    else
      BenchRecordNumber("event_not_set", 1);
  }
  BenchRecordClose();
  printf("bench-launch: exit=%lu in %.1f ms, peak_pagefile=%lu\n", (unsigned long)code,
         (double)(end - launch) * 1000.0 / (double)frequency.QuadPart, (unsigned long)peaks.pagefile);
  return 0;
}
