// The simulated machine's security: the process token, descriptors as SDDL
// text, the security given to folders, and what another process of the
// user, without administrator rights, can do to the disk.
//
// A descriptor made by ConvertStringSecurityDescriptorToSecurityDescriptorA
// is a local allocation holding its SDDL text. Folders keep the owner,
// access list and label they are given. A folder below the low-integrity
// data folder that was given no label of its own carries the inherited low
// one, as on Windows; one given no owner is the user's (the test stands for
// the user's processes), except the system directory, which the system
// owns. Access is checked when a handle is opened: a handle keeps the access
// it was granted whatever later becomes of the security.
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>

#include "platform/sim/state.h"

namespace sim::detail {

namespace {

const char kUserSid[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
const char kLowFolderKey[] = "c:\\users\\tester\\appdata\\locallow";
const char kTrustedInstaller[] = "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The top-level parts of an SDDL text, by letter (O, G, D, S).
std::map<char, std::string> Parts(const std::string& sddl) {
  std::map<char, std::string> parts;
  char current = 0;
  int depth = 0;
  for (size_t i = 0; i < sddl.size(); ++i) {
    char c = sddl[i];
    if (depth == 0 && i + 1 < sddl.size() && sddl[i + 1] == ':' && std::strchr("OGDS", c) != nullptr) {
      current = c;
      parts[current] = std::string(1, c) + ":";
      ++i;
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (current != 0) parts[current] += c;
  }
  return parts;
}

char* LocalText(const std::string& text) {
  char* p = static_cast<char*>(std::calloc(text.size() + 1, 1));
  std::memcpy(p, text.data(), text.size());
  S().localAllocations.insert(p);
  return p;
}

// The folder's security as SDDL, with the inherited label where it has
// none of its own.
std::string Descriptor(const std::string& key) {
  State::Security sec;
  auto it = S().security.find(key);
  if (it != S().security.end()) sec = it->second;
  std::string label = sec.label;
  std::string low = kLowFolderKey;
  if (label.empty() && key.compare(0, low.size() + 1, low + "\\") == 0) label = "S:(ML;OICIID;NW;;;LW)";
  std::string owner = sec.owner;
  auto made = S().owners.find(key);
  if (owner.empty() && made != S().owners.end()) owner = made->second;
  if (owner.empty()) owner = key == Lower(S().systemDirectory) ? kTrustedInstaller : "O:" + std::string(kUserSid);
  // A volume without security keeps none: every object reads back as
  // Everyone's, with no access list of its own (the I/O manager's world
  // descriptor for a file system that has no security).
  if (OnUnsecuredVolume(key)) return "O:WD";
  return owner + sec.dacl + label;
}

// Whether the user (no administrator rights) may change the entries of a
// folder: not when the run gave it a protected access list that lets only
// SYSTEM and the Administrators write.
bool UserMayChange(const std::string& key) {
  auto it = S().security.find(key);
  if (it == S().security.end() || it->second.dacl.compare(0, 3, "D:P") != 0) return true;
  const std::string& dacl = it->second.dacl;
  for (size_t open = dacl.find('('); open != std::string::npos; open = dacl.find('(', open + 1)) {
    std::string ace = dacl.substr(open + 1, dacl.find(')', open) - open - 1);
    std::string sid = ace.substr(ace.rfind(';') + 1);
    bool writes = ace.find("FA") != std::string::npos || ace.find("GA") != std::string::npos ||
                  ace.find("FW") != std::string::npos || ace.find("GW") != std::string::npos;
    if (ace.compare(0, 2, "A;") == 0 && writes && sid != "SY" && sid != "BA") return true;
  }
  return false;
}

Path MustResolve(const std::string& path) {
  Path p;
  DWORD error = 0;
  if (!ResolvePath(path, &p, &error, 100000)) std::abort();
  return p;
}

}  // namespace

std::string TokenUserSid() { return kUserSid; }

bool FolderHeldAgainstDeletion(const std::string& key) {
  for (auto& [h, obj] : S().handles) {
    if (obj->kind != Kind::File) continue;
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->directory && f->key == key && TakesPartInSharing(f->access) && (f->share & FILE_SHARE_DELETE) == 0)
      return true;
  }
  return false;
}

// A file server judges the run as the user whose credentials reach it: the
// administrator's rights of this machine count for nothing there.
bool RunMayChange(const std::string& folderKey) {
  return (S().administrator && !OnServer(folderKey)) || UserMayChange(folderKey);
}

bool OnServer(const std::string& key) {
  for (const std::string& folder : S().serverFolders)
    if (key == folder || key.compare(0, folder.size() + 1, folder + "\\") == 0) return true;
  return S().networkDrives.count(key.empty() ? ' ' : key[0]) != 0;
}

bool OnUnsecuredVolume(const std::string& key) {
  for (const std::string& folder : S().unsecuredFolders)
    if (key == folder || key.compare(0, folder.size() + 1, folder + "\\") == 0) return true;
  return false;
}

void MadeBy(const std::string& key, const char* sddl, DWORD info) {
  // A volume without security keeps no descriptor.
  if (OnUnsecuredVolume(key)) return;
  if (sddl != nullptr) {
    ApplyDescriptor(key, sddl, info);
  } else if (S().administrator && !OnServer(key)) {
    // "If a member of the Administrators group creates a file or a
    // directory, then the Administrators, as a group, own [it]" (KB Q100599;
    // the elevated token's default owner is BUILTIN\Administrators).
    S().owners[key] = "O:BA";
  }
}

void Done(const char* op, const std::string& argument) {
  if (Self().role != Role::Bootstrapper) return;
  State& s = S();
  for (auto it = s.doneHooks.begin(); it != s.doneHooks.end(); ++it) {
    if (it->op != op || (!it->match.empty() && argument.find(it->match) == std::string::npos)) continue;
    std::function<void()> action = std::move(it->action);
    s.doneHooks.erase(it);
    DWORD error = Self().lastError;
    action();
    Self().lastError = error;
    return;
  }
}

DWORD DescriptorRefused(const std::string& key, const char* sddl, DWORD info) {
  std::map<char, std::string> parts = Parts(sddl);
  // A system that refuses labels refuses them whichever call carries them.
  if ((info & LABEL_SECURITY_INFORMATION) != 0 && parts.count('S') && S().refuseLabels) return ERROR_ACCESS_DENIED;
  if ((info & OWNER_SECURITY_INFORMATION) != 0 && parts.count('O')) {
    // An owner must be the token's user or one of its groups marked
    // SE_GROUP_OWNER (the Administrators of an elevated token), else
    // ERROR_INVALID_OWNER (Windows access control, "Ownership of Objects";
    // winerror.h 1307). A file server judges by its own view of the user,
    // which holds no Administrators group of this machine.
    std::string owner = parts['O'].substr(2);
    bool onServer = OnServer(key);
    bool administrators = owner == "BA" || owner == "S-1-5-32-544";
    if (owner != kUserSid && !(administrators && S().administrator && !onServer)) return ERROR_INVALID_OWNER;
  }
  return 0;
}

void ApplyDescriptor(const std::string& key, const char* sddl, DWORD info) {
  std::map<char, std::string> parts = Parts(sddl);
  State::Security& sec = S().security[key];
  if ((info & OWNER_SECURITY_INFORMATION) != 0 && parts.count('O')) sec.owner = parts['O'];
  if ((info & DACL_SECURITY_INFORMATION) != 0 && parts.count('D')) sec.dacl = parts['D'];
  if ((info & LABEL_SECURITY_INFORMATION) != 0 && parts.count('S')) sec.label = parts['S'];
}

BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags) {
  auto lock = Enter();
  Log("SetDefaultDllDirectories(" + Hex(flags) + ")");
  if (Fault("SetDefaultDllDirectories")) return FALSE;
  S().defaultDllDirectories.push_back(flags);
  return TRUE;
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace {

struct TokenObject : Object {
  TokenObject() : Object(Kind::Token) {}
};

// A SID as the token holds it: here its SDDL text.
char g_userSid[sizeof kUserSid];

}  // namespace

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  auto lock = Enter();
  Log("OpenProcessToken(" + Hex(access) + ")");
  (void)process;
  if (Fault("OpenProcessToken")) return FALSE;
  *token = AddHandle(std::make_shared<TokenObject>());
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                                LPDWORD returned) {
  auto lock = Enter();
  Log("GetTokenInformation(" + std::to_string(static_cast<int>(infoClass)) + ")");
  auto obj = GetHandle(token);
  if (obj == nullptr || obj->kind != Kind::Token || (infoClass != TokenUser && infoClass != TokenGroups)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Fault("GetTokenInformation")) return FALSE;
  if (infoClass == TokenGroups) {
    // Everyone and Users; an elevated administrator's token also holds the
    // Administrators, enabled and owner-capable (0xF: mandatory, enabled by
    // default, enabled, owner). An administrator's filtered token (UAC, not
    // elevated) holds them for deny only (0x10: SE_GROUP_USE_FOR_DENY_ONLY,
    // "Access Tokens": a restricted token's deny-only groups).
    static char everyone[] = "S-1-1-0", users[] = "S-1-5-32-545", administrators[] = "S-1-5-32-544";
    SID_AND_ATTRIBUTES groups[] = {{everyone, 0x7}, {users, 0x7}, {administrators, 0xF}};
    if (S().filteredAdministrator) groups[2].Attributes = 0x10;
    DWORD count = S().administrator || S().filteredAdministrator ? 3 : 2;
    *returned = static_cast<DWORD>(offsetof(TOKEN_GROUPS, Groups) + count * sizeof(SID_AND_ATTRIBUTES));
    if (length < *returned) {
      SetError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    auto* out = static_cast<TOKEN_GROUPS*>(info);
    out->GroupCount = count;
    for (DWORD i = 0; i < count; ++i) out->Groups[i] = groups[i];
    return TRUE;
  }
  *returned = sizeof(TOKEN_USER);
  if (length < sizeof(TOKEN_USER)) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(g_userSid, kUserSid, sizeof kUserSid);
  static_cast<TOKEN_USER*>(info)->User.Sid = g_userSid;
  static_cast<TOKEN_USER*>(info)->User.Attributes = 0;
  return TRUE;
}

BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text) {
  auto lock = Enter();
  Log("ConvertSidToStringSidA()");
  if (Fault("ConvertSidToStringSidA")) return FALSE;
  *text = LocalText(static_cast<const char*>(sid));
  return TRUE;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor, PULONG size) {
  auto lock = Enter();
  Log("ConvertStringSecurityDescriptorToSecurityDescriptorA(" + Str(text) + ")");
  if (Fault("ConvertStringSecurityDescriptorToSecurityDescriptorA", Str(text))) return FALSE;
  if (revision != SDDL_REVISION_1 || Parts(Str(text)).empty()) {
    SetError(1336);  // ERROR_INVALID_ACL
    return FALSE;
  }
  *descriptor = LocalText(Str(text));
  if (size != nullptr) *size = static_cast<ULONG>(std::strlen(text) + 1);
  return TRUE;
}

BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                                 SECURITY_INFORMATION info, LPSTR* text,
                                                                 PULONG length) {
  auto lock = Enter();
  Log("ConvertSecurityDescriptorToStringSecurityDescriptorA(" + Hex(info) + ")");
  (void)revision;
  if (Fault("ConvertSecurityDescriptorToStringSecurityDescriptorA")) return FALSE;
  std::map<char, std::string> parts = Parts(static_cast<const char*>(descriptor));
  std::string out;
  if ((info & OWNER_SECURITY_INFORMATION) != 0) out += parts['O'];
  if ((info & DACL_SECURITY_INFORMATION) != 0) out += parts['D'];
  if ((info & LABEL_SECURITY_INFORMATION) != 0) out += parts['S'];
  *text = LocalText(out);
  if (length != nullptr) *length = static_cast<ULONG>(out.size() + 1);
  return TRUE;
}

