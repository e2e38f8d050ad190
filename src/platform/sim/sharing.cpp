// The simulated file system's rules of use: what keeps a name from being
// opened, deleted, removed or renamed while something holds it (share
// modes, delete sharing, names pending deletion, open handles below a
// folder), and read-only files. Each rule is one function here; the calls
// in files.cpp and folders.cpp ask them.
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

std::vector<FileObject*> OpenFiles(const std::string& key) {
  std::vector<FileObject*> out;
  for (auto& [h, obj] : Machine().handles) {
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
bool TakesPartInSharing(DWORD access) { return Reads(access) || Writes(access) || (access & 0x10000u) != 0; }  // 0x10000: DELETE

// Share-mode check of a new open against every open handle of the file
// ("Creating and Opening Files": an open that asks for access another
// handle does not share fails with ERROR_SHARING_VIOLATION, and so does one
// that does not share what another handle has). Only opens with data or
// delete access take part, on either side.
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

// Deleting, removing and renaming a name all open it for DELETE, which a
// handle open without FILE_SHARE_DELETE refuses ("Creating and Opening
// Files", FILE_SHARE_DELETE). A handle that takes no part in sharing does
// not refuse it.
bool HeldAgainstDeletion(const std::string& key) {
  for (FileObject* f : OpenFiles(key))
    if (TakesPartInSharing(f->access) && (f->share & FILE_SHARE_DELETE) == 0) return true;
  return false;
}

// A folder with anything open below it cannot be renamed (fastfat's
// FatSetRenameInfo in Microsoft's driver samples, which NTFS matches: "we
// cannot rename a directory if there are open files below it";
// STATUS_ACCESS_DENIED).
bool OpenBelow(const std::string& folderKey) {
  std::string below = folderKey + "\\";
  for (auto& [h, obj] : Machine().handles) {
    if (obj->kind != Kind::File) continue;
    if (static_cast<FileObject*>(obj.get())->key.compare(0, below.size(), below) == 0) return true;
  }
  return false;
}

// A name deleted or removed while handles to it are open is only marked for
// deletion and goes with its last handle (DeleteFileA and RemoveDirectoryA,
// Remarks). Until then it (and any name below it) can be neither opened,
// made, deleted nor renamed: "subsequent calls to CreateFile to open the
// file fail with ERROR_ACCESS_DENIED".
DWORD RefusedAsPendingDeletion(const std::string& key) {
  for (const std::string& name : Machine().pending)
    if (key == name || key.compare(0, name.size() + 1, name + "\\") == 0) return ERROR_ACCESS_DENIED;
  return 0;
}

void MarkForDeletion(const std::string& key) { Machine().pending.insert(key); }

void HandleClosed(const std::string& key) {
  State& s = Machine();
  if (s.pending.count(key) == 0) return;
  if (!OpenFiles(key).empty()) return;
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

DWORD Attributes(const std::string& key) {
  auto it = Machine().attributes.find(key);
  return it == Machine().attributes.end() ? 0 : it->second;
}

// A read-only file can be read but neither written nor deleted ("File
// Attribute Constants", FILE_ATTRIBUTE_READONLY; DeleteFileA: "If the file
// is a read-only file, the function fails with ERROR_ACCESS_DENIED"); a
// read-only folder is not removed either.
bool ReadOnlyRefusesChange(const std::string& key) { return (Attributes(key) & FILE_ATTRIBUTE_READONLY) != 0; }

}  // namespace sim::detail
