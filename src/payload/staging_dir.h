// The versioned staging directory below the per-user data folder:
//   <data>\Qor\Vesk\qmb1.6.0_39\qmb1.6.0_39.msi       (the package)
//   <data>\Qor\Vesk\qmb1.6.0_39\<base name>.cab       (the cabinets)
// and "_x64" after the directory name in the 64-bit flavour. Each operation
// resolves the data folder anew and rebuilds its paths from the build
// constants, so the main thread and the cabinet thread share no memory but
// the identity of the staging directory the main thread made, recorded
// before the cabinet thread starts.
#pragma once

#include "payload/folder_chain.h"
#include "platform/fixed_text.h"

// Creates the data folder (its result is not tested), holds it, makes the
// maker and product folders if missing and holds them, makes the staging
// directory anew as the run's own (run_folder.h) and holds it, all in *held
// until the caller lets them go, and leaves the package path in `path`. A
// folder that cannot be used ends the process with the create step's
// message and the code that names the cause. A path that would not fit 260
// bytes leaves `path` empty, which the file write refuses as an over-long
// name; so does a data folder that comes out empty.
void PreparePackagePath(PathText* path, bool is64Bit, HeldFolders* held);

// As above for one cabinet, on the cabinet thread: every folder is only
// opened, checked and held, never made, and the staging directory must be
// the one PreparePackagePath made in this process (else
// ERROR_STOPPED_ON_SYMLINK ends the process).
void PrepareCabinetPath(PathText* path, const char* baseName, bool is64Bit, HeldFolders* held);

// Which staging directory RemoveStagingDir removes.
const int kKitStaging = 1;      // the kit's, "qmb"
const int kRuntimeStaging = 0;  // the runtime's, "zlp"

// Deletes the plain files of the staging directory of the kit (selector
// nonzero, kKitStaging) or of the runtime (zero, kRuntimeStaging), then removes the staging,
// product and maker folders in that order where they are empty, each while
// the one above it is still held. Each folder is opened and checked as
// OpenRunFolder does; where `held` holds a level, the name must lead to that
// very folder. A level that is a link, or is not the held one, leaves
// everything alone; so does a level above the staging directory that is
// missing. Failures are ignored. Lets go of all that `held` holds. Returns 0.
int RemoveStagingDir(int kitSelector, HeldFolders* held = nullptr);

// Deletes the plain files of `folder` (no trailing backslash), held open
// meanwhile, through handles below it; subfolders, links and what they lead
// to stay. Returns 1 when every file found was deleted (also when the folder
// cannot be opened or listed), 0 when a deletion failed.
int DeleteFilesInFolder(const char* folder);

// Forgets the staging directory this process made, as a new process would
// start without it (the host tests run many simulated processes in one; the
// product never calls it).
void ForgetStagingDirectoryForTesting();
