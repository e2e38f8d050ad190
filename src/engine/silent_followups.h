// The two follow-up packages of a silent run: the public runtime package
// and the database package that the kit's package placed in the kit's
// install folder, installed silently after the main install and then
// deleted together with the runtime package's two transforms.
#pragma once

#include "driver/install_options.h"

// True when a directory search finds `path` (a folder of that name counts;
// wildcards match as in any search).
bool FileExists(const char* path);

// Does nothing unless `options.silent`. Reads the kit's folder (VeskHome);
// without it nothing is installed or deleted. Otherwise, each package that
// exists is installed with `installerTool`:
//   "<tool>" /i "<kit>\zlp.msi" /qn ADDLOCAL=ALL SDKSILENT=1          (1033)
//   "<tool>" /i "<kit>\zlp.msi" TRANSFORMS="<kit>\zlp<lang>.MST" /qn ADDLOCAL=ALL SDKSILENT=1
//   "<tool>" /i "<kit>\veskdb.msi" /qn
// each followed by " INSTALLDIR=<folder>" when its folder option was given;
// then zlp.msi, veskdb.msi, zlp2052.MST and zlp1041.MST are deleted, in
// that order. Exit codes are not used. A command that would not fit 1024
// bytes is not started; the phase goes on with its next step.
void SilentFollowUps(const InstallOptions& options, const char* installerTool);
