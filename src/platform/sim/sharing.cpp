// The simulated file system's rules of use: what keeps a name from being
// opened, deleted, removed or renamed while something holds it (share
// modes, delete sharing, names pending deletion), and read-only files.
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sim/state.h"

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
bool TakesPartInSharing(DWORD access) { return Reads(access) || Writes(access) || (access & 0x10000u) != 0; }

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

bool FolderHeldAgainstDeletion(const std::string& key) {
  for (auto& [h, obj] : Machine().handles) {
    if (obj->kind != Kind::File) continue;
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->directory && f->key == key && TakesPartInSharing(f->access) && (f->share & FILE_SHARE_DELETE) == 0)
      return true;
  }
  return false;
}

bool Pending(const std::string& key) {
  for (const std::string& name : Machine().pending)
    if (key == name || key.compare(0, name.size() + 1, name + "\\") == 0) return true;
  return false;
}

void HandleClosed(const std::string& key) {
  State& s = Machine();
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

DWORD Attributes(const std::string& key) {
  auto it = Machine().attributes.find(key);
  return it == Machine().attributes.end() ? 0 : it->second;
}

}  // namespace sim::detail
