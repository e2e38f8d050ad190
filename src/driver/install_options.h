// The options of one run and the text passed on to the installer.
#pragma once

#include "platform/fixed_text.h"
#include "platform/win32.h"

struct InstallOptions {
  // A constructor of its own: without one the compiler builds the object by
  // copying a 2 KB image of its initial values that it keeps in the exe.
  InstallOptions() {}
  LANGID language = 1033;       // the installer language
  bool silent = false;          // "/s"
  bool addLocalSeen = false;    // a passed-through argument contained "ADDLOCAL="
  CommandText runtimeInstallDir;   // "/INSTALLDIRPUBZLP=" value, empty when not given
  CommandText databaseInstallDir;  // "/INSTALLDIRVESKDB=" value, empty when not given
};

// Everything the run passes on to the installer on the main command line,
// each argument followed by one blank (capacity 1024 bytes).
typedef CommandText PassThroughArgs;
