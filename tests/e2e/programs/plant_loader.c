/* qmb-plant-loader.exe NAME...: loads each NAME with LoadLibraryA by bare
 * name, as a careless program would, and prints one line per name:
 *
 *   plant-loader: <NAME> loaded from <path> | not loaded (error <code>)
 *
 * The dynamic-load control of the library planting test: it shows that a
 * bare-name load at run time finds a planted copy, in the program's folder
 * or the current directory. It imports none of the planted names itself. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    HMODULE module = LoadLibraryA(argv[i]);
    if (module == NULL) {
      printf("plant-loader: %s not loaded (error %lu)\n", argv[i], (unsigned long)GetLastError());
      continue;
    }
    char path[MAX_PATH] = "";
    GetModuleFileNameA(module, path, MAX_PATH);
    printf("plant-loader: %s loaded from %s\n", argv[i], path);
    FreeLibrary(module);
  }
  return 0;
}
