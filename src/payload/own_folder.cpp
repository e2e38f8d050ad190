#include "payload/own_folder.h"

#include "diag/diag_log.h"
#include "diag/system_library.h"
#include "payload/failure_report.h"
#include "payload/folder_handle.h"
#include "platform/native_files.h"
#include "platform/windows_version.h"

namespace {

const char kAdministrators[] = "S-1-5-32-544";

// The owner a folder of the run's own is given, as SDDL.
bool OwnerText(const Token& token, SidText* owner) {
  return owner->format("O:%s", token.administrator ? "BA" : token.user.c_str());
}

// The descriptor of a folder of the run's own (see the header), with the
// owner when `owner` and the label when `label`.
bool OwnDescriptor(const Token& token, bool owner, bool label, PSECURITY_DESCRIPTOR* descriptor) {
  SidText ownerText;
  CommandText sddl;
  if ((owner && !OwnerText(token, &ownerText)) ||
      !sddl.format("%sD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;%s;;;%s)%s", ownerText.c_str(),
                   token.administrator ? "0x1200a9" : "FA", token.user.c_str(), label ? "S:(ML;OICI;NW;;;ME)" : ""))
    return false;
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, descriptor,
                                                              nullptr) != FALSE;
}

}  // namespace

bool ReadToken(Token* token) {
  HANDLE handle = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle)) return false;
  union {
    TOKEN_USER user;
    BYTE bytes[256];
  } user;
  // Most tokens' groups fit here; a larger list is read into an allocation.
  union {
    TOKEN_GROUPS groups;
    BYTE bytes[4096];
  } stackGroups;
  DWORD length = 0;
  char* text = nullptr;
  bool ok = GetTokenInformation(handle, TokenUser, &user, sizeof user, &length) &&
            ConvertSidToStringSidA(user.user.User.Sid, &text) && token->user.assign(text);
  if (text != nullptr) LocalFree(text);
  TOKEN_GROUPS* groups = &stackGroups.groups;
  HLOCAL allocated = nullptr;
  if (ok && !GetTokenInformation(handle, TokenGroups, groups, sizeof stackGroups, &length)) {
    ok = GetLastError() == ERROR_INSUFFICIENT_BUFFER && (allocated = LocalAlloc(LMEM_FIXED, length)) != nullptr &&
         GetTokenInformation(handle, TokenGroups, allocated, length, &length);
    groups = static_cast<TOKEN_GROUPS*>(allocated);
  }
  token->administrator = false;
  for (DWORD i = 0; ok && !token->administrator && i < groups->GroupCount; ++i) {
    DWORD a = groups->Groups[i].Attributes;
    if ((a & SE_GROUP_ENABLED) == 0 || (a & SE_GROUP_OWNER) == 0 || (a & SE_GROUP_USE_FOR_DENY_ONLY) != 0) continue;
    char* sid = nullptr;
    ok = ConvertSidToStringSidA(groups->Groups[i].Sid, &sid) != FALSE;
    if (ok) token->administrator = lstrcmpA(sid, kAdministrators) == 0;
    if (sid != nullptr) LocalFree(sid);
  }
  if (allocated != nullptr) LocalFree(allocated);
  CloseHandle(handle);
  return ok;
}

DWORD MakeOwnFolderBelow(HANDLE parent, const char* leaf, const char* path, const Token& token, DWORD access,
                         DWORD share, HANDLE* held, bool* ownerSet) {
  WindowsVersion version = ReadWindowsVersion();
  // Mandatory labels exist from Windows 6 on.
  bool owner = true, label = version.nt && version.major >= 6, labelDropped = false;
  for (;;) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!OwnDescriptor(token, owner, label, &descriptor)) return LastErrorOrFailed();
    NativeOpen how;
    how.access = access;
    how.share = share;
    how.disposition = kNtCreate;
    how.options = kNtDirectoryFile;
    how.security = descriptor;
    DWORD error = OpenBelow(parent, leaf, how, held);
    LocalFree(descriptor);
    if (error == ERROR_INVALID_OWNER && owner) {
      owner = false;
      DiagLogFormat("Making %s refused the owner.  ErrorCode: %d; made without one", path, static_cast<int>(error));
    } else if (error == ERROR_ACCESS_DENIED && label) {
      label = false;
      labelDropped = true;
    } else {
      if (error == 0 && labelDropped)
        DiagLogFormat("Making %s refused the label.  ErrorCode: %d; made without one", path,
                      static_cast<int>(ERROR_ACCESS_DENIED));
      *ownerSet = owner;
      return error;
    }
  }
}

bool SecurityTextOf(HANDLE object, SECURITY_INFORMATION part, CommandText* text) {
  union {
    BYTE bytes[2048];
    void* align;
  } descriptor;
  DWORD needed = 0;
  char* converted = nullptr;
  bool ok = GetKernelObjectSecurity(object, part, descriptor.bytes, sizeof descriptor.bytes, &needed) &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.bytes, SDDL_REVISION_1, part, &converted,
                                                                 nullptr) &&
            text->assign(converted);
  if (converted != nullptr) LocalFree(converted);
  return ok;
}

bool OwnerOf(HANDLE object, SidText* owner) {
  CommandText text;
  return SecurityTextOf(object, OWNER_SECURITY_INFORMATION, &text) && owner->assign(text.c_str());
}

bool IsRunsOwnFolder(HANDLE folder, const Token& token) {
  SidText owner, expected;
  CommandText dacl;
  if (!OwnerOf(folder, &owner) || !OwnerText(token, &expected) || lstrcmpiA(owner.c_str(), expected.c_str()) != 0 ||
      !SecurityTextOf(folder, DACL_SECURITY_INFORMATION, &dacl) || FindText(dacl.c_str(), "D:") != dacl.c_str())
    return false;
  // The list's flags stand between "D:" and its first entry: P for protected.
  bool protectedList = false;
  for (const char* c = dacl.c_str() + 2; *c != '\0' && *c != '('; ++c) protectedList = protectedList || *c == 'P';
  return protectedList;
}

DWORD CheckOwner(HANDLE folder, const Token& token) {
  SidText owner, expected, system;
  if (!OwnerOf(folder, &owner) || !OwnerText(token, &expected)) return LastErrorOrFailed();
  if (lstrcmpiA(owner.c_str(), expected.c_str()) == 0) return 0;
  PathText directory;
  if (!ReadSystemDirectory(directory.data(), static_cast<UINT>(PathText::kBytes))) return LastErrorOrFailed();
  HANDLE held = OpenFolderHandle(directory.c_str(), READ_CONTROL);
  if (held == INVALID_HANDLE_VALUE) return LastErrorOrFailed();
  DWORD error = !OwnerOf(held, &system)                              ? LastErrorOrFailed()
                : lstrcmpiA(owner.c_str(), system.c_str()) == 0 ? 0
                                                                   : ERROR_STOPPED_ON_SYMLINK;
  CloseHandle(held);
  return error;
}

