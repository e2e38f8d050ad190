#include "driver/main_command_line.h"

bool BuildMainCommandLine(CommandText* line, const char* tool, const char* packagePath, LANGID language,
                          const char* passThrough) {
  if (language == 1033) return line->format("\"%s\" /i \"%s\" %s WRAPPER=1", tool, packagePath, passThrough);
  return line->format("\"%s\" /i \"%s\" TRANSFORMS=:%u %s WRAPPER=1", tool, packagePath,
                      static_cast<unsigned>(language), passThrough);
}
