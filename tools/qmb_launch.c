/* qmb-launch: runs one command line and reports its full exit code.
 *
 * The command line is taken verbatim from the environment variable
 * QMB_LAUNCH_CMDLINE and given to CreateProcessA unchanged, so that neither a
 * shell nor wine re-quotes it. The child inherits the console and the
 * environment (without QMB_LAUNCH_CMDLINE). After it ends, stdout gets
 *
 *   exit=<unsigned 32-bit code> signed=<the same code, signed>
 *
 * preceded, when QMB_LAUNCH_MEMORY=1, by
 *
 *   peak_pagefile=<bytes> peak_working_set=<bytes>
 *
 * (the child's peak private and resident memory). Wine reports no counters
 * for a process that has ended, so the counters are sampled while the child
 * runs, every 5 ms, and the largest peaks are printed; a child that ends
 * between two samples may show less than its true peak. The launcher's own
 * exit code is 0, or 1 when the child could not be started (the reason is
 * printed). */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

#define CMDLINE_CAPACITY 32768
#define MEMORY_SAMPLE_MS 5

static char g_cmdline[CMDLINE_CAPACITY];

struct Peaks {
  SIZE_T pagefile;
  SIZE_T working_set;
  int sampled;
};

static void SampleMemory(HANDLE process, struct Peaks* peaks) {
  PROCESS_MEMORY_COUNTERS counters;
  ZeroMemory(&counters, sizeof counters);
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return;
  if (counters.PeakPagefileUsage > peaks->pagefile) peaks->pagefile = counters.PeakPagefileUsage;
  if (counters.PeakWorkingSetSize > peaks->working_set) peaks->working_set = counters.PeakWorkingSetSize;
  peaks->sampled = 1;
}

int main(void) {
  DWORD length = GetEnvironmentVariableA("QMB_LAUNCH_CMDLINE", g_cmdline, sizeof g_cmdline);
  if (length == 0 || length >= sizeof g_cmdline) {
    printf("qmb-launch: QMB_LAUNCH_CMDLINE is %s\n", length == 0 ? "not set or empty" : "too long");
    return 1;
  }
  char memory[8] = "";
  GetEnvironmentVariableA("QMB_LAUNCH_MEMORY", memory, sizeof memory);
  SetEnvironmentVariableA("QMB_LAUNCH_CMDLINE", NULL);

  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  ZeroMemory(&process, sizeof process);
  if (!CreateProcessA(NULL, g_cmdline, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    printf("qmb-launch: CreateProcessA failed with error %lu for: %s\n", (unsigned long)GetLastError(),
           g_cmdline);
    return 1;
  }
  CloseHandle(process.hThread);
  int measure = strcmp(memory, "1") == 0;
  struct Peaks peaks = {0, 0, 0};
  if (measure) {
    do
      SampleMemory(process.hProcess, &peaks);
    while (WaitForSingleObject(process.hProcess, MEMORY_SAMPLE_MS) == WAIT_TIMEOUT);
    SampleMemory(process.hProcess, &peaks);
  } else {
    WaitForSingleObject(process.hProcess, INFINITE);
  }

  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) {
    printf("qmb-launch: GetExitCodeProcess failed with error %lu\n", (unsigned long)GetLastError());
    CloseHandle(process.hProcess);
    return 1;
  }
  if (measure) {
    if (peaks.sampled && peaks.pagefile)
      printf("peak_pagefile=%lu peak_working_set=%lu\n", (unsigned long)peaks.pagefile,
             (unsigned long)peaks.working_set);
    else
      printf("peak_pagefile=unavailable peak_working_set=unavailable\n");
  }
  CloseHandle(process.hProcess);
  printf("exit=%lu signed=%ld\n", (unsigned long)code, (long)(LONG)code);
  fflush(stdout);
  return 0;
}
