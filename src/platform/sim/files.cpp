// The simulated file system's files: opening and making them (CreateFileA
// and its link behaviour), writing, deleting and renaming them, and what
// their names and handles tell about them.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

// The host file's inode: the file index of the object a handle is opened on.
uint64_t IndexOf(const std::string& hostPath, bool linkItself) {
  struct stat st;
  int r = linkItself ? ::lstat(hostPath.c_str(), &st) : ::stat(hostPath.c_str(), &st);
  return r == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

static const DWORD kVolumeSerial = 0x51534D31;

std::shared_ptr<FileObject> NewFileObject(const Path& p, DWORD access, DWORD share) {
  auto f = std::make_shared<FileObject>();
  f->key = p.key;
  f->hostPath = p.hostPath;
  f->access = access;
  f->share = share;
  return f;
}

HANDLE OpenFileObject(const Path& p, DWORD access, DWORD share, bool truncate, bool heldByTest, bool createNew) {
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

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templateFile) {
  Call c("CreateFileA", path, Hex(access), share, disposition, Hex(flags));
  (void)sa;
  (void)templateFile;
  Path p;
  if (c.faulted(path) || !ResolveCallPath(path, &p)) return INVALID_HANDLE_VALUE;
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
    std::string canonical = itself ? "" : CanonicalKey(p.hostPath);
    if (!canonical.empty()) {
      std::error_code ec;
      p.key = canonical;
      p.hostPath = std::filesystem::canonical(p.hostPath, ec).string();
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
  // A folder opens only with FILE_FLAG_BACKUP_SEMANTICS (CreateFileA,
  // "Directories").
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
  if (exists && (access & GENERIC_WRITE) != 0 && ReadOnlyRefusesChange(p.key)) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  bool truncate = false;
  switch (disposition) {
    // CreateFileA, dwCreationDisposition: CREATE_NEW fails on an existing
    // file with 80; CREATE_ALWAYS and OPEN_ALWAYS succeed over one with 183.
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
    if (!exists && (flags & FILE_ATTRIBUTE_READONLY) != 0) Machine().attributes[p.key] = FILE_ATTRIBUTE_READONLY;
    SetError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                   : ERROR_SUCCESS);
  }
  return h;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPVOID overlapped) {
  Call c("WriteFile", file, count);
  (void)overlapped;
  State& s = Machine();
  if (written == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *written = 0;
  auto f = HandleOf<FileObject>(file, Kind::File);
  if (f == nullptr) return FALSE;
  if ((f->access & GENERIC_WRITE) == 0 || f->fd < 0) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (c.faulted(f->key)) return FALSE;
  DWORD n = WriteSizeAfterFaults(count);
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
  Call c("SetFilePointer", file, distance, distanceHigh == nullptr ? "NULL" : "high", method);
  if (c.faulted()) return INVALID_SET_FILE_POINTER;
  auto f = HandleOf<FileObject>(file, Kind::File);
  if (f == nullptr) return INVALID_SET_FILE_POINTER;
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

BOOL WINAPI DeleteFileA(LPCSTR path) {
  Call c("DeleteFileA", path);
  Path p;
  if (c.faulted(path) || !ResolveCallPath(path, &p)) return FALSE;
  bool dir = false;
  bool exists = HostExists(p.hostPath, &dir), link = HostIsLink(p.hostPath);
  if (!exists && !link) {
    SetError(NotFoundError(p));
    return FALSE;
  }
  if (dir || ReadOnlyRefusesChange(p.key) || !RunMayChange(ParentOf(p).key)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (HeldAgainstDeletion(p.key)) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (!OpenFiles(p.key).empty()) {
    MarkForDeletion(p.key);
    return TRUE;
  }
  ::unlink(p.hostPath.c_str());
  Machine().attributes.erase(p.key);
  return TRUE;
}

// Renames an entry, as the system (`user` false: the process token) or the
// user's other process would. Returns 0 or the Windows error.
DWORD sim::detail::RenameEntry(const Path& f, const Path& t, bool user) {
  State& s = Machine();
  bool dir = false, targetDir = false;
  if (!HostExists(f.hostPath, &dir) && !HostIsLink(f.hostPath)) return NotFoundError(f);
  if (DWORD refused = RefusedAsPendingDeletion(f.key)) return refused;
  if (HostExists(t.hostPath, &targetDir) || HostIsLink(t.hostPath)) return ERROR_ALREADY_EXISTS;
  if (DWORD refused = RefusedAsPendingDeletion(t.key)) return refused;
  if (!ParentIsFolder(t)) return ERROR_PATH_NOT_FOUND;
  if (!user && (!RunMayChange(ParentOf(f).key) || !RunMayChange(ParentOf(t).key))) return ERROR_ACCESS_DENIED;
  if (HeldAgainstDeletion(f.key)) return ERROR_SHARING_VIOLATION;
  if (OpenBelow(f.key)) return ERROR_ACCESS_DENIED;
  if (::rename(f.hostPath.c_str(), t.hostPath.c_str()) != 0) return ERROR_ACCESS_DENIED;
  MoveRecords(f.key, t);
  (void)s;
  return 0;
}

// After an entry moved on the host: every handle on it or below it (which
// stay with what they were opened on), and what the machine records of it
// and below it, follow it to `t`.
void sim::detail::MoveRecords(const std::string& from, const Path& t) {
  State& s = Machine();
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

// A rename by a handle (NtSetInformationFile): as RenameEntry, but the
// handle doing it is not one that keeps the name.
DWORD sim::detail::MoveOpenEntry(FileObject& h, const Path& t) {
  Path f;
  DWORD error = 0;
  // The entry as the handle has it (its name, not a path resolved anew).
  if (!ResolvePath(h.key, &f, &error, 100000)) return error;
  f.key = h.key;
  f.hostPath = h.hostPath;
  bool targetDir = false;
  if (HostExists(t.hostPath, &targetDir) || HostIsLink(t.hostPath)) return ERROR_ALREADY_EXISTS;
  if (DWORD refused = RefusedAsPendingDeletion(t.key)) return refused;
  if (!ParentIsFolder(t)) return ERROR_PATH_NOT_FOUND;
  if (!RunMayChange(ParentOf(f).key) || !RunMayChange(ParentOf(t).key)) return ERROR_ACCESS_DENIED;
  for (FileObject* open : OpenFiles(f.key))
    if (open != &h && TakesPartInSharing(open->access) && (open->share & FILE_SHARE_DELETE) == 0)
      return ERROR_SHARING_VIOLATION;
  if (OpenBelow(f.key)) return ERROR_ACCESS_DENIED;
  if (::rename(f.hostPath.c_str(), t.hostPath.c_str()) != 0) return ERROR_ACCESS_DENIED;
  MoveRecords(f.key, t);
  return 0;
}

BOOL WINAPI MoveFileA(LPCSTR existing, LPCSTR newName) {
  Call c("MoveFileA", existing, newName);
  if (c.faulted(existing)) return FALSE;
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

DWORD WINAPI GetFileAttributesA(LPCSTR path) {
  Call c("GetFileAttributesA", path);
  Path p;
  if (c.faulted(path) || !ResolveCallPath(path, &p)) return INVALID_FILE_ATTRIBUTES;
  bool dir = false;
  bool link = HostIsLink(p.hostPath);
  if (!HostExists(p.hostPath, &dir) && !link) {
    SetError(NotFoundError(p));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD extra = Attributes(p.key) | (link ? FILE_ATTRIBUTE_REPARSE_POINT : 0u);
  if (dir) return FILE_ATTRIBUTE_DIRECTORY | extra;
  return extra != 0 ? extra : FILE_ATTRIBUTE_ARCHIVE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  Call c("GetFileInformationByHandle", file);
  auto f = HandleOf<FileObject>(file, Kind::File);
  if (f == nullptr || c.faulted(f->key)) return FALSE;
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
  DWORD extra = Attributes(f->key);
  info->dwFileAttributes = extra != 0 ? extra : FILE_ATTRIBUTE_ARCHIVE;
  info->nFileSizeLow = static_cast<DWORD>(st.st_size);
  info->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
  info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
  info->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
  return TRUE;
}

// ---- test-facing API -----------------------------------------------------------------------------------------------

namespace sim {

bool Exists(const std::string& path) {
  auto lock = LockMachine();
  bool dir;
  return HostExists(Must(path).hostPath, &dir);
}

bool IsDirectory(const std::string& path) {
  auto lock = LockMachine();
  bool dir = false;
  return HostExists(Must(path).hostPath, &dir) && dir;
}

std::string ReadFileBytes(const std::string& path) {
  auto lock = LockMachine();
  std::string host = Must(path).hostPath, out;
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  auto lock = LockMachine();
  Path p = Must(path);
  std::filesystem::create_directories(ParentOf(p).hostPath);
  int fd = ::open(p.hostPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  if (!bytes.empty() && ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  ::close(fd);
}

void SetReadOnly(const std::string& path, bool readOnly) {
  auto lock = LockMachine();
  Path p = Must(path);
  if (readOnly)
    Machine().attributes[p.key] |= FILE_ATTRIBUTE_READONLY;
  else
    Machine().attributes[p.key] &= ~FILE_ATTRIBUTE_READONLY;
}

int OpenFileHandles() {
  auto lock = LockMachine();
  int n = 0;
  for (auto& [h, obj] : Machine().handles)
    if (obj->kind == Kind::File && !static_cast<FileObject*>(obj.get())->heldByTest) ++n;
  return n;
}

}  // namespace sim
