// The simulated machine's security: the process token (an elevated
// administrator's or a limited user's), descriptors as SDDL text, the
// owners, access lists and labels given to folders, and who may change a
// folder's entries.
//
// A descriptor made by ConvertStringSecurityDescriptorToSecurityDescriptorA
// is a local allocation holding its SDDL text. Folders keep the owner,
// access list and label they are given. A folder below the low-integrity
// data folder that was given no label of its own carries the inherited low
// one, as on Windows; one given no owner is the user's (the test stands for
// the user's processes), except the system directory, which the system
// owns. Access is checked when a handle is opened: a handle keeps the access
// it was granted whatever later becomes of the security.
#include <cstddef>
#include <cstring>
#include <filesystem>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

const char kUserSid[] = "S-1-5-21-1004336348-1177238915-682003330-1001";

const char kLowFolderKey[] = "c:\\users\\tester\\appdata\\locallow";

const char kTrustedInstaller[] = "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The top-level parts of an SDDL text, by letter (O, G, D, S).
static std::map<char, std::string> Parts(const std::string& sddl) {
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

// The folder's security as SDDL, with the inherited label where it has
// none of its own: below LocalLow, the low one ("Designing Applications to
// Run at a Low Integrity Level").
static std::string Descriptor(const std::string& key) {
  State::Security sec;
  auto it = Machine().security.find(key);
  if (it != Machine().security.end()) sec = it->second;
  std::string label = sec.label;
  std::string low = kLowFolderKey;
  if (label.empty() && key.compare(0, low.size() + 1, low + "\\") == 0) label = "S:(ML;OICIID;NW;;;LW)";
  std::string owner = sec.owner;
  auto made = Machine().owners.find(key);
  if (owner.empty() && made != Machine().owners.end()) owner = made->second;
  if (owner.empty()) owner = key == Lower(Machine().systemDirectory) ? kTrustedInstaller : "O:" + std::string(kUserSid);
  // A volume without security keeps none: every object reads back as
  // Everyone's, with no access list of its own (the I/O manager's world
  // descriptor for a file system without security: ReactOS
  // IopGetSetSecurityObject, SeSetWorldSecurityDescriptor).
  if (OnUnsecuredVolume(key)) return "O:WD";
  return owner + sec.dacl + label;
}

// Whether the user (no administrator rights) may change the entries of a
// folder: not when the run gave it a protected access list that lets only
// SYSTEM and the Administrators write ("How DACLs Control Access to an
// Object").
bool UserMayChange(const std::string& key) {
  auto it = Machine().security.find(key);
  if (it == Machine().security.end() || it->second.dacl.compare(0, 3, "D:P") != 0) return true;
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

// The user's other process may open a folder to change its security as
// its owner ("An object's owner implicitly has WRITE_DAC access to the
// object", Owner of a New Object), or where its access list lets the user
// change the folder.
bool UserMayChangeSecurity(const std::string& key) {
  auto sec = Machine().security.find(key);
  bool users = sec == Machine().security.end() || sec->second.owner.empty() ||
               sec->second.owner == "O:" + std::string(kUserSid);
  return users || UserMayChange(key);
}

// A file server judges the run as the user whose credentials reach it: the
// administrator's rights of this machine count for nothing there.
bool RunMayChange(const std::string& folderKey) {
  return (Machine().administrator && !OnServer(folderKey)) || UserMayChange(folderKey);
}

std::string TokenUserSid() { return kUserSid; }

bool OnServer(const std::string& key) {
  for (const std::string& folder : Machine().serverFolders)
    if (key == folder || key.compare(0, folder.size() + 1, folder + "\\") == 0) return true;
  return Machine().networkDrives.count(key.empty() ? ' ' : key[0]) != 0;
}

bool OnUnsecuredVolume(const std::string& key) {
  for (const std::string& folder : Machine().unsecuredFolders)
    if (key == folder || key.compare(0, folder.size() + 1, folder + "\\") == 0) return true;
  return false;
}

void MadeBy(const std::string& key, const char* sddl, DWORD info) {
  // A volume without security keeps no descriptor.
  if (OnUnsecuredVolume(key)) return;
  if (sddl != nullptr) {
    ApplyDescriptor(key, sddl, info);
  } else if (Machine().administrator && !OnServer(key)) {
    // "If a member of the Administrators group creates a file or a
    // directory, then the Administrators, as a group, own [it]" (KB Q100599;
    // an elevated token's default owner is BUILTIN\Administrators).
    Machine().owners[key] = "O:BA";
  }
}

DWORD DescriptorRefused(const std::string& key, const char* sddl, DWORD info) {
  std::map<char, std::string> parts = Parts(sddl);
  // A system that refuses labels refuses them whichever call carries them
  // (Wine refuses them on existing objects: wine-and-msi.md 17).
  if ((info & LABEL_SECURITY_INFORMATION) != 0 && parts.count('S') && Machine().refuseLabels) return ERROR_ACCESS_DENIED;
  if ((info & OWNER_SECURITY_INFORMATION) != 0 && parts.count('O')) {
    // An owner must be the token's user or one of its groups marked
    // SE_GROUP_OWNER (the Administrators of an elevated token), else
    // ERROR_INVALID_OWNER ("TOKEN_OWNER structure (ntifs.h)";
    // winerror.h 1307). A file server judges by its own view of the user,
    // which holds no Administrators group of this machine.
    std::string owner = parts['O'].substr(2);
    bool onServer = OnServer(key);
    bool administrators = owner == "BA" || owner == "S-1-5-32-544";
    if (owner != kUserSid && !(administrators && Machine().administrator && !onServer)) return ERROR_INVALID_OWNER;
  }
  return 0;
}

void ApplyDescriptor(const std::string& key, const char* sddl, DWORD info) {
  std::map<char, std::string> parts = Parts(sddl);
  State::Security& sec = Machine().security[key];
  if ((info & OWNER_SECURITY_INFORMATION) != 0 && parts.count('O')) sec.owner = parts['O'];
  if ((info & DACL_SECURITY_INFORMATION) != 0 && parts.count('D')) sec.dacl = parts['D'];
  if ((info & LABEL_SECURITY_INFORMATION) != 0 && parts.count('S')) sec.label = parts['S'];
}

}  // namespace sim::detail

namespace {

struct TokenObject : Object {
  TokenObject() : Object(Kind::Token) {}
};

// A SID as the token holds it: here its SDDL text.
char g_userSid[sizeof kUserSid];

}  // namespace

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  Call c("OpenProcessToken", Hex(access));
  (void)process;
  if (c.faulted()) return FALSE;
  *token = AddHandle(std::make_shared<TokenObject>());
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                                LPDWORD returned) {
  Call c("GetTokenInformation", static_cast<int>(infoClass));
  auto obj = GetHandle(token);
  if (obj == nullptr || obj->kind != Kind::Token || (infoClass != TokenUser && infoClass != TokenGroups)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (c.faulted()) return FALSE;
  if (infoClass == TokenGroups) {
    // Everyone and Users; an elevated administrator's token also holds the
    // Administrators, enabled and owner-capable (0xF: mandatory, enabled by
    // default, enabled, owner). An administrator's filtered token (UAC, not
    // elevated) holds them for deny only (0x10, SE_GROUP_USE_FOR_DENY_ONLY:
    // "User Account Control: the filtered token").
    static char everyone[] = "S-1-1-0", users[] = "S-1-5-32-545", administrators[] = "S-1-5-32-544";
    SID_AND_ATTRIBUTES groups[] = {{everyone, 0x7}, {users, 0x7}, {administrators, 0xF}};
    if (Machine().filteredAdministrator) groups[2].Attributes = 0x10;
    DWORD count = Machine().administrator || Machine().filteredAdministrator ? 3 : 2;
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
  Call c("ConvertSidToStringSidA");
  if (c.faulted()) return FALSE;
  *text = LocalText(static_cast<const char*>(sid));
  return TRUE;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor, PULONG size) {
  Call c("ConvertStringSecurityDescriptorToSecurityDescriptorA", text);
  if (c.faulted(text)) return FALSE;
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
  Call c("ConvertSecurityDescriptorToStringSecurityDescriptorA", Hex(info));
  (void)revision;
  if (c.faulted()) return FALSE;
  std::map<char, std::string> parts = Parts(static_cast<const char*>(descriptor));
  std::string out;
  if ((info & OWNER_SECURITY_INFORMATION) != 0) out += parts['O'];
  if ((info & DACL_SECURITY_INFORMATION) != 0) out += parts['D'];
  if ((info & LABEL_SECURITY_INFORMATION) != 0) out += parts['S'];
  *text = LocalText(out);
  if (length != nullptr) *length = static_cast<ULONG>(out.size() + 1);
  return TRUE;
}

BOOL WINAPI SetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
  Call c("SetKernelObjectSecurity", object, Hex(info));
  auto f = HandleOf<FileObject>(object, Kind::File);
  if (f == nullptr) return FALSE;
  if (c.faulted(f->key)) return FALSE;
  // The access each part needs: the access list WRITE_DAC, the owner and
  // the label WRITE_OWNER.
  bool denied = ((info & DACL_SECURITY_INFORMATION) != 0 && (f->access & WRITE_DAC) == 0) ||
                ((info & (OWNER_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) != 0 &&
                 (f->access & WRITE_OWNER) == 0) ||
                ((info & LABEL_SECURITY_INFORMATION) != 0 && Machine().refuseLabels);
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
  Call c("GetKernelObjectSecurity", object, Hex(info));
  std::string sddl;
  auto obj = GetHandle(object);
  if (obj != nullptr && obj->kind == Kind::Event) {
    // An event's owner and access list as it was made; a handle of
    // CreateEventA has every access.
    auto* e = static_cast<EventObject*>(obj.get());
    if (c.faulted(e->name)) return FALSE;
    sddl = e->owner + e->dacl;
  } else {
    auto f = HandleOf<FileObject>(object, Kind::File);
    if (f == nullptr) return FALSE;
    if (c.faulted(f->key)) return FALSE;
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

// ---- test-facing API -----------------------------------------------------------------------------------------------

namespace sim {

std::string FolderSecurity(const std::string& path) {
  auto lock = LockMachine();
  auto it = Machine().security.find(Must(path).key);
  if (it == Machine().security.end()) return "";
  return it->second.owner + it->second.dacl + it->second.label;
}

void SetAdministrator(bool administrator) {
  auto lock = LockMachine();
  Machine().administrator = administrator;
  Machine().filteredAdministrator = false;
}

void SetFilteredAdministrator() {
  auto lock = LockMachine();
  Machine().administrator = false;
  Machine().filteredAdministrator = true;
}

void MakeAdministratorsFolder(const std::string& path) {
  auto lock = LockMachine();
  Path p = Must(path);
  std::filesystem::create_directories(p.hostPath);
  Machine().owners[p.key] = "O:BA";
}

void MakeSecuredFolder(const std::string& path, const std::string& sddl) {
  auto lock = LockMachine();
  Path p = Must(path);
  std::filesystem::create_directories(p.hostPath);
  ApplyDescriptor(p.key, sddl.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION);
}

void MakeEventOfAnotherAccount(const std::string& name, const std::string& ownerSid, bool lettingTheRunOpenIt) {
  auto lock = LockMachine();
  auto e = std::make_shared<EventObject>();
  e->name = name;
  e->owner = "O:" + ownerSid;
  e->dacl = lettingTheRunOpenIt ? "D:(A;;GA;;;WD)" : "D:P(A;;GA;;;" + ownerSid + ")";
  e->deniesRun = !lettingTheRunOpenIt;
  e->handles = 1;  // held by that account's process for as long as the test runs
  Machine().namedEvents[name] = e;
  Machine().foreignEvents.push_back(e);
}

void PutOnServer(const std::string& path) {
  auto lock = LockMachine();
  Machine().serverFolders.push_back(Must(path).key);
}

void RefuseLabels(bool refuse) {
  auto lock = LockMachine();
  Machine().refuseLabels = refuse;
}

}  // namespace sim
