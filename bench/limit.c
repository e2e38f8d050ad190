/* bench-limit: the benchmark's limit. It writes the package and the seven
 * cabinets that the bootstrapper writes before the ready event, from its own
 * resources (the same payload, under the same resource types and numbers),
 * in the same order, with the same CreateFileA arguments and in writes of at
 * most 8192 bytes, all on one thread and with nothing else to do. The files go
 * into the folder named by its command line (created when missing).
 *
 * Records "limit_start <ticks>" for its entry point and "limit_done <ticks>"
 * when the last file is closed. Exit code 0, or
 * the Windows error code of the first failed step (a missing resource: 1813,
 * ERROR_RESOURCE_TYPE_NOT_FOUND). */
#include <windows.h>
#include <stdio.h>

#include "bench_record.h"

#define WRITE_CHUNK 8192

struct Item {
  WORD number;
  const char* type;
  const char* name;
};

static const struct Item kItems[] = {
    {101, "VESK_INSTALLER", "qmb1.6.0_39.msi"},
    {110, "VESK_CAB9", "ss160390.cab"},
    {111, "VESK_CAB10", "st160390.cab"},
    {108, "VESK_CAB7", "sj160390.cab"},
    {109, "VESK_CAB8", "sp160390.cab"},
    {112, "VESK_CAB11", "sz160390.cab"},
    {113, "VESK_CAB12", "sb160390.cab"},
    {114, "VESK_CAB13", "sr160390.cab"},
};

static DWORD WriteItem(const struct Item* item, const char* folder) {
  HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(item->number), item->type);
  if (!found) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  DWORD size = SizeofResource(NULL, found);
  const BYTE* data = (const BYTE*)LockResource(LoadResource(NULL, found));
  if (!data && size) return ERROR_RESOURCE_DATA_NOT_FOUND;
  char path[MAX_PATH];
  if (snprintf(path, sizeof path, "%s\\%s", folder, item->name) >= (int)sizeof path)
    return ERROR_FILENAME_EXCED_RANGE;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD done = 0;
  while (done < size) {
    DWORD request = size - done <= WRITE_CHUNK ? size - done : WRITE_CHUNK;
    DWORD written = 0;
    if (!WriteFile(file, data + done, request, &written, NULL) || written == 0) {
      DWORD error = GetLastError();
      CloseHandle(file);
      return error ? error : ERROR_WRITE_FAULT;
    }
    done += written;
  }
  if (!CloseHandle(file)) return GetLastError();
  return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show) {
  (void)instance;
  (void)previous;
  (void)arguments;
  (void)show;
  LONGLONG start = BenchNow();
  const char* folder = BenchCommandTail();
  if (!folder[0]) return ERROR_BAD_ARGUMENTS;
  if (!BenchRecordOpen()) return ERROR_OPEN_FAILED;
  CreateDirectoryA(folder, NULL);
  for (size_t i = 0; i < sizeof kItems / sizeof kItems[0]; ++i) {
    DWORD error = WriteItem(&kItems[i], folder);
    if (error) {
      BenchRecordNumber("limit_error", error);
      return (int)error;
    }
  }
  LONGLONG done = BenchNow();
  BenchRecordNumber("limit_start", (unsigned long long)start);
  BenchRecordNumber("limit_done", (unsigned long long)done);
  BenchRecordClose();
  return 0;
}
