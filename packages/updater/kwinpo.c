/* kwinpo: the sample updater's registration tool.
 *
 *   kwinpo.exe -r RUNTIME-TAG VERSION
 *
 * Registers a runtime with the auto-update component: records VERSION as the
 * value RUNTIME-TAG under HKLM "SOFTWARE\Morvanta\Auto Update\Runtimes".
 * Every start, whatever its arguments, is also recorded under HKLM
 * "SOFTWARE\Morvanta\Vesk Sample", so that a test sees how it was called:
 *   RegistrationCommandLine  the command line exactly as received;
 *   RegistrationArguments    what follows the program's own path in it;
 *   RegistrationRuns         a count of the starts (REG_DWORD).
 * The program's path may be quoted or not: a caller that leaves a path with
 * blanks unquoted still reaches this program, and its path is then found by
 * comparing the command line with the program's own file name.
 *
 * Exit code 0 when the runtime was registered, 87 (invalid parameter) for
 * other arguments, or the registry's error code. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

static const char kSampleKey[] = "SOFTWARE\\Morvanta\\Vesk Sample";
static const char kRuntimesKey[] = "SOFTWARE\\Morvanta\\Auto Update\\Runtimes";

static void SetText(HKEY key, const char* name, const char* text) {
  RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1);
}

/* The part of `line` after the program's path, without the blanks before it. */
static const char* ArgumentsOf(const char* line) {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
  const char* rest = NULL;
  if (n > 0 && n < sizeof self) {
    if (line[0] == '"' && _strnicmp(line + 1, self, n) == 0 && line[n + 1] == '"')
      rest = line + n + 2;
    else if (_strnicmp(line, self, n) == 0 && (line[n] == ' ' || line[n] == '\t' || line[n] == 0))
      rest = line + n;
  }
  if (!rest) {
    /* Started under another name: the first blank-separated token. */
    rest = line;
    if (*rest == '"') {
      const char* end = strchr(rest + 1, '"');
      rest = end ? end + 1 : rest + strlen(rest);
    } else {
      while (*rest && *rest != ' ' && *rest != '\t') ++rest;
    }
  }
  while (*rest == ' ' || *rest == '\t') ++rest;
  return rest;
}

static void RecordStart(const char* line, const char* arguments) {
  HKEY key = NULL;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSampleKey, 0, NULL, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &key,
                      NULL) != ERROR_SUCCESS)
    return;
  SetText(key, "RegistrationCommandLine", line);
  SetText(key, "RegistrationArguments", arguments);
  DWORD runs = 0, type = 0, size = sizeof runs;
  if (RegQueryValueExA(key, "RegistrationRuns", NULL, &type, (BYTE*)&runs, &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof runs)
    runs = 0;
  ++runs;
  RegSetValueExA(key, "RegistrationRuns", 0, REG_DWORD, (const BYTE*)&runs, sizeof runs);
  RegCloseKey(key);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR unused, int show) {
  (void)instance; (void)previous; (void)unused; (void)show;
  const char* line = GetCommandLineA();
  const char* arguments = ArgumentsOf(line);
  RecordStart(line, arguments);

  /* Expected: "-r", the runtime tag and the version, separated by blanks. */
  char copy[1024];
  if (strlen(arguments) >= sizeof copy) return ERROR_INVALID_PARAMETER;
  strcpy(copy, arguments);
  char* words[4];
  int count = 0;
  for (char* word = strtok(copy, " \t"); word; word = strtok(NULL, " \t")) {
    if (count == 4) return ERROR_INVALID_PARAMETER;
    words[count++] = word;
  }
  if (count != 3 || strcmp(words[0], "-r") != 0) return ERROR_INVALID_PARAMETER;

  HKEY key = NULL;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRuntimesKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
  if (result != ERROR_SUCCESS) return (int)result;
  SetText(key, words[1], words[2]);
  RegCloseKey(key);
  return 0;
}
