/* qmb-reg-query: how a registry value is stored, byte for byte.
 *
 *   qmb-reg-query SUBKEY VALUE        (under HKEY_LOCAL_MACHINE)
 *
 * Prints one line:
 *   type=<n> wide_bytes=<n> ansi_bytes=<n> text=<letters>
 * wide_bytes is the stored size as RegQueryValueExW reports it, so a text
 * stored without its terminator shows two bytes per letter and nothing more;
 * ansi_bytes is the size RegQueryValueExA reports; text is the ANSI data up
 * to the first zero or the reported size. `reg query` cannot show the
 * difference between a terminated and an unterminated text. Exit code 0, or
 * 1 when the key or the value is missing (with the registry's error code). */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: qmb-reg-query SUBKEY VALUE\n");
    return 2;
  }
  HKEY key = NULL;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_QUERY_VALUE, &key);
  if (result != ERROR_SUCCESS) {
    printf("error=%ld opening the key\n", (long)result);
    return 1;
  }
  WCHAR wide_name[256];
  if (!MultiByteToWideChar(CP_ACP, 0, argv[2], -1, wide_name, 256)) {
    RegCloseKey(key);
    return 2;
  }
  DWORD type = 0, wide_bytes = 0;
  result = RegQueryValueExW(key, wide_name, NULL, &type, NULL, &wide_bytes);
  if (result != ERROR_SUCCESS) {
    printf("error=%ld querying the value\n", (long)result);
    RegCloseKey(key);
    return 1;
  }
  /* One byte more than the data, zero-filled, so the text always ends. */
  char data[4097];
  memset(data, 0, sizeof data);
  DWORD ansi_bytes = sizeof data - 1;
  result = RegQueryValueExA(key, argv[2], NULL, NULL, (BYTE*)data, &ansi_bytes);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    printf("error=%ld reading the value\n", (long)result);
    return 1;
  }
  printf("type=%lu wide_bytes=%lu ansi_bytes=%lu text=%s\n", (unsigned long)type, (unsigned long)wide_bytes,
         (unsigned long)ansi_bytes, data);
  return 0;
}
