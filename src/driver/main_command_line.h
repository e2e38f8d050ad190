// The installer's command line for the main package.
#pragma once

#include "platform/fixed_text.h"
#include "platform/win32.h"

// "<tool>" /i "<package>" <pass-through> WRAPPER=1 for language 1033;
// "<tool>" /i "<package>" TRANSFORMS=:<language> <pass-through> WRAPPER=1
// otherwise (the package's embedded transform of that decimal name). The
// pass-through text goes in verbatim with its own blanks. Returns false,
// leaving `line` empty, when the whole line would not fit 1024 bytes.
bool BuildMainCommandLine(CommandText* line, const char* tool, const char* packagePath, LANGID language,
                          const char* passThrough);
