/* qmb-launch: runs one command line and reports its full exit code.
 *
 * The command line is taken verbatim from the environment variable
 * QMB_LAUNCH_CMDLINE and given to CreateProcessA unchanged, so that neither a
 * shell nor wine re-quotes it. Without that variable it is the bytes of the
 * file that QMB_LAUNCH_CMDLINE_FILE names (a Windows path): Wine converts
 * environment variables through the Unix locale's character set, a file's
 * bytes reach CreateProcessA as they are, which is what a line in a
 * double-byte code page needs. The child inherits the console and the
 * environment (without those two variables). After it ends, stdout gets
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

/* The command line from the file QMB_LAUNCH_CMDLINE_FILE names: its length,
 * or 0 when it cannot be read or does not fit. */
static DWORD ReadCommandLineFile(void) {
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("QMB_LAUNCH_CMDLINE_FILE", path, sizeof path);
  if (length == 0 || length >= sizeof path) return 0;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD read = 0;
  BOOL ok = ReadFile(file, g_cmdline, sizeof g_cmdline, &read, NULL);
  CloseHandle(file);
  if (!ok || read >= sizeof g_cmdline) return 0;
  g_cmdline[read] = 0;
  return read;
}

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
  if (length == 0) length = ReadCommandLineFile();
  if (length == 0 || length >= sizeof g_cmdline) {
    printf("qmb-launch: QMB_LAUNCH_CMDLINE is %s\n",
           length == 0 ? "not set or empty, and QMB_LAUNCH_CMDLINE_FILE names no readable file" : "too long");
    return 1;
  }
  char memory[8] = "";
  GetEnvironmentVariableA("QMB_LAUNCH_MEMORY", memory, sizeof memory);
  SetEnvironmentVariableA("QMB_LAUNCH_CMDLINE", NULL);
  SetEnvironmentVariableA("QMB_LAUNCH_CMDLINE_FILE", NULL);

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
