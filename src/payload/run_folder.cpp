#include "payload/run_folder.h"

#include "payload/resource_file.h"
#include "platform/fixed_text.h"

namespace {

// The user's account as SDDL text ("S-1-5-21-..."), or false.
bool UserSid(FixedText<255>* sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  // A TOKEN_USER with its SID: a SID takes at most 68 bytes.
  union {
    TOKEN_USER user;
    BYTE bytes[256];
  } info;
  DWORD length = 0;
  char* text = nullptr;
  bool ok = GetTokenInformation(token, TokenUser, &info, sizeof info, &length) &&
            ConvertSidToStringSidA(info.user.User.Sid, &text) && sid->assign(text);
  if (text != nullptr) LocalFree(text);
  CloseHandle(token);
  return ok;
}

bool LabelsExist() {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  GetVersionExA(&info);
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 6;
}

// SYSTEM and the Administrators: everything; the user: read and list
// (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE); nothing inherited from the
// data folder; owned by the Administrators; a medium label that lower
// integrity levels cannot write through, where labels exist.
bool FolderDescriptor(PSECURITY_DESCRIPTOR* descriptor, bool withLabel) {
  FixedText<255> sid;
  CommandText sddl;
  if (!UserSid(&sid) ||
      !sddl.format("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;%s)%s", sid.c_str(),
                   withLabel ? "S:(ML;OICI;NW;;;ME)" : ""))
    return false;
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, descriptor,
                                                              nullptr) != FALSE;
}

// Whether the folder's mandatory label lets a process below medium
// integrity write into it. A folder without a label counts as medium.
bool LowLabel(HANDLE folder) {
  union {
    BYTE bytes[1024];
    void* align;
  } descriptor;
  DWORD needed = 0;
  char* text = nullptr;
  if (!GetKernelObjectSecurity(folder, LABEL_SECURITY_INFORMATION, descriptor.bytes, sizeof descriptor.bytes,
                               &needed) ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.bytes, SDDL_REVISION_1,
                                                            LABEL_SECURITY_INFORMATION, &text, nullptr))
    return true;  // unknown: not shown to be safe
  // The first label entry decides: "(ML;<flags>;<rights>;;;<level>)".
  bool low = false;
  const char* entry = FindText(text, "(ML;");
  if (entry != nullptr) {
    const char* level = entry;
    for (int fields = 0; fields < 5 && *level != '\0'; ++level)
      if (*level == ';') ++fields;
    if (level[0] == 'L' && level[1] == 'W') {
      low = true;
    } else if (FindText(level, "S-1-16-") == level) {
      unsigned value = 0;
      for (const char* d = level + 7; *d >= '0' && *d <= '9'; ++d) value = value * 10 + static_cast<unsigned>(*d - '0');
      low = value < 0x2000;  // below medium
    }
  }
  LocalFree(text);
  return low;
}

// The calling thread's last error, never 0 after a failed call.
DWORD LastErrorOf() {
  DWORD error = GetLastError();
  return error != 0 ? error : ERROR_ACCESS_DENIED;
}

DWORD Fail(HANDLE* held, DWORD error) {
  ReleaseRunFolder(held);
  return error;
}

}  // namespace

bool IsRealFolder(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

DWORD OpenRunFolder(const char* path, HANDLE* held) {
  *held = INVALID_HANDLE_VALUE;
  bool withLabel = LabelsExist();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!FolderDescriptor(&descriptor, withLabel)) return Fail(held, LastErrorOf());
  DWORD error = 0;
  SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
  // A new folder has its security from the start; one that is there already
  // (left by an earlier run, or made by someone else) gets it below.
  if (!CreateDirectoryA(path, &security) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error = LastErrorOf();
  } else {
    // The name is checked before and after it is held: on systems that do
    // not tell a link by its handle, a link put there in between shows on
    // the second look, and once held the name can no longer change.
    DWORD before = GetFileAttributesA(path);
    if (before == INVALID_FILE_ATTRIBUTES) {
      error = LastErrorOf();
    } else if ((before & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      error = ERROR_STOPPED_ON_SYMLINK;
    } else if ((before & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      error = ERROR_PATH_NOT_FOUND;
    } else {
      // Listing access makes the handle count in sharing checks, so that
      // an open for deletion or renaming is refused while it is held.
      *held = CreateFileA(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      BY_HANDLE_FILE_INFORMATION info = {};
      DWORD after = INVALID_FILE_ATTRIBUTES;
      if (*held == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(*held, &info) ||
          (after = GetFileAttributesA(path)) == INVALID_FILE_ATTRIBUTES) {
        error = LastErrorOf();
      } else if (((info.dwFileAttributes | after) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = ERROR_STOPPED_ON_SYMLINK;
      } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = ERROR_PATH_NOT_FOUND;
      } else {
        SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
        if (!SetKernelObjectSecurity(*held, what | (withLabel ? LABEL_SECURITY_INFORMATION : 0), descriptor)) {
          error = LastErrorOf();
          // Where the label itself is refused, the folder is still fit
          // when the rest holds and its label is not a low one.
          if (withLabel && SetKernelObjectSecurity(*held, what, descriptor) && !LowLabel(*held)) error = 0;
        }
      }
    }
  }
  LocalFree(descriptor);
  return error == 0 ? 0 : Fail(held, error);
}

bool TakeRunFolder(const char* path, HANDLE* held) {
  // OpenRunFolder wants no trailing backslash.
  PathText name;
  if (name.assign(path)) {
    size_t n = name.size();
    if (n > 3 && name.c_str()[n - 1] == '\\') name.data()[n - 1] = '\0';
  }
  DWORD error = OpenRunFolder(name.c_str(), held);
  if (error != 0) {
    SetLastError(error);
    ExtractFailure(kCreateLabel);
  }
  return true;
}

void ReleaseRunFolder(HANDLE* held) {
  if (*held != INVALID_HANDLE_VALUE) CloseHandle(*held);
  *held = INVALID_HANDLE_VALUE;
}

void HeldFolders::Release() {
  for (int i = 2; i >= 0; --i) ReleaseRunFolder(&folder[i]);
}
