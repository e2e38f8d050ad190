#include "driver/run_admission.h"

#include "diag/diag_log.h"
#include "payload/failure_report.h"
#include "payload/own_folder.h"
#include "platform/fixed_text.h"
#include "platform/windows_version.h"

namespace {

// Whether the owner of the open `object`, as SDDL ("O:..."), is one that a
// run of this user gives its lock: the user (named as the owner when the
// lock is made; no other account can name it), or the Administrators or
// SYSTEM, who can do anything anyway.
bool OwnedByThisUser(HANDLE object, const Token& token) {
  SidText owner, user;
  return OwnerOf(object, &owner) &&
         (lstrcmpiA(owner.c_str(), "O:BA") == 0 || lstrcmpiA(owner.c_str(), "O:SY") == 0 ||
          (user.format("O:%s", token.user.c_str()) && lstrcmpiA(owner.c_str(), user.c_str()) == 0));
}

DWORD TakeRunLock(const Token& token) {
  CommandText name, sddl;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!name.format("Local\\QorQMBSetupRun-%s", token.user.c_str()) ||
      !sddl.format("O:%sD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;%s)", token.user.c_str(), token.user.c_str()) ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return LastErrorOrFailed();
  SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
  HANDLE lock = CreateEventA(&security, TRUE, FALSE, name.c_str());
  DWORD error = GetLastError();
  LocalFree(descriptor);
  if (lock == nullptr) {
    DiagLogFormat("CreateEvent(%s) failed.  ErrorCode: %d; the run goes on without its lock", name.c_str(),
                  static_cast<int>(error));
    return 0;
  }
  if (error != ERROR_ALREADY_EXISTS) return 0;  // held until the process ends
  bool another = OwnedByThisUser(lock, token);
  CloseHandle(lock);
  if (another) return ERROR_INSTALL_ALREADY_RUNNING;
  DiagLogFormat("CreateEvent(%s) found another account's object; the run goes on without its lock", name.c_str());
  return 0;
}

}  // namespace

DWORD AdmitRun() {
  Token token;
  if (!ReadToken(&token)) return LastErrorOrFailed();
  WindowsVersion version = ReadWindowsVersion();
  if (version.nt && version.major >= 6 && !token.administrator) return ERROR_ELEVATION_REQUIRED;
  return TakeRunLock(token);
}
