// The two follow-up packages of a silent run: the public runtime package
// and the database package that the kit's package placed in the kit's
// install folder, installed silently after the main install and then
// deleted together with the runtime package's two transforms.
#pragma once

#include "driver/install_options.h"

// Does nothing unless `options.silent`. Reads the kit's folder (VeskHome)
// and holds it; without it, or when it is a link or found elsewhere than at
// its path, nothing is installed or deleted. Otherwise, each package that is
// there as a plain file is held (read, and shared for reading only) from
// its check until its installer has ended, and installed with
// `installerTool`:
//   "<tool>" /i "<kit>\zlp.msi" /qn ADDLOCAL=ALL SDKSILENT=1          (1033)
//   "<tool>" /i "<kit>\zlp.msi" TRANSFORMS="<kit>\zlp<lang>.MST" /qn ADDLOCAL=ALL SDKSILENT=1
//   "<tool>" /i "<kit>\veskdb.msi" /qn
// each followed by " INSTALLDIR=<folder>" when its folder option was given;
// then zlp.msi and veskdb.msi (each only when it is still the file held),
// zlp2052.MST and zlp1041.MST are deleted, in that order, through handles
// opened below the kit folder on the names themselves. Exit codes are not
// used. A command that would not fit 1024
// bytes is not started; the phase goes on with its next step.
void SilentFollowUps(const InstallOptions& options, const char* installerTool);
