#include "payload/run_folder.h"

#include "diag/diag_log.h"
#include "diag/system_library.h"
#include "payload/resource_file.h"
#include "platform/fixed_text.h"

namespace {

typedef FixedText<255> SidText;  // "S-1-5-21-..." or "O:..."; a SID takes at most 184 characters

const char kAdministrators[] = "S-1-5-32-544";

// The calling thread's last error, never 0 after a failed call.
DWORD LastErrorOf() {
  DWORD error = GetLastError();
  return error != 0 ? error : ERROR_ACCESS_DENIED;
}

// Windows 6 and later: mandatory labels, and final paths by handle.
bool IsNt6OrLater() {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  GetVersionExA(&info);
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 6;
}

// The token's user, and whether the token may name the Administrators as an
// owner: an elevated administrator's token holds that group enabled and
// owner-capable; a limited user's token, or an administrator's filtered one,
// does not.
struct Token {
  SidText user;
  bool administrator = false;
};

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

// The owner a folder of the run's own is given, as SDDL.
bool OwnerText(const Token& token, SidText* owner) {
  return owner->format("O:%s", token.administrator ? "BA" : token.user.c_str());
}

// The security of a folder of the run's own: SYSTEM and the Administrators
// everything; the user read and list (FILE_GENERIC_READ |
// FILE_GENERIC_EXECUTE), or everything when the run is not elevated (it
// writes there as that user); nothing inherited from the data folder; the
// owner of OwnerText when `owner`; a medium label that lower integrity
// levels cannot write through when `label`.
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

// Makes `path` with the run's own security. A token may name as owner only
// itself or an owner-capable group of its own, and a file server judges by
// its own view of the user: ERROR_INVALID_OWNER makes the folder without a
// named owner. A system that refuses the label makes it without one; the
// access list alone already keeps the user from writing. Both are logged.
// *ownerSet tells whether the owner of OwnerText was given.
DWORD MakeOwnFolder(const char* path, const Token& token, bool* ownerSet) {
  bool owner = true, label = IsNt6OrLater(), labelDropped = false;
  for (;;) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!OwnDescriptor(token, owner, label, &descriptor)) return LastErrorOf();
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    DWORD error = CreateDirectoryA(path, &security) ? 0 : LastErrorOf();
    LocalFree(descriptor);
    if (error == ERROR_INVALID_OWNER && owner) {
      owner = false;
      DiagLogFormat("CreateDirectory(%s) refused the owner.  ErrorCode: %d; made without one", path,
                    static_cast<int>(error));
    } else if (error == ERROR_ACCESS_DENIED && label) {
      label = false;
      labelDropped = true;
    } else {
      if (error == 0 && labelDropped)
        DiagLogFormat("CreateDirectory(%s) refused the label.  ErrorCode: %d; made without one", path,
                      static_cast<int>(ERROR_ACCESS_DENIED));
      *ownerSet = owner;
      return error;
    }
  }
}

// The owner of an open object as SDDL ("O:...").
bool OwnerOf(HANDLE object, SidText* owner) {
  union {
    BYTE bytes[1024];
    void* align;
  } descriptor;
  DWORD needed = 0;
  char* text = nullptr;
  bool ok = GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, descriptor.bytes, sizeof descriptor.bytes,
                                    &needed) &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.bytes, SDDL_REVISION_1,
                                                                 OWNER_SECURITY_INFORMATION, &text, nullptr) &&
            owner->assign(text);
  if (text != nullptr) LocalFree(text);
  return ok;
}

// The folder part of `path` (up to its last backslash, which is dropped).
bool ParentOf(const char* path, PathText* parent) {
  const char* cut = nullptr;
  for (const char* c = path; *c != '\0'; ++c)
    if (*c == '\\') cut = c;
  if (cut == nullptr || !parent->assign(path)) return false;
  parent->data()[cut - path] = '\0';
  return true;
}

