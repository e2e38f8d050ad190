/* qmb-winenv.exe: runs a command line with a changed Windows environment.
 *
 * Variables that the program under test reads (TMPDIR, TZ) cannot be set
 * for it from the shell: Wine also reads them itself, and under Debian's
 * Wine a different TMPDIR even means a different wineserver for the same
 * prefix. This program changes them on the Windows side only:
 *
 *   QMB_WINENV_SET_<NAME>=<value>   sets NAME to value (possibly empty)
 *   QMB_WINENV_UNSET=<NAME>[,...]   removes each NAME
 *   QMB_WINENV_CMDLINE=<line>       the command line, run verbatim
 *
 * then removes its own QMB_WINENV_* variables, starts the command line with
 * the changed environment inherited, waits for it and exits with its exit
 * code (1 and a message when it could not be started). */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#define SET_PREFIX "QMB_WINENV_SET_"
#define CMDLINE_CAPACITY 32768

static char g_cmdline[CMDLINE_CAPACITY];

int main(void) {
  DWORD length = GetEnvironmentVariableA("QMB_WINENV_CMDLINE", g_cmdline, sizeof g_cmdline);
  if (length == 0 || length >= sizeof g_cmdline) {
    printf("qmb-winenv: QMB_WINENV_CMDLINE is %s\n", length == 0 ? "not set or empty" : "too long");
    return 1;
  }

  /* Collect the changes first: the block must not change while it is read. */
  static char names[64][MAX_PATH];
  static char values[64][CMDLINE_CAPACITY / 64];
  int count = 0;
  char* block = GetEnvironmentStringsA();
  for (char* entry = block; *entry; entry += strlen(entry) + 1) {
    if (_strnicmp(entry, SET_PREFIX, strlen(SET_PREFIX)) != 0) continue;
    const char* name = entry + strlen(SET_PREFIX);
    const char* equals = strchr(name, '=');
    if (!equals || equals == name || count == 64) continue;
    size_t name_length = (size_t)(equals - name);
    if (name_length >= MAX_PATH || strlen(equals + 1) >= sizeof values[0]) {
      printf("qmb-winenv: %.*s is too long\n", (int)name_length, name);
      return 1;
    }
    memcpy(names[count], name, name_length);
    names[count][name_length] = 0;
    strcpy(values[count], equals + 1);
    ++count;
  }
  FreeEnvironmentStringsA(block);

  char unset[CMDLINE_CAPACITY / 8] = "";
  GetEnvironmentVariableA("QMB_WINENV_UNSET", unset, sizeof unset);
  for (char* name = strtok(unset, ","); name; name = strtok(NULL, ",")) SetEnvironmentVariableA(name, NULL);
  for (int i = 0; i < count; ++i) {
    char own[MAX_PATH + 32];
    snprintf(own, sizeof own, SET_PREFIX "%s", names[i]);
    SetEnvironmentVariableA(own, NULL);
    SetEnvironmentVariableA(names[i], values[i]);
  }
  SetEnvironmentVariableA("QMB_WINENV_UNSET", NULL);
  SetEnvironmentVariableA("QMB_WINENV_CMDLINE", NULL);

  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  ZeroMemory(&process, sizeof process);
  if (!CreateProcessA(NULL, g_cmdline, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    printf("qmb-winenv: CreateProcessA failed with error %lu for: %s\n", (unsigned long)GetLastError(), g_cmdline);
    return 1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  fflush(stdout);
  return (int)code;
}
