// The simulated file system: drives in a temporary host folder, names
// compared without regard to case, share modes, read-only files.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/sim/state.h"

namespace sim::detail {

namespace fs = std::filesystem;

void InitFileSystem() {
  State& s = S();
  std::string base = fs::temp_directory_path().string() + "/qmb-sim-XXXXXX";
  std::vector<char> tmpl(base.begin(), base.end());
  tmpl.push_back('\0');
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  s.hostRoot = tmpl.data();
  fs::create_directories(s.hostRoot + "/c");
}

// Whether the last component of a host path is a link (a symbolic link
// stands for a junction or a Windows symbolic link).
bool HostIsLink(const std::string& hostPath) {
  struct stat st;
  return ::lstat(hostPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool HostExists(const std::string& hostPath, bool* isDir) {
  struct stat st;
  if (::stat(hostPath.c_str(), &st) != 0) return false;
  *isDir = S_ISDIR(st.st_mode);
  return true;
}

// The entry of a host folder whose name matches without regard to case.
std::string FindEntry(const std::string& hostDir, const std::string& name) {
  DIR* d = ::opendir(hostDir.c_str());
  if (d == nullptr) return "";
  std::string lower = Lower(name), found;
  while (dirent* e = ::readdir(d)) {
    if (Lower(e->d_name) == lower) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

static bool ValidComponent(const std::string& c, bool wildcards) {
  for (unsigned char ch : c) {
    if (ch < 0x20) return false;
    if (std::strchr("<>:\"|", ch) != nullptr) return false;
    if (!wildcards && (ch == '*' || ch == '?')) return false;
  }
  return true;
}

bool ResolvePath(const std::string& path, Path* out, DWORD* error, size_t limit, bool wildcards) {
  State& s = S();
  if (path.size() > limit) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  if (path.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::string full;
  if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    if (path.size() == 2 || (path[2] != '\\' && path[2] != '/')) {
      full = s.currentDirectory + "\\" + path.substr(2);  // drive-relative: the current folder
    } else {
      full = path;
    }
  } else if (path[0] == '\\' || path[0] == '/') {
    if (path.size() > 1 && (path[1] == '\\' || path[1] == '/')) {
      *error = ERROR_PATH_NOT_FOUND;  // network paths are not part of this machine
      return false;
    }
    full = s.currentDirectory.substr(0, 2) + path;
  } else {
    full = s.currentDirectory + "\\" + path;
  }
  Path p;
  p.drive = static_cast<char>(std::tolower(static_cast<unsigned char>(full[0])));
  std::vector<std::string> parts;
  size_t i = 3;
  while (i <= full.size()) {
    size_t j = full.find_first_of("\\/", i);
    if (j == std::string::npos) j = full.size();
    std::string c = full.substr(i, j - i);
    i = j + 1;
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    // Trailing dots and blanks of a name are dropped, as the platform does.
    while (!c.empty() && (c.back() == '.' || c.back() == ' ')) c.pop_back();
    if (c.empty()) continue;
    parts.push_back(c);
  }
  for (size_t k = 0; k < parts.size(); ++k) {
    if (!ValidComponent(parts[k], wildcards && k + 1 == parts.size())) {
      *error = ERROR_INVALID_NAME;
      return false;
    }
  }
  // A 32-bit process on 64-bit Windows finds the system directory in
  // SysWOW64, but for the folders the redirector leaves alone ("File System
  // Redirector": catroot, catroot2, driverstore, drivers\etc, logfiles,
  // spool).
  if (s.wow64) {
    std::vector<std::string> system;
    std::string sys = Lower(s.systemDirectory);
    for (size_t a = 3, b; a <= sys.size(); a = b + 1) {
      b = sys.find('\\', a);
      if (b == std::string::npos) b = sys.size();
      system.push_back(sys.substr(a, b - a));
    }
    bool below = std::tolower(static_cast<unsigned char>(full[0])) == sys[0] && parts.size() >= system.size();
    for (size_t k = 0; below && k < system.size(); ++k) below = Lower(parts[k]) == system[k];
    std::string next = below && parts.size() > system.size() ? Lower(parts[system.size()]) : "";
    std::string after = below && parts.size() > system.size() + 1 ? Lower(parts[system.size() + 1]) : "";
    bool exempt = next == "catroot" || next == "catroot2" || next == "driverstore" || next == "logfiles" ||
                  next == "spool" || (next == "drivers" && after == "etc");
    if (below && !exempt && !system.empty()) parts[system.size() - 1] = "SysWOW64";
  }
  // An object-manager redirection (a mount point above the name leading to
  // a symbolic link of the object manager) sends the rest of the path to its
  // target; no name on the way is a reparse point.
  static thread_local int redirections = 0;
  std::string prefix = std::string(1, p.drive) + ":";
  for (size_t k = 0; k < parts.size() && redirections < 8; ++k) {
    prefix += "\\" + Lower(parts[k]);
    for (const auto& [from, to] : s.redirects) {
      if (from != prefix) continue;
      std::string rest = to;
      for (size_t r = k + 1; r < parts.size(); ++r) rest += "\\" + parts[r];
      ++redirections;
      bool ok = ResolvePath(rest, out, error, 100000, wildcards);
      --redirections;
      return ok;
    }
  }
  p.parts = parts;
  p.display = std::string(1, static_cast<char>(std::toupper(p.drive))) + ":";
  p.key = std::string(1, p.drive) + ":";
  std::string host = s.hostRoot + "/" + std::string(1, p.drive);
  bool existing = true;
  for (const auto& c : parts) {
    p.display += "\\" + c;
    p.key += "\\" + Lower(c);
    std::string entry = existing ? FindEntry(host, c) : "";
    if (entry.empty()) {
      existing = false;
      entry = c;
    }
    host += "/" + entry;
  }
  if (parts.empty()) {
    p.display += "\\";
    p.key += "\\";
  }
  p.hostPath = host;
  *out = p;
  return true;
}

Path ParentOf(const Path& p) {
  Path parent = p;
  if (!parent.parts.empty()) parent.parts.pop_back();
  parent.hostPath = p.hostPath.substr(0, p.hostPath.find_last_of('/'));
  size_t cut = p.key.find_last_of('\\');
  parent.key = p.key.substr(0, cut);
  parent.display = p.display.substr(0, p.display.find_last_of('\\'));
  if (parent.parts.empty()) {
    parent.key = std::string(1, p.drive) + ":\\";
    parent.display = std::string(1, static_cast<char>(std::toupper(p.drive))) + ":\\";
    parent.hostPath = S().hostRoot + "/" + std::string(1, p.drive);
  }
  return parent;
}

static bool ParentIsFolder(const Path& p) {
  bool dir = false;
  return HostExists(ParentOf(p).hostPath, &dir) && dir;
}

static std::vector<FileObject*> OpenFiles(const std::string& key) {
  std::vector<FileObject*> out;
  for (auto& [h, obj] : S().handles) {
    if (obj->kind != Kind::File) continue;
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->key == key) out.push_back(f);
  }
  return out;
}

// The access rights that take part in sharing: reading (listing a folder)
// and writing data. Rights to attributes and security do not.
static bool Reads(DWORD access) { return (access & (GENERIC_READ | 0x1u)) != 0; }
static bool Writes(DWORD access) { return (access & (GENERIC_WRITE | 0x2u | 0x4u)) != 0; }

// Whether a handle takes part in sharing at all: one opened only for
// attributes or security does not (IoCheckShareAccess: no read, write or
// delete access, no share check).
bool TakesPartInSharing(DWORD access) { return Reads(access) || Writes(access) || (access & 0x10000u) != 0; }

bool Pending(const std::string& key) {
  for (const std::string& name : S().pending)
    if (key == name || key.compare(0, name.size() + 1, name + "\\") == 0) return true;
  return false;
}

// The host file's inode: the file index of the object a handle is opened on.
uint64_t IndexOf(const std::string& hostPath, bool linkItself) {
  struct stat st;
  int r = linkItself ? ::lstat(hostPath.c_str(), &st) : ::stat(hostPath.c_str(), &st);
  return r == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

static const DWORD kVolumeSerial = 0x51534D31;

void HandleClosed(const std::string& key) {
  State& s = S();
  if (s.pending.count(key) == 0) return;
  for (auto& [h, obj] : s.handles)
    if (obj->kind == Kind::File && static_cast<FileObject*>(obj.get())->key == key) return;
  Path p;
  DWORD error = 0;
  if (ResolvePath(key, &p, &error, 100000)) {
    bool dir = false;
    if (HostExists(p.hostPath, &dir) && dir && !HostIsLink(p.hostPath))
      ::rmdir(p.hostPath.c_str());
    else
      ::unlink(p.hostPath.c_str());
  }
  s.pending.erase(key);
  s.security.erase(key);
  s.attributes.erase(key);
}

// Share-mode check of a new open against every open handle of the file.
// Only opens with data or delete access take part, on either side.
bool FileOpenConflicts(const std::string& key, DWORD access, DWORD share) {
  if (!TakesPartInSharing(access)) return false;
  for (FileObject* f : OpenFiles(key)) {
    if (!TakesPartInSharing(f->access)) continue;
    bool newReads = Reads(access), newWrites = Writes(access);
    bool oldReads = Reads(f->access), oldWrites = Writes(f->access);
    if (newReads && (f->share & FILE_SHARE_READ) == 0) return true;
    if (newWrites && (f->share & FILE_SHARE_WRITE) == 0) return true;
    if (oldReads && (share & FILE_SHARE_READ) == 0) return true;
    if (oldWrites && (share & FILE_SHARE_WRITE) == 0) return true;
  }
  return false;
}

DWORD FileAttributesOf(const std::string& key) {
  auto it = S().attributes.find(key);
  return it == S().attributes.end() ? 0 : it->second;
}

static bool MatchPattern(const char* pattern, const char* name) {
  // "*.*" matches every name, with or without a dot, as on the platform.
  if (std::strcmp(pattern, "*.*") == 0) return true;
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') {
    for (const char* n = name;; ++n) {
      if (MatchPattern(pattern + 1, n)) return true;
      if (*n == '\0') return false;
    }
  }
  if (*name == '\0') return false;
  if (*pattern == '?' ||
      std::tolower(static_cast<unsigned char>(*pattern)) == std::tolower(static_cast<unsigned char>(*name)))
    return MatchPattern(pattern + 1, name + 1);
  return false;
}

std::shared_ptr<FileObject> NewFileObject(const Path& p, DWORD access, DWORD share) {
  auto f = std::make_shared<FileObject>();
  f->key = p.key;
  f->hostPath = p.hostPath;
  f->access = access;
  f->share = share;
  return f;
}

static HANDLE OpenFileObject(const Path& p, DWORD access, DWORD share, bool truncate, bool heldByTest,
                             bool createNew = false) {
  int flags = O_CREAT | O_WRONLY | O_CLOEXEC | (createNew ? O_EXCL : 0);
  if ((access & GENERIC_READ) != 0) flags = (flags & ~O_WRONLY) | O_RDWR;
  if (truncate) flags |= O_TRUNC;
  int fd = ::open(p.hostPath.c_str(), flags, 0644);
  if (fd < 0) {
    SetError(errno == EEXIST ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  auto f = NewFileObject(p, access, share);
  f->fd = fd;
  f->heldByTest = heldByTest;
  return AddHandle(f);
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templateFile) {
  auto lock = Enter();
  Log("CreateFileA(" + Str(path) + ", " + Hex(access) + ", " + std::to_string(share) + ", " +
      std::to_string(disposition) + ", " + Hex(flags) + ")");
  (void)sa;
  (void)templateFile;
  if (Fault("CreateFileA", Str(path))) return INVALID_HANDLE_VALUE;
  Path p;
  DWORD error = 0;
  if (!ResolvePath(Str(path), &p, &error)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  // A name marked for deletion (or one below a folder that is) can be
  // neither opened nor made again until its last handle is closed
  // (DeleteFileA: "subsequent calls to CreateFile to open the file fail with
  // ERROR_ACCESS_DENIED").
  if (Pending(p.key)) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  bool dir = false;
  bool exists = HostExists(p.hostPath, &dir);
  bool link = HostIsLink(p.hostPath);
  bool linkItself = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  if (!exists && !link && !ParentIsFolder(p)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if ((exists && dir && backup && disposition == OPEN_EXISTING) ||
      (link && linkItself && disposition == OPEN_EXISTING && (backup || !dir))) {
    // A folder handle, or a handle to a link itself (CreateFileA, "Symbolic
    // link behavior": with FILE_FLAG_OPEN_REPARSE_POINT the handle is to the
    // link; without it the open goes through to the target).
    bool itself = link && linkItself;
    // A folder reached through a link on the way is the folder the link
    // leads to: the handle is on that object, by its own name.
    if (!itself) {
      std::error_code ec;
      std::string real = fs::canonical(p.hostPath, ec).string();
      std::string root = fs::canonical(S().hostRoot, ec).string() + "/";
      if (!ec && real.compare(0, root.size(), root) == 0 && real.size() > root.size()) {
        std::string key = real.substr(root.size(), 1) + ":" + (real.size() > root.size() + 1 ? real.substr(root.size() + 1) : "\\");
        for (char& c : key) c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        p.key = key;
        p.hostPath = real;
      }
    }
    if (FileOpenConflicts(p.key, access, share)) {
      SetError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    auto f = NewFileObject(p, access, share);
    f->directory = true;
    f->attributes = (dir ? FILE_ATTRIBUTE_DIRECTORY : 0u) | (itself ? FILE_ATTRIBUTE_REPARSE_POINT : 0u);
    f->index = IndexOf(p.hostPath, itself);
    SetError(ERROR_SUCCESS);
    return AddHandle(f);
  }
  if (exists && dir) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!exists && !RunMayChange(ParentOf(p).key)) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!exists && link && disposition == CREATE_NEW) {
    if (linkItself) {
      SetError(ERROR_FILE_EXISTS);  // a link that leads nowhere is still a name
      return INVALID_HANDLE_VALUE;
    }
    // Without FILE_FLAG_OPEN_REPARSE_POINT the create goes through the link
    // and makes its target ("Symbolic link behavior").
    char target[4096];
    ssize_t n = ::readlink(p.hostPath.c_str(), target, sizeof target - 1);
    int fd = n > 0 ? ::open(std::string(target, static_cast<size_t>(n)).c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC,
                            0644)
                   : -1;
    if (fd < 0) {
      SetError(ERROR_PATH_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    auto f = NewFileObject(p, access, share);
    f->hostPath = std::string(target, static_cast<size_t>(n));
    f->fd = fd;
    SetError(ERROR_SUCCESS);
    return AddHandle(f);
  }
  if (exists && FileOpenConflicts(p.key, access, share)) {
    SetError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (exists && (access & GENERIC_WRITE) != 0 && (FileAttributesOf(p.key) & FILE_ATTRIBUTE_READONLY) != 0) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  bool truncate = false;
  switch (disposition) {
    case CREATE_NEW:
      if (exists) {
        SetError(80);  // ERROR_FILE_EXISTS
        return INVALID_HANDLE_VALUE;
      }
      break;
    case CREATE_ALWAYS:
      truncate = true;
      break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      if (!exists) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      }
      truncate = disposition == TRUNCATE_EXISTING;
      break;
    case OPEN_ALWAYS:
      break;
    default:
      SetError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  HANDLE h = OpenFileObject(p, access, share, truncate, false, disposition == CREATE_NEW);
  if (h != INVALID_HANDLE_VALUE) {
    if (!exists && (flags & FILE_ATTRIBUTE_READONLY) != 0) S().attributes[p.key] = FILE_ATTRIBUTE_READONLY;
    SetError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                   : ERROR_SUCCESS);
  }
  return h;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPVOID overlapped) {
  auto lock = Enter();
  Log("WriteFile(" + Hex(reinterpret_cast<uintptr_t>(file)) + ", " + std::to_string(count) + ")");
  (void)overlapped;
  State& s = S();
  if (written == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *written = 0;
  auto obj = GetHandle(file);
  if (obj == nullptr || obj->kind != Kind::File) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* f = static_cast<FileObject*>(obj.get());
  if ((f->access & GENERIC_WRITE) == 0 || f->fd < 0) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (Fault("WriteFile", f->key)) return FALSE;
  DWORD n = count;
  if (Self().role == Role::Bootstrapper) {
    for (auto it = s.shortWrites.begin(); it != s.shortWrites.end();) {
      if (--it->first == 0) {
        n = std::min(count, it->second);
        it = s.shortWrites.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (n > s.diskSpace) {
    SetError(ERROR_DISK_FULL);
    return FALSE;
  }
  ssize_t done = ::pwrite(f->fd, data, n, static_cast<off_t>(f->position));
  if (done < 0 || static_cast<DWORD>(done) != n) {
    SetError(ERROR_DISK_FULL);
    return FALSE;
  }
  s.diskSpace -= n;
  f->position += n;
  *written = n;
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  auto lock = Enter();
  Log("SetFilePointer(" + Hex(reinterpret_cast<uintptr_t>(file)) + ", " + std::to_string(distance) + ", " +
      (distanceHigh == nullptr ? "NULL" : "high") + ", " + std::to_string(method) + ")");
  if (Fault("SetFilePointer")) return INVALID_SET_FILE_POINTER;
  auto obj = GetHandle(file);
  if (obj == nullptr || obj->kind != Kind::File) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  auto* f = static_cast<FileObject*>(obj.get());
  struct stat st;
  ::fstat(f->fd, &st);
  int64_t base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? static_cast<int64_t>(f->position) : st.st_size;
  int64_t target = base + distance;
  if (target < 0) {
    SetError(131);  // ERROR_NEGATIVE_SEEK
    return INVALID_SET_FILE_POINTER;
  }
  f->position = static_cast<uint64_t>(target);
  return static_cast<DWORD>(target);
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES sa) {
  auto lock = Enter();
  Log("CreateDirectoryA(" + Str(path) + ", " + (sa == nullptr ? "NULL" : "sa") + ")");
  if (Fault("CreateDirectoryA", Str(path))) return FALSE;
  Path p;
  DWORD error = 0;
  // A folder name leaves room for a file name of 8.3 characters.
  if (!ResolvePath(Str(path), &p, &error, MAX_PATH - 12)) {
    SetError(error);
    return FALSE;
  }
  // A name marked for deletion stays until its last handle is closed
  // (RemoveDirectoryA: "the directory is not removed until the last handle
  // to the directory is closed"); making it again is refused meanwhile.
  if (Pending(p.key)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  bool dir = false;
  if (p.parts.empty() || HostExists(p.hostPath, &dir) || HostIsLink(p.hostPath)) {
    SetError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (!ParentIsFolder(p)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const DWORD all = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
  const char* sddl = sa != nullptr ? static_cast<const char*>(sa->lpSecurityDescriptor) : nullptr;
  DWORD refused = sddl != nullptr ? DescriptorRefused(p.key, sddl, all) : 0;
  if (refused == 0 && !RunMayChange(ParentOf(p).key)) refused = ERROR_ACCESS_DENIED;
  if (refused != 0) {
    SetError(refused);
    return FALSE;
  }
  if (::mkdir(p.hostPath.c_str(), 0755) != 0) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  MadeBy(p.key, sddl, all);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryA(LPCSTR path) {
  auto lock = Enter();
  Log("RemoveDirectoryA(" + Str(path) + ")");
  if (Fault("RemoveDirectoryA", Str(path))) return FALSE;
  Path p;
  DWORD error = 0;
  if (!ResolvePath(Str(path), &p, &error)) {
    SetError(error);
    return FALSE;
  }
  if (Pending(p.key)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  bool dir = false;
  if (!HostExists(p.hostPath, &dir)) {
    SetError(ParentIsFolder(p) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!dir) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  if ((FileAttributesOf(p.key) & FILE_ATTRIBUTE_READONLY) != 0 || !RunMayChange(ParentOf(p).key)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (FolderHeldAgainstDeletion(p.key)) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (HostIsLink(p.hostPath)) {
    // A junction is removed as itself; its target stays.
    ::unlink(p.hostPath.c_str());
    S().security.erase(p.key);
    return TRUE;
  }
  std::error_code ec;
  if (!std::filesystem::is_empty(p.hostPath, ec)) {
    SetError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  // Still open elsewhere (with delete sharing, or with no data access):
  // marked for deletion, gone when the last handle is closed.
  if (!OpenFiles(p.key).empty()) {
    S().pending.insert(p.key);
    return TRUE;
  }
  if (::rmdir(p.hostPath.c_str()) != 0) {
    SetError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  S().security.erase(p.key);
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
  auto lock = Enter();
  Log("DeleteFileA(" + Str(path) + ")");
  if (Fault("DeleteFileA", Str(path))) return FALSE;
  Path p;
  DWORD error = 0;
  if (!ResolvePath(Str(path), &p, &error)) {
    SetError(error);
    return FALSE;
  }
  if (Pending(p.key)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  bool dir = false;
  bool exists = HostExists(p.hostPath, &dir), link = HostIsLink(p.hostPath);
  if (!exists && !link) {
    SetError(ParentIsFolder(p) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (dir || (FileAttributesOf(p.key) & FILE_ATTRIBUTE_READONLY) != 0 || !RunMayChange(ParentOf(p).key)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::vector<FileObject*> open = OpenFiles(p.key);
  for (FileObject* f : open) {
    if ((f->share & FILE_SHARE_DELETE) == 0) {
      SetError(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
  }
  // Open elsewhere with delete sharing: only marked for deletion; the name
  // stays until the last handle is closed (DeleteFileA, Remarks).
  if (!open.empty()) {
    S().pending.insert(p.key);
    return TRUE;
  }
  ::unlink(p.hostPath.c_str());
  S().attributes.erase(p.key);
  return TRUE;
}

// Renames an entry, as the system (`user` false: the process token) or the
// user's other process would. Returns 0 or the Windows error.
DWORD sim::detail::RenameEntry(const Path& f, const Path& t, bool user) {
  State& s = S();
  bool dir = false, targetDir = false;
  if (!HostExists(f.hostPath, &dir) && !HostIsLink(f.hostPath))
    return ParentIsFolder(f) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  if (Pending(f.key)) return ERROR_ACCESS_DENIED;
  if (HostExists(t.hostPath, &targetDir) || HostIsLink(t.hostPath)) return ERROR_ALREADY_EXISTS;
  if (Pending(t.key)) return ERROR_ACCESS_DENIED;
  if (!ParentIsFolder(t)) return ERROR_PATH_NOT_FOUND;
  if (!user && (!RunMayChange(ParentOf(f).key) || !RunMayChange(ParentOf(t).key))) return ERROR_ACCESS_DENIED;
  for (FileObject* open : OpenFiles(f.key))
    if (TakesPartInSharing(open->access) && (open->share & FILE_SHARE_DELETE) == 0) return ERROR_SHARING_VIOLATION;
  // A folder with anything open below it cannot be renamed (fastfat's
  // FatSetRenameInfo, which NTFS matches: "we cannot rename a directory if
  // there are open files below it"; STATUS_ACCESS_DENIED).
  std::string below = f.key + "\\";
  for (auto& [h, obj] : s.handles) {
    if (obj->kind != Kind::File) continue;
    if (static_cast<FileObject*>(obj.get())->key.compare(0, below.size(), below) == 0) return ERROR_ACCESS_DENIED;
  }
  if (::rename(f.hostPath.c_str(), t.hostPath.c_str()) != 0) return ERROR_ACCESS_DENIED;
  MoveRecords(f.key, t);
  return 0;
}

// After an entry moved on the host: every handle on it or below it (which
// stay with what they were opened on), and what the machine records of it
// and below it, follow it to `t`.
void sim::detail::MoveRecords(const std::string& from, const Path& t) {
  State& s = S();
  std::string below = from + "\\";
  for (auto& [h, obj] : s.handles) {
    if (obj->kind != Kind::File) continue;
    auto* open = static_cast<FileObject*>(obj.get());
    if (open->key == from) {
      open->key = t.key;
      open->hostPath = t.hostPath;
    } else if (open->key.compare(0, below.size(), below) == 0) {
      open->hostPath = t.hostPath + open->hostPath.substr(open->hostPath.size() - (open->key.size() - from.size()));
      open->key = t.key + open->key.substr(from.size());
    }
  }
  auto moveEntries = [&](auto& map) {
    std::vector<std::pair<std::string, typename std::decay_t<decltype(map)>::mapped_type>> moved;
    for (auto it = map.begin(); it != map.end();) {
      if (it->first == from || it->first.compare(0, below.size(), below) == 0) {
        moved.push_back({t.key + it->first.substr(from.size()), it->second});
        it = map.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [k, v] : moved) map[k] = v;
  };
  moveEntries(s.security);
  moveEntries(s.attributes);
  moveEntries(s.owners);
}

DWORD sim::detail::MoveOpenEntry(FileObject& h, const Path& t) {
  State& s = S();
  Path f;
  DWORD error = 0;
  // The entry as the handle has it (its name, not a path to resolve anew).
  if (!ResolvePath(h.key, &f, &error, 100000)) return error;
  f.key = h.key;
  f.hostPath = h.hostPath;
  bool targetDir = false;
  if (HostExists(t.hostPath, &targetDir) || HostIsLink(t.hostPath)) return ERROR_ALREADY_EXISTS;
  if (Pending(t.key)) return ERROR_ACCESS_DENIED;
  if (!ParentIsFolder(t)) return ERROR_PATH_NOT_FOUND;
  if (!RunMayChange(ParentOf(f).key) || !RunMayChange(ParentOf(t).key)) return ERROR_ACCESS_DENIED;
  for (FileObject* open : OpenFiles(f.key))
    if (open != &h && TakesPartInSharing(open->access) && (open->share & FILE_SHARE_DELETE) == 0)
      return ERROR_SHARING_VIOLATION;
  std::string below = f.key + "\\";
  for (auto& [k, obj] : s.handles) {
    if (obj->kind != Kind::File) continue;
    if (static_cast<FileObject*>(obj.get())->key.compare(0, below.size(), below) == 0) return ERROR_ACCESS_DENIED;
  }
  if (::rename(f.hostPath.c_str(), t.hostPath.c_str()) != 0) return ERROR_ACCESS_DENIED;
  MoveRecords(f.key, t);
  return 0;
}

BOOL WINAPI MoveFileA(LPCSTR existing, LPCSTR newName) {
  auto lock = Enter();
  Log("MoveFileA(" + Str(existing) + ", " + Str(newName) + ")");
  if (Fault("MoveFileA", Str(existing))) return FALSE;
  Path f, t;
  DWORD error = 0;
  if (!ResolvePath(Str(existing), &f, &error) || !ResolvePath(Str(newName), &t, &error)) {
    SetError(error);
    return FALSE;
  }
  error = RenameEntry(f, t, false);
  if (error != 0) {
    SetError(error);
    return FALSE;
  }
  return TRUE;
}

static void FillEntry(WIN32_FIND_DATAA* d, const std::string& name, bool dir, uint64_t size, DWORD extra) {
  std::memset(d, 0, sizeof *d);
  d->dwFileAttributes = dir ? FILE_ATTRIBUTE_DIRECTORY | extra : (extra != 0 ? extra : FILE_ATTRIBUTE_ARCHIVE);
  d->nFileSizeLow = static_cast<DWORD>(size);
  d->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  std::snprintf(d->cFileName, sizeof d->cFileName, "%s", name.c_str());
}

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  auto lock = Enter();
  Log("FindFirstFileA(" + Str(pattern) + ")");
  if (Fault("FindFirstFileA", Str(pattern))) return INVALID_HANDLE_VALUE;
  Path p;
  DWORD error = 0;
  if (!ResolvePath(Str(pattern), &p, &error, MAX_PATH - 1, true) || p.parts.empty()) {
    SetError(p.parts.empty() && error == 0 ? ERROR_FILE_NOT_FOUND : error);
    return INVALID_HANDLE_VALUE;
  }
  Path dir = ParentOf(p);
  bool isDir = false;
  if (!HostExists(dir.hostPath, &isDir) || !isDir) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::string& name = p.parts.back();
  // The pattern as written, before trailing dots were dropped ("*.*").
  std::string written = Str(pattern);
  std::string raw = written.substr(written.find_last_of("\\/") == std::string::npos ? 0
                                                                                      : written.find_last_of("\\/") + 1);
  std::string match = raw.empty() ? name : raw;
  auto search = std::make_shared<SearchObject>();
  std::vector<std::string> names;
  if (!dir.parts.empty()) {
    names.push_back(".");
    names.push_back("..");
  }
  if (DIR* d = ::opendir(dir.hostPath.c_str())) {
    std::vector<std::string> found;
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") found.push_back(n);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    names.insert(names.end(), found.begin(), found.end());
  }
  for (const auto& n : names) {
    if (!MatchPattern(match.c_str(), n.c_str())) continue;
    WIN32_FIND_DATAA entry;
    if (n == "." || n == "..") {
      FillEntry(&entry, n, true, 0, 0);
    } else {
      struct stat st;
      std::string host = dir.hostPath + "/" + n;
      ::stat(host.c_str(), &st);
      DWORD extra = FileAttributesOf(dir.key + (dir.parts.empty() ? "" : "\\") + Lower(n));
      if (HostIsLink(host)) extra |= FILE_ATTRIBUTE_REPARSE_POINT;
      FillEntry(&entry, n, S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size), extra);
    }
    search->entries.push_back(entry);
  }
  if (search->entries.empty()) {
    SetError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = search->entries[0];
  search->next = 1;
  return AddHandle(search);
}

BOOL WINAPI FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
  auto lock = Enter();
  Log("FindNextFileA(" + Hex(reinterpret_cast<uintptr_t>(search)) + ")");
  if (Fault("FindNextFileA")) return FALSE;
  auto obj = GetHandle(search);
  if (obj == nullptr || obj->kind != Kind::Search) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* s = static_cast<SearchObject*>(obj.get());
  if (s->next >= s->entries.size()) {
    SetError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = s->entries[s->next++];
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE search) {
  auto lock = Enter();
  Log("FindClose(" + Hex(reinterpret_cast<uintptr_t>(search)) + ")");
  auto obj = GetHandle(search);
  if (obj == nullptr || obj->kind != Kind::Search) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  S().handles.erase(reinterpret_cast<uintptr_t>(search));
  // As with CloseHandle, a reported failure still releases the handle.
  if (Fault("FindClose")) return FALSE;
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR path) {
  auto lock = Enter();
  Log("GetFileAttributesA(" + Str(path) + ")");
  if (Fault("GetFileAttributesA", Str(path))) return INVALID_FILE_ATTRIBUTES;
  Path p;
  DWORD error = 0;
  if (!ResolvePath(Str(path), &p, &error)) {
    SetError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (Pending(p.key)) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_ATTRIBUTES;
  }
  bool dir = false;
  bool link = HostIsLink(p.hostPath);
  if (!HostExists(p.hostPath, &dir) && !link) {
    SetError(ParentIsFolder(p) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD extra = FileAttributesOf(p.key) | (link ? FILE_ATTRIBUTE_REPARSE_POINT : 0u);
  if (dir) return FILE_ATTRIBUTE_DIRECTORY | extra;
  return extra != 0 ? extra : FILE_ATTRIBUTE_ARCHIVE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  auto lock = Enter();
  Log("GetFileInformationByHandle(" + Hex(reinterpret_cast<uintptr_t>(file)) + ")");
  auto obj = GetHandle(file);
  if (obj == nullptr || obj->kind != Kind::File) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* f = static_cast<FileObject*>(obj.get());
  if (Fault("GetFileInformationByHandle", f->key)) return FALSE;
  std::memset(info, 0, sizeof *info);
  info->dwVolumeSerialNumber = kVolumeSerial;
  if (f->directory) {
    // Folders have file indexes too: the object the handle was opened on.
    info->dwFileAttributes = f->attributes;
    info->nNumberOfLinks = 1;
    info->nFileIndexLow = static_cast<DWORD>(f->index);
    info->nFileIndexHigh = static_cast<DWORD>(f->index >> 32);
    return TRUE;
  }
  struct stat st;
  if (::fstat(f->fd, &st) != 0) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD extra = FileAttributesOf(f->key);
  info->dwFileAttributes = extra != 0 ? extra : FILE_ATTRIBUTE_ARCHIVE;
  info->nFileSizeLow = static_cast<DWORD>(st.st_size);
  info->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
  info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
  info->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
  return TRUE;
}

// The path by which the object a handle was opened on is really reached:
// links and redirections on the way are followed (a link opened as itself
// stays where it is), and the names come as the disk spells them.
DWORD WINAPI sim::detail::SimGetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD capacity, DWORD flags) {
  auto lock = Enter();
  Log("GetFinalPathNameByHandleA(" + Hex(reinterpret_cast<uintptr_t>(file)) + ", " + std::to_string(capacity) +
      ", " + Hex(flags) + ")");
  auto obj = GetHandle(file);
  if (obj == nullptr || obj->kind != Kind::File) {
    SetError(ERROR_INVALID_HANDLE);
    return 0;
  }
  auto* f = static_cast<FileObject*>(obj.get());
  if (Fault("GetFinalPathNameByHandleA", f->key)) return 0;
  if (flags != FILE_NAME_NORMALIZED) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::error_code ec;
  fs::path host = f->hostPath;
  fs::path real = (f->attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                      ? fs::canonical(host.parent_path(), ec) / host.filename()
                      : fs::canonical(host, ec);
  std::string root = fs::canonical(S().hostRoot, ec).string() + "/";
  std::string r = real.string();
  if (ec || r.compare(0, root.size(), root) != 0) {
    SetError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  std::string rest = r.substr(root.size());
  std::string out = "\\\\?\\" + std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])))) +
                    ":" + (rest.size() > 1 ? rest.substr(1) : std::string("\\"));
  for (char& c : out)
    if (c == '/') c = '\\';
  // A drive that leads to a share is shown as the share ("\\?\UNC\server\share\...").
  auto share = S().networkDrives.find(static_cast<char>(std::tolower(static_cast<unsigned char>(rest[0]))));
  if (share != S().networkDrives.end()) out = "\\\\?\\UNC" + share->second.substr(1) + out.substr(6);
  if (out.size() + 1 > capacity) return static_cast<DWORD>(out.size() + 1);
  std::memcpy(path, out.c_str(), out.size() + 1);
  return static_cast<DWORD>(out.size());
}

// ---- test-facing file system API ----------------------------------------------------------

namespace sim {

static Path Must(const std::string& path) {
  Path p;
  DWORD error = 0;
  if (!ResolvePath(path, &p, &error, 100000)) std::abort();
  return p;
}

bool Exists(const std::string& path) {
  auto lock = Lock();
  bool dir;
  return HostExists(Must(path).hostPath, &dir);
}

bool IsDirectory(const std::string& path) {
  auto lock = Lock();
  bool dir = false;
  return HostExists(Must(path).hostPath, &dir) && dir;
}

std::string ReadFileBytes(const std::string& path) {
  auto lock = Lock();
  std::string host = Must(path).hostPath, out;
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

void MakeDirectories(const std::string& path) {
  auto lock = Lock();
  fs::create_directories(Must(path).hostPath);
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  auto lock = Lock();
  Path p = Must(path);
  fs::create_directories(ParentOf(p).hostPath);
  int fd = ::open(p.hostPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  if (!bytes.empty() && ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  ::close(fd);
}

void SetReadOnly(const std::string& path, bool readOnly) {
  auto lock = Lock();
  Path p = Must(path);
  if (readOnly)
    S().attributes[p.key] |= FILE_ATTRIBUTE_READONLY;
  else
    S().attributes[p.key] &= ~FILE_ATTRIBUTE_READONLY;
}

std::vector<std::string> ListDirectory(const std::string& path) {
  auto lock = Lock();
  std::vector<std::string> out;
  std::string host = Must(path).hostPath;
  if (DIR* d = ::opendir(host.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

int OpenFileHandles() {
  auto lock = Lock();
  int n = 0;
  for (auto& [h, obj] : S().handles)
    if (obj->kind == Kind::File && !static_cast<FileObject*>(obj.get())->heldByTest) ++n;
  return n;
}

void HoldFileOpen(const std::string& path, DWORD access, DWORD share) {
  auto lock = Lock();
  Path p = Must(path);
  fs::create_directories(ParentOf(p).hostPath);
  OpenFileObject(p, access, share, false, true);
}

void ReleaseHeldFiles() {
  auto lock = Lock();
  State& s = S();
  for (auto it = s.handles.begin(); it != s.handles.end();) {
    if (it->second->kind == Kind::File && static_cast<FileObject*>(it->second.get())->heldByTest) {
      auto* f = static_cast<FileObject*>(it->second.get());
      if (f->fd >= 0) ::close(f->fd);
      std::string key = f->key;
      it = s.handles.erase(it);
      HandleClosed(key);
    } else {
      ++it;
    }
  }
}

}  // namespace sim