HANDLE OpenFolderHandle(const char* path, DWORD access) {
  // Listing access makes the handle count in sharing checks, so that an
  // open for deletion or renaming is refused while it is held.
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Whether the owner read back is the one the run set. A system that keeps
// no owners of its own reports the same owner for its system directory
// (Wine: the user, for every file); no process without administrator rights
// can own a folder as the system directory is owned. Returns 0,
// ERROR_STOPPED_ON_SYMLINK, or the failed call's error.
DWORD CheckOwner(HANDLE folder, const Token& token) {
  SidText owner, expected, system;
  if (!OwnerOf(folder, &owner) || !OwnerText(token, &expected)) return LastErrorOf();
  if (lstrcmpiA(owner.c_str(), expected.c_str()) == 0) return 0;
  PathText directory;
  UINT n = GetSystemDirectoryA(directory.data(), static_cast<UINT>(PathText::kBytes));
  if (n == 0 || n > PathText::kCapacity) return LastErrorOf();
  HANDLE held = OpenFolderHandle(directory.c_str(), READ_CONTROL);
  if (held == INVALID_HANDLE_VALUE) return LastErrorOf();
  DWORD error = !OwnerOf(held, &system)                              ? LastErrorOf()
                : lstrcmpiA(owner.c_str(), system.c_str()) == 0 ? 0
                                                                   : ERROR_STOPPED_ON_SYMLINK;
  CloseHandle(held);
  return error;
}

// Where an open folder really is, against the path it was opened by:
// Windows 6 and later tell it by handle (GetFinalPathNameByHandleA, looked
// up at run time). A link, a mount point above it or a redirection of the
// object manager (which neither the name nor the handle shows) leads
// elsewhere. Returns 0, ERROR_STOPPED_ON_SYMLINK, or the failed call's error.
DWORD CheckFinalPath(HANDLE folder, const char* path) {
  if (!IsNt6OrLater()) return 0;
  HMODULE kernel = LoadSystemLibraryQuiet("kernel32.dll");
  if (kernel == nullptr) return LastErrorOf();
  GetFinalPathNameByHandleA_fn finalPath =
      reinterpret_cast<GetFinalPathNameByHandleA_fn>(GetProcAddress(kernel, "GetFinalPathNameByHandleA"));
  DWORD error = 0;
  // "\\?\UNC\" before a path of MAX_PATH characters.
  FixedText<MAX_PATH + 8> found;
  DWORD n = 0;
  if (finalPath == nullptr ||
      (n = finalPath(folder, found.data(), static_cast<DWORD>(found.kBytes), FILE_NAME_NORMALIZED)) == 0) {
    error = LastErrorOf();
  } else if (n >= found.kBytes) {
    error = ERROR_STOPPED_ON_SYMLINK;  // longer than any path the run opens
  } else {
    // "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share.
    char* text = found.data();
    if (FindText(text, "\\\\?\\UNC\\") == text) {
      text += 6;
      text[0] = '\\';
    } else if (FindText(text, "\\\\?\\") == text) {
      text += 4;
    }
    if (lstrcmpiA(text, path) != 0) error = ERROR_STOPPED_ON_SYMLINK;
  }
  FreeLibrary(kernel);
  return error;
}

// The checks of a held folder: a real folder, not a link, at `path`.
DWORD CheckHeldFolder(HANDLE folder, const char* path) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(folder, &info)) return LastErrorOf();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ERROR_STOPPED_ON_SYMLINK;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_PATH_NOT_FOUND;
  return CheckFinalPath(folder, path);
}

// Removes the link `path` (whose attributes by name are `attributes`) as
// itself, once a handle opened on the name itself shows a link as well.
// Where it does not (a system that opens links only through to their target,
// as Wine does), removing the name could remove what the link leads to:
// ERROR_STOPPED_ON_SYMLINK.
DWORD RemoveLink(const char* path, DWORD attributes) {
  HANDLE link = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (link == INVALID_HANDLE_VALUE) return LastErrorOf();
  BY_HANDLE_FILE_INFORMATION info = {};
  DWORD error = GetFileInformationByHandle(link, &info) ? 0 : LastErrorOf();
  CloseHandle(link);
  if (error != 0) return error;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return ERROR_STOPPED_ON_SYMLINK;
  // Both remove a link itself, never its target.
  bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryA(path) : DeleteFileA(path);
  return removed ? 0 : LastErrorOf();
}

// Empties a folder that is there already where a folder of the run's own
// goes, held (so that it cannot be swapped meanwhile) and checked, then
// removes it: its plain files are moved into `parent` and deleted there,
// links are removed as links; subfolders stay (and so does the folder:
// making it anew then fails). A read-only file, which an earlier run's
// cleanup had to leave, is moved out all the same and stays in `parent`
// under the run's name, with its bytes: the run never clears the attribute,
// which by name could reach the file of another name (a hard link).
DWORD EmptyAndRemove(const char* path, const char* parent) {
  HANDLE held = INVALID_HANDLE_VALUE;
  DWORD error = OpenRunFolder(path, RunFolder::kExisting, &held);
  if (error != 0) return error;
  CommandText pattern;
  WIN32_FIND_DATAA entry;
  HANDLE search = pattern.format("%s\\*.*", path) ? FindFirstFileA(pattern.c_str(), &entry) : INVALID_HANDLE_VALUE;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      PathText name;
      if (lstrcmpA(entry.cFileName, ".") == 0 || lstrcmpA(entry.cFileName, "..") == 0 ||
          !name.format("%s\\%s", path, entry.cFileName))
        continue;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        RemoveLink(name.c_str(), entry.dwFileAttributes);
      else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        RetireFile(name.c_str(), parent);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }
  ReleaseRunFolder(&held);
  RemoveDirectoryA(path);
  return 0;
}

