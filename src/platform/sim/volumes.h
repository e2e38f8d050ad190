// The simulated machine's test-facing side of volumes (network drives,
// volumes without security), the random generator and WOW64's redirection;
// included by machine.h.
#pragma once

#include <string>

#include "platform/win32.h"

namespace sim {

// The process is a 32-bit one on 64-bit Windows: the system directory is
// redirected to SysWOW64 (final paths show it), but for the folders the
// redirector leaves alone.
void SetWow64(bool wow64);
// Drive `drive` leads to the share `share` ("\\\\server\\share"): a remote
// drive, whose final paths name the share, and which judges the run as the
// user (no owner but the user is taken).
void MapNetworkDrive(char drive, const std::string& share);
// The folders below `path` (and it) lie on a volume without security (FAT,
// exFAT): nothing is kept of a descriptor, and every owner reads back as
// Everyone.
void PutOnUnsecuredVolume(const std::string& path);
// The next bytes of the system's random generator (SystemFunction036).
void QueueRandomBytes(const std::string& bytes);

}  // namespace sim
