/* qmb-argv.exe: the C runtime's view of a command line.
 *
 * Linked with msvcrt like any mingw program, whose start-up code asks the
 * runtime for the argument vector; under Wine that is Wine's msvcrt, which
 * splits the wide form of the command line and converts each argument to the
 * ANSI code page (taken, like the user's language, from LC_ALL when the
 * process starts), and which keeps quoting on after two double quotes inside
 * quotes (the newer runtimes' rule; the exe follows the older one, so lines
 * compared with it hold no such pair). Prints the process's ANSI code page
 * and the user's default language, then every element of the vector
 * (element 0 first) in hexadecimal, one per line:
 *
 *   acp=<GetACP()> lang=<GetUserDefaultLangID()>
 *   arg=<hex bytes>
 *
 * The end-to-end tests give it the same command-line bytes as the exe and
 * compare the exe's options with these arguments. */
#include <windows.h>
#include <stdio.h>

int _dowildcard = 0; /* the arguments as split, no wildcards expanded */

int main(int argc, char** argv) {
  printf("acp=%u lang=%u\n", GetACP(), (unsigned)GetUserDefaultLangID());
  for (int i = 0; i < argc; ++i) {
    printf("arg=");
    for (const unsigned char* p = (const unsigned char*)argv[i]; *p; ++p) printf("%02x", *p);
    printf("\n");
  }
  fflush(stdout);
  return 0;
}