// Makes a folder of the run's own anew at `path`: what is there is removed
// first (a link as a link, a folder once emptied), while the parent is held.
DWORD MakeOwnFolderAnew(const char* path, const Token& token, bool* ownerSet) {
  DWORD existing = GetFileAttributesA(path);
  DWORD error = 0;
  if (existing == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) return LastErrorOf();
  } else if ((existing & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = RemoveLink(path, existing);
  } else if ((existing & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ERROR_PATH_NOT_FOUND;
  } else {
    PathText parent;
    if (!ParentOf(path, &parent)) return ERROR_PATH_NOT_FOUND;
    error = EmptyAndRemove(path, parent.c_str());
  }
  // "Already exists" or "access denied" from here on are failures: the run
  // writes into no folder but the one it makes now.
  return error != 0 ? error : MakeOwnFolder(path, token, ownerSet);
}

}  // namespace

DWORD OpenRunFolder(const char* path, RunFolder use, HANDLE* held) {
  *held = INVALID_HANDLE_VALUE;
  Token token;
  bool ownerSet = false;
  DWORD error = 0;
  if (use == RunFolder::kOwn) {
    error = ReadToken(&token) ? MakeOwnFolderAnew(path, token, &ownerSet) : LastErrorOf();
  } else if (use == RunFolder::kShared && !CreateDirectoryA(path, nullptr) &&
             GetLastError() != ERROR_ALREADY_EXISTS) {
    error = LastErrorOf();
  }
  if (error != 0) return error;
  // A link by name is refused at once; the handle decides the rest: the
  // name can change until the folder is held, not after.
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrorOf();
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ERROR_STOPPED_ON_SYMLINK;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_PATH_NOT_FOUND;
  *held = OpenFolderHandle(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL);
  if (*held == INVALID_HANDLE_VALUE) return LastErrorOf();
  error = CheckHeldFolder(*held, path);
  // No process without administrator rights can make a folder owned as the
  // run's own is, so one swapped in between the make and the open shows.
  if (error == 0 && ownerSet) error = CheckOwner(*held, token);
  if (error != 0) ReleaseRunFolder(held);
  return error;
}

bool TakeRunFolder(const char* path, RunFolder use, HANDLE* held) {
  DWORD error = OpenRunFolder(path, use, held);
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

bool IdentityOf(HANDLE file, FileIdentity* id) {
  BY_HANDLE_FILE_INFORMATION info = {};
  *id = FileIdentity{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  id->known = true;
  id->volume = info.dwVolumeSerialNumber;
  id->high = info.nFileIndexHigh;
  id->low = info.nFileIndexLow;
  return true;
}

bool SameFile(HANDLE a, HANDLE b) {
  FileIdentity x, y;
  return IdentityOf(a, &x) && IdentityOf(b, &y) && x == y;
}

DWORD RetireFile(const char* path, const char* folder) {
  PathText own;
  if (folder == nullptr) {
    if (!ParentOf(path, &own)) return ERROR_PATH_NOT_FOUND;
    folder = own.c_str();
  }
  // A name of this process's own; one that is taken (by another thread, or
  // left by an earlier run) makes the move fail, and the next is tried.
  for (unsigned n = 0; n < 64; ++n) {
    PathText name;
    if (!name.format("%s\\~qmb%u.%u.tmp", folder, static_cast<unsigned>(GetCurrentProcessId()), n))
      return ERROR_FILENAME_EXCED_RANGE;
    if (MoveFileA(path, name.c_str())) {
      DeleteFileA(name.c_str());
      return 0;
    }
    DWORD error = LastErrorOf();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return error;
  }
  return ERROR_ALREADY_EXISTS;
}

void HeldFolders::Release() {
  for (int i = kLevels - 1; i >= 0; --i) ReleaseRunFolder(&folder[i]);
}

bool FolderChainNames(const char* dataFolder, const char* leaf, PathText (&names)[HeldFolders::kLevels]) {
  return dataFolder[0] != '\0' && names[0].assign(dataFolder) && names[1].format("%s\\Qor", dataFolder) &&
         names[2].format("%s\\Vesk", names[1].c_str()) && names[3].format("%s\\%s", names[2].c_str(), leaf);
}

void TakeFolderChain(const PathText (&names)[HeldFolders::kLevels], RunFolder shared, RunFolder own,
                     HeldFolders* held) {
  HANDLE* f = held->folder;
  TakeRunFolder(names[0].c_str(), RunFolder::kExisting, &f[0]);
  TakeRunFolder(names[1].c_str(), shared, &f[1]);
  TakeRunFolder(names[2].c_str(), shared, &f[2]);
  TakeRunFolder(names[3].c_str(), own, &f[3]);
}
