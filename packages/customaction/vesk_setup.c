/* Custom actions of the sample kit package.
 *
 * The wait step: when a bootstrapper starts the package (WRAPPER=1), the
 * cabinets are still being written beside the package while the install
 * starts. The bootstrapper sets the named manual-reset event once the last
 * cabinet is complete; the package waits for it, at most 15 minutes, before
 * anything reads the cabinets, and goes on the same way when the time runs
 * out (the installer then reports a missing or damaged cabinet itself).
 *
 * Both entry points record the outcome under HKLM "SOFTWARE\Morvanta\Vesk
 * Sample" so that a test can see whether, where and how the wait ended:
 *   CabWait      "signalled", "timed out", or "error <code>" when the event
 *                could not be created or waited on;
 *   CabWaitStep  the sequence that ran the wait.
 *   ExecuteRuns  a count of the execute sequences that ran (REG_DWORD), so
 *                that a test sees how often the installer ran the package.
 * The key belongs to the sample package alone. A 32-bit custom action on a
 * 64-bit system writes to the 32-bit registry view.
 *
 * The install status: the package asks its bootstrapper for something after
 * the install by leaving the value InstallStatus under HKLM
 * "SOFTWARE\Morvanta", a REG_SZ holding one of "exists", "reinstall" or
 * "decline". The stored length is that of the letters alone, with no
 * terminating zero, as the bootstrapper expects (it reads the value into a
 * zero-filled buffer and compares the letters). A bootstrapper runs the
 * installer once more when it finds "reinstall" and removes the value first;
 * it leaves the other two texts alone. */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <stdio.h>
#include <string.h>

#define READY_EVENT_NAME "QorQMBCabExtractWaitEvent"
#define READY_WAIT_MS 900000u

static const char kSampleKey[] = "SOFTWARE\\Morvanta\\Vesk Sample";
static const char kSettingsKey[] = "SOFTWARE\\Morvanta";
static const char kInstallStatusValue[] = "InstallStatus";

static void LogInfo(MSIHANDLE install, const char* text) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (!record) return;
  MsiRecordSetStringA(record, 0, text);
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

static void RecordValue(const char* name, const char* text) {
  HKEY key = NULL;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSampleKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                      NULL) != ERROR_SUCCESS)
    return;
  RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)lstrlenA(text) + 1);
  RegCloseKey(key);
}

/* Creates or opens the event (whichever side comes first creates it),
 * waits, and writes the outcome into `outcome`. */
static void WaitForReadyEvent(char* outcome, size_t capacity) {
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, READY_EVENT_NAME);
  if (!event) {
    snprintf(outcome, capacity, "error %lu", (unsigned long)GetLastError());
    return;
  }
  DWORD result = WaitForSingleObject(event, READY_WAIT_MS);
  if (result == WAIT_OBJECT_0)
    snprintf(outcome, capacity, "signalled");
  else if (result == WAIT_TIMEOUT)
    snprintf(outcome, capacity, "timed out");
  else
    snprintf(outcome, capacity, "error %lu", (unsigned long)GetLastError());
  CloseHandle(event);
}

static UINT RunWaitStep(MSIHANDLE install, const char* step) {
  char outcome[64];
  char line[160];
  snprintf(line, sizeof line, "Waiting for the cabinets (event %s, %u ms) in %s",
           READY_EVENT_NAME, READY_WAIT_MS, step);
  LogInfo(install, line);
  WaitForReadyEvent(outcome, sizeof outcome);
  RecordValue("CabWaitStep", step);
  RecordValue("CabWait", outcome);
  snprintf(line, sizeof line, "Cabinet wait ended: %s", outcome);
  LogInfo(install, line);
  return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall WaitForCabinetsUI(MSIHANDLE install) {
  return RunWaitStep(install, "InstallUISequence");
}

__declspec(dllexport) UINT __stdcall WaitForCabinetsExecute(MSIHANDLE install) {
  return RunWaitStep(install, "InstallExecuteSequence");
}

/* Counts this run of the execute sequence: ExecuteRuns + 1. */
__declspec(dllexport) UINT __stdcall CountExecuteRun(MSIHANDLE install) {
  HKEY key = NULL;
  (void)install;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSampleKey, 0, NULL, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, NULL,
                      &key, NULL) != ERROR_SUCCESS)
    return ERROR_SUCCESS;
  DWORD runs = 0, type = 0, size = sizeof runs;
  if (RegQueryValueExA(key, "ExecuteRuns", NULL, &type, (BYTE*)&runs, &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof runs)
    runs = 0;
  ++runs;
  RegSetValueExA(key, "ExecuteRuns", 0, REG_DWORD, (const BYTE*)&runs, sizeof runs);
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

/* Writes InstallStatus = `text` (one of the three status texts) without a
 * terminating zero. The registry extends a REG_SZ by its terminator when the
 * byte after the data is zero, so the letters are copied into a buffer
 * whose next byte is not. Returns the registry's error code. */
static LONG WriteInstallStatus(const char* text) {
  char letters[16];
  size_t length = (size_t)lstrlenA(text);
  if (length + 1 >= sizeof letters) return ERROR_INVALID_PARAMETER;
  memcpy(letters, text, length);
  letters[length] = '!';
  letters[length + 1] = 0;
  HKEY key = NULL;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
  if (result != ERROR_SUCCESS) return result;
  result = RegSetValueExA(key, kInstallStatusValue, 0, REG_SZ, (const BYTE*)letters, (DWORD)length);
  RegCloseKey(key);
  return result;
}

static int IsInstallStatusText(const char* text) {
  return lstrcmpA(text, "exists") == 0 || lstrcmpA(text, "reinstall") == 0 || lstrcmpA(text, "decline") == 0;
}

/* Deferred: CustomActionData is the status text to leave for the
 * bootstrapper. A text other than the three is refused (logged, nothing
 * written) and does not fail the install. */
__declspec(dllexport) UINT __stdcall RecordInstallStatus(MSIHANDLE install) {
  char text[64] = "";
  DWORD size = sizeof text;
  char line[160];
  if (MsiGetPropertyA(install, "CustomActionData", text, &size) != ERROR_SUCCESS) text[0] = 0;
  if (!IsInstallStatusText(text)) {
    snprintf(line, sizeof line, "InstallStatus not written: \"%s\" is not exists, reinstall or decline", text);
    LogInfo(install, line);
    return ERROR_SUCCESS;
  }
  LONG result = WriteInstallStatus(text);
  snprintf(line, sizeof line, "InstallStatus \"%s\" written, result %ld", text, (long)result);
  LogInfo(install, line);
  return ERROR_SUCCESS;
}
