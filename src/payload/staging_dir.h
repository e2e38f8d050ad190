// The versioned staging directory below the per-user data folder:
//   <data>\Qor\Vesk\qmb1.6.0_39\qmb1.6.0_39.msi       (the package)
//   <data>\Qor\Vesk\qmb1.6.0_39\<base name>.cab       (the cabinets)
// and "_x64" after the directory name in the 64-bit flavour. Each operation
// resolves the data folder anew and rebuilds its paths from the build
// constants, so the main thread and the cabinet thread share no memory.
#pragma once

#include "payload/run_folder.h"
#include "platform/fixed_text.h"

// Creates the data folder (its result is not tested), makes or takes over
// the maker, product and staging folders (run_folder.h) and holds them in
// *held until the caller lets them go, and leaves the package path in
// `path`. A folder that cannot be used ends the process with the create
// step's message and the code that names the cause. A path that would not
// fit 260 bytes leaves `path` empty, which the file write refuses as an
// over-long name; so does a data folder that comes out empty.
void PreparePackagePath(PathText* path, bool is64Bit, HeldFolders* held);

// As above for one cabinet, from the maker folder down (the data folder
// itself is not created here).
void PrepareCabinetPath(PathText* path, const char* baseName, bool is64Bit, HeldFolders* held);

// Deletes the plain files of the staging directory of the kit (selector
// nonzero, "qmb") or of the runtime (zero, "zlp"), then removes the staging,
// product and maker folders in that order where they are empty. A link in
// place of any of the three leaves everything alone. Failures are ignored.
// Returns 0.
int RemoveStagingDir(int kitSelector);

// Deletes the plain files of `folder` (no trailing backslash); subfolders,
// links and what they lead to stay. Returns 1 when every file found was deleted (also
// when the folder cannot be searched), 0 when a deletion failed.
int DeleteFilesInFolder(const char* folder);