// The folder a handle holds, or null when it holds none with that access.
static FileObject* HeldFolder(HANDLE object) {
  auto obj = GetHandle(object);
  if (obj == nullptr || obj->kind != Kind::File) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<FileObject*>(obj.get());
}

BOOL WINAPI SetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
  auto lock = Enter();
  Log("SetKernelObjectSecurity(" + Hex(reinterpret_cast<uintptr_t>(object)) + ", " + Hex(info) + ")");
  FileObject* f = HeldFolder(object);
  if (f == nullptr) return FALSE;
  if (Fault("SetKernelObjectSecurity", f->key)) return FALSE;
  // The access each part needs: the access list WRITE_DAC, the owner and
  // the label WRITE_OWNER.
  bool denied = ((info & DACL_SECURITY_INFORMATION) != 0 && (f->access & WRITE_DAC) == 0) ||
                ((info & (OWNER_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) != 0 &&
                 (f->access & WRITE_OWNER) == 0) ||
                ((info & LABEL_SECURITY_INFORMATION) != 0 && S().refuseLabels);
  if (denied) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (DWORD refused = DescriptorRefused(f->key, static_cast<const char*>(descriptor), info)) {
    SetError(refused);
    return FALSE;
  }
  ApplyDescriptor(f->key, static_cast<const char*>(descriptor), info);
  return TRUE;
}

