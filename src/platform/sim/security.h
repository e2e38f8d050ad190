// The simulated machine's test-facing side of security (the token, the
// security folders are given, owners, servers); included by machine.h.
#pragma once

#include <string>

#include "platform/win32.h"

namespace sim {

// The security a folder was given by the system, as SDDL: "O:..D:..S:..",
// each part present only when it was set; "" when none was.
std::string FolderSecurity(const std::string& path);
// Labels are refused with 5, when a folder is made and on an existing
// object alike (Wine refuses them on existing objects).
void RefuseLabels(bool refuse);

// The process token: an elevated administrator's (the default), or a
// limited user's, which may name only the user as an owner and writes only
// where a folder's access list lets the user write.
void SetAdministrator(bool administrator);
// An administrator's token that UAC filtered (started without elevation):
// the Administrators are in it, for deny only.
void SetFilteredAdministrator();
// A folder an elevated process made earlier with default security: owned by
// the Administrators, and the user's to change (inherited full control).
void MakeAdministratorsFolder(const std::string& path);
// A folder an earlier run made with the security `sddl` ("O:..D:..S:..").
void MakeSecuredFolder(const std::string& path, const std::string& sddl);
// A named event that another account's process made and holds, owned by
// `ownerSid`; its access list lets the run open it or not.
void MakeEventOfAnotherAccount(const std::string& name, const std::string& ownerSid, bool lettingTheRunOpenIt);
// The folders below `path` live on a file server, whose view of the user
// holds no Administrators group: any owner but the user is refused with
// ERROR_INVALID_OWNER.
void PutOnServer(const std::string& path);

}  // namespace sim
