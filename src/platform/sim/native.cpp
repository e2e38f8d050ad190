// The simulated machine's native file calls (ntdll): a name opened, made,
// renamed, deleted or listed below a folder held open, reached through that
// handle and never through a path. Their statuses, and the Windows error
// codes RtlNtStatusToDosError gives for them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/sim/call.h"
#include "platform/sim/exports.h"

namespace sim::detail {

namespace {

const NtStatus kSuccess = 0;
const NtStatus kNoMoreFiles = static_cast<NtStatus>(0x80000006u);
const NtStatus kInvalidHandle = static_cast<NtStatus>(0xC0000008u);
const NtStatus kInvalidParameter = static_cast<NtStatus>(0xC000000Du);
const NtStatus kAccessDenied = static_cast<NtStatus>(0xC0000022u);
const NtStatus kNameInvalid = static_cast<NtStatus>(0xC0000033u);
const NtStatus kNameNotFound = static_cast<NtStatus>(0xC0000034u);
const NtStatus kNameCollision = static_cast<NtStatus>(0xC0000035u);
const NtStatus kPathNotFound = static_cast<NtStatus>(0xC000003Au);
const NtStatus kSharingViolation = static_cast<NtStatus>(0xC0000043u);
const NtStatus kDeletePending = static_cast<NtStatus>(0xC0000056u);
const NtStatus kInvalidOwner = static_cast<NtStatus>(0xC000005Au);
const NtStatus kDirectoryNotEmpty = static_cast<NtStatus>(0xC0000101u);
const NtStatus kNotADirectory = static_cast<NtStatus>(0xC0000103u);
const NtStatus kFileIsADirectory = static_cast<NtStatus>(0xC00000BAu);
const NtStatus kCannotDelete = static_cast<NtStatus>(0xC0000121u);

// RtlNtStatusToDosError's answers for the statuses above (ntstatus.h and
// winerror.h; "Mapping NT status error codes to Win32 error codes").
const std::pair<NtStatus, DWORD> kErrors[] = {
    {kNoMoreFiles, ERROR_NO_MORE_FILES},        {kInvalidHandle, ERROR_INVALID_HANDLE},
    {kInvalidParameter, ERROR_INVALID_PARAMETER}, {kAccessDenied, ERROR_ACCESS_DENIED},
    {kNameInvalid, ERROR_INVALID_NAME},         {kNameNotFound, ERROR_FILE_NOT_FOUND},
    {kNameCollision, ERROR_ALREADY_EXISTS},     {kPathNotFound, ERROR_PATH_NOT_FOUND},
    {kSharingViolation, ERROR_SHARING_VIOLATION}, {kDeletePending, ERROR_ACCESS_DENIED},
    {kInvalidOwner, ERROR_INVALID_OWNER},       {kDirectoryNotEmpty, ERROR_DIR_NOT_EMPTY},
    {kNotADirectory, ERROR_DIRECTORY},          {kFileIsADirectory, ERROR_ACCESS_DENIED},
    {kCannotDelete, ERROR_ACCESS_DENIED},
};

// The status that stands for a Windows error code of the machine's own
// helpers (faults, descriptors refused, renames refused).
NtStatus StatusOf(DWORD error) {
  switch (error) {
    case 0:
      return kSuccess;
    case ERROR_FILE_NOT_FOUND:
      return kNameNotFound;
    case ERROR_PATH_NOT_FOUND:
      return kPathNotFound;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return kNameCollision;
    case ERROR_SHARING_VIOLATION:
      return kSharingViolation;
    case ERROR_INVALID_OWNER:
      return kInvalidOwner;
    case ERROR_DIR_NOT_EMPTY:
      return kDirectoryNotEmpty;
    case ERROR_INVALID_HANDLE:
      return kInvalidHandle;
    default:
      // Any other injected error comes back as itself (0xC007xxxx: a status
      // made of a Windows error code, as FACILITY_NTWIN32 statuses are).
      return error == ERROR_ACCESS_DENIED ? kAccessDenied : static_cast<NtStatus>(0xC0070000u | (error & 0xFFFFu));
  }
}

std::string Narrow(const NtUnicodeString* name) {
  std::string out;
  if (name == nullptr || name->Buffer == nullptr) return out;
  for (WORD i = 0; i < name->Length / 2; ++i) {
    char16_t c = name->Buffer[i];
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return out;
}

// The folder a handle holds, for a name below it.
FileObject* FolderOf(HANDLE handle) {
  auto obj = GetHandle(handle);
  if (obj == nullptr || obj->kind != Kind::File) return nullptr;
  auto* f = static_cast<FileObject*>(obj.get());
  return f->directory ? f : nullptr;
}

// The entry `name` of the folder held by `folder`, looked up in that very
// folder: what became of the names above it since it was opened does not
// matter (a held folder that was turned into a mount point has no entries of
// its own any more: setting a reparse point needs an empty folder).
bool Below(const FileObject& folder, const std::string& name, Path* out, NtStatus* status) {
  if (name.empty() || name.find_first_of("\\/:*?\"<>|") != std::string::npos || name == "." || name == "..") {
    *status = kNameInvalid;
    return false;
  }
  bool dir = false;
  if (folder.mounted || HostIsLink(folder.hostPath) || !HostExists(folder.hostPath, &dir) || !dir) {
    *status = kPathNotFound;
    return false;
  }
  Path p;
  p.drive = folder.key.empty() ? 'c' : folder.key[0];
  p.key = folder.key + (folder.key.back() == '\\' ? "" : "\\") + Lower(name);
  std::string entry = FindEntry(folder.hostPath, name);
  p.hostPath = folder.hostPath + "/" + (entry.empty() ? name : entry);
  p.display = folder.key + "\\" + (entry.empty() ? name : entry);
  *out = p;
  return true;
}

// Whether a handle opened with `access` may be granted on an entry of the
// folder `parentKey`: writing or deleting there needs the right to change
// that folder's entries.
bool MayChangeBelow(const std::string& parentKey, DWORD access) {
  const DWORD changes = GENERIC_WRITE | kAccessDelete | 0x2u /* FILE_WRITE_DATA */ | 0x4u /* FILE_APPEND_DATA */;
  return (access & changes) == 0 || RunMayChange(parentKey);
}

}  // namespace

NtStatus WINAPI SimNtCreateFile(HANDLE* file, DWORD access, NtObjectAttributes* object, NtIoStatus* io,
                                void* allocationSize, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                                void* extended, ULONG extendedLength) {
  (void)allocationSize;
  (void)attributes;
  (void)extended;
  (void)extendedLength;
  *file = INVALID_HANDLE_VALUE;
  std::string name = object != nullptr ? Narrow(object->ObjectName) : "";
  std::string where;
  {
    auto lock = LockMachine();
    FileObject* named = object != nullptr ? FolderOf(object->RootDirectory) : nullptr;
    where = (named != nullptr ? named->key : std::string("?")) + "\\" + Lower(name);
  }
  Call c("NtCreateFile", where, Hex(access), share, disposition, Hex(options));
  FileObject* folder = object != nullptr ? FolderOf(object->RootDirectory) : nullptr;
  if (folder == nullptr) return kInvalidHandle;
  if (c.faulted(where)) return StatusOf(Self().lastError);
  Path p;
  NtStatus status = kSuccess;
  if (!Below(*folder, name, &p, &status)) return status;
  // A name marked for deletion can be neither opened nor made again until
  // its last handle is closed (STATUS_DELETE_PENDING).
  if (RefusedAsPendingDeletion(p.key) != 0) return kDeletePending;
  bool dir = false, exists = HostExists(p.hostPath, &dir), link = HostIsLink(p.hostPath);
  bool itself = link && (options & kNtOpenReparsePoint) != 0 && !Machine().linksOpenThrough;
  if (link && Machine().linksOpenThrough) {
    // Wine opens a link only through to its target, whatever the options
    // ask (a Wine observation): the handle is on the target, by the
    // target's own name.
    std::error_code ec;
    std::string target = std::filesystem::canonical(p.hostPath, ec).string();
    std::string root = std::filesystem::canonical(Machine().hostRoot, ec).string() + "/";
    if (ec || target.compare(0, root.size(), root) != 0) return kNameNotFound;
    std::string key = target.substr(root.size(), 1) + ":" + target.substr(root.size() + 1);
    for (char& c : key) c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    p.key = key;
    p.hostPath = target;
    exists = HostExists(p.hostPath, &dir);
    link = false;
  } else if (link && !itself) {
    // Without FILE_OPEN_REPARSE_POINT the open goes through to the target;
    // the system never asks for that.
    return kAccessDenied;
  }
  auto f = NewFileObject(p, access, share);
  bool created = false;
  if (exists || link) {
    if (disposition == kNtCreate) return kNameCollision;
    if ((options & kNtDirectoryFile) != 0 && !dir && !link) return kNotADirectory;
    if ((options & kNtNonDirectoryFile) != 0 && dir && !link) return kFileIsADirectory;
    if (FileOpenConflicts(p.key, access, share)) return kSharingViolation;
    if (!MayChangeBelow(folder->key, access)) return kAccessDenied;
    if ((access & (GENERIC_WRITE | 0x2u)) != 0 && (Attributes(p.key) & FILE_ATTRIBUTE_READONLY) != 0)
      return kAccessDenied;
    if (dir || itself) {
      f->directory = true;
      f->attributes = (dir ? FILE_ATTRIBUTE_DIRECTORY : 0u) | (itself ? FILE_ATTRIBUTE_REPARSE_POINT : 0u);
      f->index = IndexOf(p.hostPath, itself);
    } else {
      bool writes = (access & (GENERIC_WRITE | 0x2u | 0x4u)) != 0;
      f->fd = ::open(p.hostPath.c_str(), (writes ? O_RDWR : O_RDONLY) | O_CLOEXEC);
      if (f->fd < 0) return kAccessDenied;
    }
  } else {
    if (disposition == kNtOpen) return kNameNotFound;
    if (!RunMayChange(folder->key)) return kAccessDenied;
    const DWORD all = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
    const char* sddl = object != nullptr ? static_cast<const char*>(object->SecurityDescriptor) : nullptr;
    if (DWORD refused = sddl != nullptr ? DescriptorRefused(p.key, sddl, all) : 0) return StatusOf(refused);
    if ((options & kNtDirectoryFile) != 0) {
      if (::mkdir(p.hostPath.c_str(), 0755) != 0) return kAccessDenied;
      f->directory = true;
      f->attributes = FILE_ATTRIBUTE_DIRECTORY;
      f->index = IndexOf(p.hostPath, false);
    } else {
      f->fd = ::open(p.hostPath.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
      if (f->fd < 0) return kAccessDenied;
    }
    MadeBy(p.key, sddl, all);
    created = true;
  }
  *file = AddHandle(f);
  if (io != nullptr) {
    io->Status = kSuccess;
    io->Information = created ? 2u : 1u;  // FILE_CREATED, FILE_OPENED
  }
  return kSuccess;
}

NtStatus WINAPI SimNtSetInformationFile(HANDLE handle, NtIoStatus* io, void* information, ULONG length,
                                        ULONG informationClass) {
  std::string what, target;
  {
    auto lock = LockMachine();
    auto obj = GetHandle(handle);
    if (obj != nullptr && obj->kind == Kind::File) what = static_cast<FileObject*>(obj.get())->key;
    if (informationClass == kNtRenameInformation && length >= offsetof(NtRenameInformation, FileName)) {
      auto* rename = static_cast<NtRenameInformation*>(information);
      NtUnicodeString text = {static_cast<WORD>(rename->FileNameLength), static_cast<WORD>(rename->FileNameLength),
                              rename->FileName};
      FileObject* folder = FolderOf(rename->RootDirectory);
      target = (folder != nullptr ? folder->key : std::string("?")) + "\\" + Lower(Narrow(&text));
    }
  }
  if (what.empty()) what = "?";
  const char* kind = informationClass == kNtRenameInformation ? "rename" : informationClass == kNtDispositionInformation ? "delete" : "other";
  Call c("NtSetInformationFile", what, target.empty() ? std::string(kind) : std::string(kind) + ", " + target);
  auto obj = GetHandle(handle);
  FileObject* f = obj != nullptr && obj->kind == Kind::File ? static_cast<FileObject*>(obj.get()) : nullptr;
  if (informationClass == kNtRenameInformation && length >= offsetof(NtRenameInformation, FileName)) {
    auto* rename = static_cast<NtRenameInformation*>(information);
    NtUnicodeString text = {static_cast<WORD>(rename->FileNameLength), static_cast<WORD>(rename->FileNameLength),
                            rename->FileName};
    FileObject* folder = FolderOf(rename->RootDirectory);
    if (f == nullptr || folder == nullptr) return kInvalidHandle;
    if (c.faulted(what + ", rename")) return StatusOf(Self().lastError);
    if ((f->access & kAccessDelete) == 0) return kAccessDenied;
    Path to;
    NtStatus status = kSuccess;
    if (!Below(*folder, Narrow(&text), &to, &status)) return status;
    if (RefusedAsPendingDeletion(f->key) != 0) return kDeletePending;
    DWORD error = MoveOpenEntry(*f, to);
    if (io != nullptr) io->Status = StatusOf(error);
    return StatusOf(error);
  }
  if (informationClass == kNtDispositionInformation && length >= sizeof(NtDispositionInformation)) {
    if (f == nullptr) return kInvalidHandle;
    if (c.faulted(what + ", delete")) return StatusOf(Self().lastError);
    if ((f->access & kAccessDelete) == 0) return kAccessDenied;
    if (static_cast<NtDispositionInformation*>(information)->DeleteFile == 0) return kSuccess;
    bool dir = false;
    bool link = HostIsLink(f->hostPath);
    if (!HostExists(f->hostPath, &dir) && !link) return kNameNotFound;
    // A read-only file cannot be deleted (STATUS_CANNOT_DELETE), nor a
    // folder that still holds entries (STATUS_DIRECTORY_NOT_EMPTY).
    if ((Attributes(f->key) & FILE_ATTRIBUTE_READONLY) != 0) return kCannotDelete;
    std::error_code ec;
    if (dir && !link && !std::filesystem::is_empty(f->hostPath, ec)) return kDirectoryNotEmpty;
    // The name goes when its last handle is closed.
    MarkForDeletion(f->key);
    if (io != nullptr) io->Status = kSuccess;
    return kSuccess;
  }
  return kInvalidParameter;
}

NtStatus WINAPI SimNtQueryDirectoryFile(HANDLE handle, HANDLE event, void* apc, void* apcContext, NtIoStatus* io,
                                        void* information, ULONG length, ULONG informationClass, BYTE single,
                                        NtUnicodeString* mask, BYTE restart) {
  (void)event;
  (void)apc;
  (void)apcContext;
  (void)single;
  std::string what;
  {
    auto lock = LockMachine();
    FileObject* named = FolderOf(handle);
    what = named != nullptr ? named->key : "?";
  }
  Call c("NtQueryDirectoryFile", what, static_cast<int>(restart));
  FileObject* folder = FolderOf(handle);
  if (folder == nullptr) return kInvalidHandle;
  if (c.faulted(what)) return StatusOf(Self().lastError);
  if (informationClass != kNtDirectoryInformation || mask != nullptr) return kInvalidParameter;
  if ((folder->access & (GENERIC_READ | 0x1u)) == 0) return kAccessDenied;
  if (restart != 0 || !folder->listed) {
    folder->listing = {".", ".."};
    bool dir = false;
    // A held folder that became a mount point has no entries of its own.
    if (!folder->mounted && !HostIsLink(folder->hostPath) && HostExists(folder->hostPath, &dir) && dir) {
      std::vector<std::string> names;
      if (DIR* d = ::opendir(folder->hostPath.c_str())) {
        while (dirent* e = ::readdir(d)) {
          std::string n = e->d_name;
          if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
      }
      std::sort(names.begin(), names.end());
      folder->listing.insert(folder->listing.end(), names.begin(), names.end());
    }
    folder->listed = true;
    folder->next = 0;
  }
  if (folder->next >= folder->listing.size()) return kNoMoreFiles;
  BYTE* out = static_cast<BYTE*>(information);
  size_t used = 0;
  NtDirectoryInformation* previous = nullptr;
  while (folder->next < folder->listing.size()) {
    const std::string& n = folder->listing[folder->next];
    size_t size = offsetof(NtDirectoryInformation, FileName) + n.size() * 2;
    size_t at = (used + 7) & ~static_cast<size_t>(7);
    if (at + size > length) break;
    auto* entry = reinterpret_cast<NtDirectoryInformation*>(out + at);
    std::memset(entry, 0, offsetof(NtDirectoryInformation, FileName));
    std::string host = folder->hostPath + "/" + n;
    bool dir = n == "." || n == "..";
    bool exists = dir || HostExists(host, &dir);
    DWORD extra = dir ? FILE_ATTRIBUTE_DIRECTORY : 0u;
    if (!dir && exists) extra |= Attributes(folder->key + "\\" + Lower(n));
    if (!dir && extra == 0) extra = FILE_ATTRIBUTE_ARCHIVE;
    if (n != "." && n != ".." && HostIsLink(host)) extra |= FILE_ATTRIBUTE_REPARSE_POINT;
    entry->FileAttributes = extra;
    entry->FileNameLength = static_cast<ULONG>(n.size() * 2);
    for (size_t i = 0; i < n.size(); ++i) entry->FileName[i] = static_cast<unsigned char>(n[i]);
    if (previous != nullptr)
      previous->NextEntryOffset = static_cast<ULONG>(reinterpret_cast<BYTE*>(entry) - reinterpret_cast<BYTE*>(previous));
    previous = entry;
    used = at + size;
    ++folder->next;
  }
  if (previous == nullptr) return static_cast<NtStatus>(0x80000005u);  // STATUS_BUFFER_OVERFLOW
  if (io != nullptr) {
    io->Status = kSuccess;
    io->Information = used;
  }
  return kSuccess;
}

ULONG WINAPI SimRtlNtStatusToDosError(NtStatus status) {
  if (status >= 0) return 0;
  for (const auto& [s, error] : kErrors)
    if (s == status) return error;
  if ((static_cast<uint32_t>(status) & 0xFFFF0000u) == 0xC0070000u) return static_cast<ULONG>(status) & 0xFFFFu;
  return 317;  // ERROR_MR_MID_NOT_FOUND: a status the table does not know
}

}  // namespace sim::detail