BOOL WINAPI GetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                                    DWORD length, LPDWORD needed) {
  auto lock = Enter();
  Log("GetKernelObjectSecurity(" + Hex(reinterpret_cast<uintptr_t>(object)) + ", " + Hex(info) + ")");
  std::string sddl;
  auto obj = GetHandle(object);
  if (obj != nullptr && obj->kind == Kind::Event) {
    // An event handle of CreateEventA has every access.
    auto* e = static_cast<EventObject*>(obj.get());
    if (Fault("GetKernelObjectSecurity", e->name)) return FALSE;
    sddl = e->owner + e->dacl;
  } else {
    FileObject* f = HeldFolder(object);
    if (f == nullptr) return FALSE;
    if (Fault("GetKernelObjectSecurity", f->key)) return FALSE;
    if ((f->access & READ_CONTROL) == 0) {
      SetError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    sddl = Descriptor(f->key);
  }
  std::map<char, std::string> parts = Parts(sddl);
  std::string out;
  if ((info & OWNER_SECURITY_INFORMATION) != 0) out += parts['O'];
  if ((info & DACL_SECURITY_INFORMATION) != 0) out += parts['D'];
  if ((info & LABEL_SECURITY_INFORMATION) != 0) out += parts['S'];
  *needed = static_cast<DWORD>(out.size() + 1);
  if (length < out.size() + 1) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(descriptor, out.c_str(), out.size() + 1);
  return TRUE;
}

namespace sim {

void MakeLink(const std::string& path, const std::string& target) {
  auto lock = Lock();
  Path p = MustResolve(path), t = MustResolve(target);
  std::filesystem::create_directories(ParentOf(p).hostPath);
  if (::symlink(t.hostPath.c_str(), p.hostPath.c_str()) != 0) std::abort();
}

void MakeHardLink(const std::string& path, const std::string& file) {
  auto lock = Lock();
  Path p = MustResolve(path), f = MustResolve(file);
  std::filesystem::create_directories(ParentOf(p).hostPath);
  if (::link(f.hostPath.c_str(), p.hostPath.c_str()) != 0) std::abort();
}

DWORD UserRename(const std::string& from, const std::string& to) {
  auto lock = Lock();
  Path f = MustResolve(from), t = MustResolve(to);
  // Renaming needs deletion of the entry (its own access list, or the
  // parent's right to delete children) and adding to the new parent.
  if ((!UserMayChange(f.key) && !UserMayChange(ParentOf(f).key)) || !UserMayChange(ParentOf(t).key))
    return ERROR_ACCESS_DENIED;
  return RenameEntry(f, t, true);
}

DWORD UserWriteFile(const std::string& path, const std::string& bytes) {
  {
    auto lock = Lock();
    Path p = MustResolve(path);
    if (!UserMayChange(ParentOf(p).key)) return ERROR_ACCESS_DENIED;
    // Opening the file for writing meets the share modes of every handle
    // open on it: one that does not share writing refuses it (32).
    if (FileOpenConflicts(p.key, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
      return ERROR_SHARING_VIOLATION;
  }
  WriteFileBytes(path, bytes);
  return 0;
}

DWORD UserMakeLink(const std::string& path, const std::string& target) {
  {
    auto lock = Lock();
    Path p = MustResolve(path);
    if (!UserMayChange(ParentOf(p).key)) return ERROR_ACCESS_DENIED;
    bool dir = false;
    if (HostExists(p.hostPath, &dir) || HostIsLink(p.hostPath)) return ERROR_ALREADY_EXISTS;
  }
  MakeLink(path, target);
  return 0;
}

std::string FolderSecurity(const std::string& path) {
  auto lock = Lock();
  auto it = S().security.find(MustResolve(path).key);
  if (it == S().security.end()) return "";
  return it->second.owner + it->second.dacl + it->second.label;
}

void SetAdministrator(bool administrator) {
  auto lock = Lock();
  S().administrator = administrator;
  S().filteredAdministrator = false;
}

void SetFilteredAdministrator() {
  auto lock = Lock();
  S().administrator = false;
  S().filteredAdministrator = true;
}

void MakeSecuredFolder(const std::string& path, const std::string& sddl) {
  auto lock = Lock();
  Path p = MustResolve(path);
  std::filesystem::create_directories(p.hostPath);
  ApplyDescriptor(p.key, sddl.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION);
}

void MakeAdministratorsFolder(const std::string& path) {
  auto lock = Lock();
  Path p = MustResolve(path);
  std::filesystem::create_directories(p.hostPath);
  S().owners[p.key] = "O:BA";
}

DWORD UserMakeMountPoint(const std::string& path, const std::string& target) {
  auto lock = Lock();
  Path p = MustResolve(path);
  bool dir = false;
  if (!HostExists(p.hostPath, &dir) || !dir || HostIsLink(p.hostPath)) return ERROR_PATH_NOT_FOUND;
  // Setting a reparse point needs FILE_WRITE_ATTRIBUTES (or FILE_WRITE_DATA)
  // on the folder, which the user has on a folder of its own and not on one
  // the run secured; that access takes no part in sharing, so handles held
  // on the folder do not stop it (MS-FSA 2.1.5.10.37, FSCTL_SET_REPARSE_POINT).
  // A mount point needs an empty folder (STATUS_DIRECTORY_NOT_EMPTY).
  if (!UserMayChange(p.key)) return ERROR_ACCESS_DENIED;
  std::error_code ec;
  if (!std::filesystem::is_empty(p.hostPath, ec)) return ERROR_DIR_NOT_EMPTY;
  // The folder is now a link by name and by a handle opened on the name; a
  // handle opened on it before still holds the folder, which has no entries.
  Path t = MustResolve(target);
  // The folder object itself moves out of every drive's reach.
  std::string aside = S().hostRoot + "/mounted-" + std::to_string(++S().mountedFolders);
  if (::rename(p.hostPath.c_str(), aside.c_str()) != 0 || ::symlink(t.hostPath.c_str(), p.hostPath.c_str()) != 0)
    return ERROR_ACCESS_DENIED;
  for (auto& [h, obj] : S().handles) {
    if (obj->kind != Kind::File) continue;
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->key == p.key) f->hostPath = aside;
  }
  return 0;
}

void OnCallDone(const std::string& op, const std::string& match, std::function<void()> action) {
  auto lock = Lock();
  S().doneHooks.push_back({op, match, std::move(action)});
}

void MakeEventOfAnotherAccount(const std::string& name, const std::string& ownerSid, bool lettingTheRunOpenIt) {
  auto lock = Lock();
  auto e = std::make_shared<EventObject>();
  e->name = name;
  e->owner = "O:" + ownerSid;
  e->dacl = lettingTheRunOpenIt ? "D:(A;;GA;;;WD)" : "D:P(A;;GA;;;" + ownerSid + ")";
  e->deniesRun = !lettingTheRunOpenIt;
  // Held by that account's process for as long as the test runs.
  e->handles = 1;
  S().namedEvents[name] = e;
  S().foreignEvents.push_back(e);
}

void OpenLinksThrough(bool through) {
  auto lock = Lock();
  S().linksOpenThrough = through;
}

DWORD UserDeleteFile(const std::string& path) {
  auto lock = Lock();
  Path p = MustResolve(path);
  if (!UserMayChange(ParentOf(p).key)) return ERROR_ACCESS_DENIED;
  for (auto& [h, obj] : S().handles) {
    if (obj->kind != Kind::File) continue;
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->key == p.key && TakesPartInSharing(f->access) && (f->share & FILE_SHARE_DELETE) == 0)
      return ERROR_SHARING_VIOLATION;
  }
  return ::unlink(p.hostPath.c_str()) == 0 ? 0 : ERROR_FILE_NOT_FOUND;
}

void SetWow64(bool wow64) {
  auto lock = Lock();
  State& s = S();
  s.wow64 = false;
  Path system = MustResolve(s.systemDirectory);
  std::string windows = system.hostPath.substr(0, system.hostPath.find_last_of('/'));
  std::string entry = FindEntry(windows, "SysWOW64");
  std::string wow = windows + "/" + (entry.empty() ? "SysWOW64" : entry);
  s.wow64 = wow64;
  if (!wow64) return;
  // The 32-bit system libraries live there.
  std::filesystem::create_directories(wow);
  for (const auto& [name, library] : s.libraries) {
    std::error_code ec;
    std::filesystem::copy_file(system.hostPath + "/" + name, wow + "/" + name,
                               std::filesystem::copy_options::skip_existing, ec);
  }
}

void PutOnServer(const std::string& path) {
  auto lock = Lock();
  S().serverFolders.push_back(MustResolve(path).key);
}

void RedirectFolder(const std::string& path, const std::string& target) {
  auto lock = Lock();
  std::string key = MustResolve(path).key;
  S().redirects.push_back({key, target});
}

DWORD HoldFolderOpen(const std::string& path, DWORD access, DWORD share) {
  auto lock = Lock();
  Path p = MustResolve(path);
  bool dir = false;
  if (!HostExists(p.hostPath, &dir) || !dir) return ERROR_PATH_NOT_FOUND;
  // The access is checked now, against the security the folder has now.
  auto sec = S().security.find(p.key);
  bool users = sec == S().security.end() || sec->second.owner.empty() || sec->second.owner == "O:" + std::string(kUserSid);
  if ((access & (WRITE_DAC | WRITE_OWNER)) != 0 && !users && !UserMayChange(p.key)) return ERROR_ACCESS_DENIED;
  if (FileOpenConflicts(p.key, access, share)) return ERROR_SHARING_VIOLATION;
  auto f = NewFileObject(p, access, share);
  f->directory = true;
  f->heldByTest = true;
  f->attributes = FILE_ATTRIBUTE_DIRECTORY;
  AddHandle(f);
  return 0;
}

DWORD UserSetDacl(const std::string& path, const std::string& dacl) {
  auto lock = Lock();
  Path p = MustResolve(path);
  // A handle of the user's that was opened with WRITE_DAC still has it.
  bool granted = UserMayChange(p.key);
  for (auto& [h, obj] : S().handles) {
    if (obj->kind != Kind::File) continue;
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->heldByTest && f->key == p.key && (f->access & WRITE_DAC) != 0) granted = true;
  }
  if (!granted) return ERROR_ACCESS_DENIED;
  S().security[p.key].dacl = dacl;
  return 0;
}

void RefuseLabels(bool refuse) {
  auto lock = Lock();
  S().refuseLabels = refuse;
}

void OnCall(const std::string& op, const std::string& match, std::function<void()> action) {
  auto lock = Lock();
  S().hooks.push_back({op, match, std::move(action)});
}

std::vector<DWORD> DefaultDllDirectories() {
  auto lock = Lock();
  return S().defaultDllDirectories;
}

}  // namespace sim
