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
 * The key belongs to the sample package alone. A 32-bit custom action on a
 * 64-bit system writes to the 32-bit registry view. */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <stdio.h>

#define READY_EVENT_NAME "QorQMBCabExtractWaitEvent"
#define READY_WAIT_MS 900000u

static const char kSampleKey[] = "SOFTWARE\\Morvanta\\Vesk Sample";

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
