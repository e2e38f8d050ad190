// The user's other process: what another process of the same user, without
// administrator rights, does to the disk before and while the run goes on
// (links and hard links it makes, renames, writes, access lists it
// replaces, redirections, files and folders it holds open), and the hooks
// that let a test act, or hold a thread, at a given platform call.
#include <unistd.h>

#include <filesystem>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

// Runs the first of `hooks` set for this call, once (it is taken out), as
// another process would act then: the call's last error stays its own.
static void RunFirstHook(std::vector<State::Hook>& hooks, const char* op, const std::string& argument) {
  for (auto it = hooks.begin(); it != hooks.end(); ++it) {
    if (!CallMatches(it->op, it->match, op, argument)) continue;
    std::function<void()> action = std::move(it->action);
    hooks.erase(it);
    DWORD error = Self().lastError;
    action();
    Self().lastError = error;
    return;
  }
}

void RunHooksAt(const char* op, const std::string& argument) {
  State& s = Machine();
  RunFirstHook(s.hooks, op, argument);
  for (auto it = s.holds.begin(); it != s.holds.end(); ++it) {
    if (!CallMatches(it->op, it->match, op, argument)) continue;
    std::function<bool()> release = std::move(it->release);
    s.holds.erase(it);
    // The call holds the machine's lock once; the wait lets go of it, so
    // that the other threads go on meanwhile.
    ++s.heldThreads;
    s.changed.notify_all();
    std::unique_lock<std::recursive_mutex> held(s.mu, std::adopt_lock);
    s.changed.wait(held, [&] { return s.ended || release(); });
    held.release();
    --s.heldThreads;
    break;
  }
}

void Done(const char* op, const std::string& argument) {
  if (Self().role == Role::Bootstrapper) RunFirstHook(Machine().doneHooks, op, argument);
}

}  // namespace sim::detail

namespace sim {

void MakeLink(const std::string& path, const std::string& target) {
  auto lock = LockMachine();
  Path p = Must(path), t = Must(target);
  std::filesystem::create_directories(ParentOf(p).hostPath);
  if (::symlink(t.hostPath.c_str(), p.hostPath.c_str()) != 0) std::abort();
}

void MakeHardLink(const std::string& path, const std::string& file) {
  auto lock = LockMachine();
  Path p = Must(path), f = Must(file);
  std::filesystem::create_directories(ParentOf(p).hostPath);
  if (::link(f.hostPath.c_str(), p.hostPath.c_str()) != 0) std::abort();
}

DWORD UserRename(const std::string& from, const std::string& to) {
  auto lock = LockMachine();
  Path f = Must(from), t = Must(to);
  // Renaming needs deletion of the entry (its own access list, or the
  // parent's right to delete children) and adding to the new parent.
  if ((!UserMayChange(f.key) && !UserMayChange(ParentOf(f).key)) || !UserMayChange(ParentOf(t).key))
    return ERROR_ACCESS_DENIED;
  return RenameEntry(f, t, true);
}

DWORD UserWriteFile(const std::string& path, const std::string& bytes) {
  {
    auto lock = LockMachine();
    Path p = Must(path);
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
    auto lock = LockMachine();
    Path p = Must(path);
    if (!UserMayChange(ParentOf(p).key)) return ERROR_ACCESS_DENIED;
    bool dir = false;
    if (HostExists(p.hostPath, &dir) || HostIsLink(p.hostPath)) return ERROR_ALREADY_EXISTS;
  }
  MakeLink(path, target);
  return 0;
}

DWORD UserDeleteFile(const std::string& path) {
  auto lock = LockMachine();
  Path p = Must(path);
  if (!UserMayChange(ParentOf(p).key)) return ERROR_ACCESS_DENIED;
  if (HeldAgainstDeletion(p.key)) return ERROR_SHARING_VIOLATION;
  return ::unlink(p.hostPath.c_str()) == 0 ? 0 : ERROR_FILE_NOT_FOUND;
}

DWORD UserMakeMountPoint(const std::string& path, const std::string& target) {
  auto lock = LockMachine();
  Path p = Must(path);
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
  // handle opened on it before still holds the folder object, which has no
  // entries and moves out of every drive's reach.
  Path t = Must(target);
  std::string aside = Machine().hostRoot + "/mounted-" + std::to_string(++Machine().mountedFolders);
  if (::rename(p.hostPath.c_str(), aside.c_str()) != 0 || ::symlink(t.hostPath.c_str(), p.hostPath.c_str()) != 0)
    return ERROR_ACCESS_DENIED;
  for (auto& [h, obj] : Machine().handles) {
    if (obj->kind != Kind::File) continue;
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->key == p.key) {
      f->hostPath = aside;
      f->mounted = true;
    }
  }
  return 0;
}

void OnCallDone(const std::string& op, const std::string& match, std::function<void()> action) {
  auto lock = LockMachine();
  Machine().doneHooks.push_back({op, match, std::move(action)});
}

void OpenLinksThrough(bool through) {
  auto lock = LockMachine();
  Machine().linksOpenThrough = through;
}

DWORD UserSetDacl(const std::string& path, const std::string& dacl) {
  auto lock = LockMachine();
  Path p = Must(path);
  // A handle of the user's that was opened with WRITE_DAC still has it: access
  // is granted when a handle is opened ("IRP_MJ_CREATE Dispatch Routine").
  bool granted = UserMayChange(p.key);
  for (auto& [h, obj] : Machine().handles) {
    if (obj->kind != Kind::File) continue;
    auto* f = static_cast<FileObject*>(obj.get());
    if (f->heldByTest && f->key == p.key && (f->access & WRITE_DAC) != 0) granted = true;
  }
  if (!granted) return ERROR_ACCESS_DENIED;
  Machine().security[p.key].dacl = dacl;
  return 0;
}

void RedirectFolder(const std::string& path, const std::string& target) {
  auto lock = LockMachine();
  std::string key = Must(path).key;
  Machine().redirects.push_back({key, target});
}

DWORD HoldFolderOpen(const std::string& path, DWORD access, DWORD share) {
  auto lock = LockMachine();
  Path p = Must(path);
  bool dir = false;
  if (!HostExists(p.hostPath, &dir) || !dir) return ERROR_PATH_NOT_FOUND;
  // The access is checked now, against the security the folder has now.
  if ((access & (WRITE_DAC | WRITE_OWNER)) != 0 && !UserMayChangeSecurity(p.key)) return ERROR_ACCESS_DENIED;
  if (FileOpenConflicts(p.key, access, share)) return ERROR_SHARING_VIOLATION;
  auto f = NewFileObject(p, access, share);
  f->directory = true;
  f->heldByTest = true;
  f->attributes = FILE_ATTRIBUTE_DIRECTORY;
  AddHandle(f);
  return 0;
}

void HoldFileOpen(const std::string& path, DWORD access, DWORD share) {
  auto lock = LockMachine();
  Path p = Must(path);
  std::filesystem::create_directories(ParentOf(p).hostPath);
  OpenFileObject(p, access, share, false, true);
}

void ReleaseHeldFiles() {
  auto lock = LockMachine();
  State& s = Machine();
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

void OnCall(const std::string& op, const std::string& match, std::function<void()> action) {
  auto lock = LockMachine();
  Machine().hooks.push_back({op, match, std::move(action)});
}

void HoldCall(const std::string& op, const std::string& match, std::function<bool()> release) {
  auto lock = LockMachine();
  Machine().holds.push_back({op, match, std::move(release)});
}

int HeldThreads() {
  auto lock = LockMachine();
  return Machine().heldThreads;
}

}  // namespace sim
