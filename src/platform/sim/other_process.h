// The simulated machine's test-facing side of the user's other process (what
// another process of the user, without administrator rights, does to the
// disk before and while the run goes on) and of the test's hooks at
// platform calls; included by machine.h.
#pragma once

#include <functional>
#include <string>

#include "platform/win32.h"

namespace sim {

// ---- the user's other process, and the test's hooks (other_process.cpp) ---------

// Links and hard links, as another process of the user would make them
// (not checked against any folder's security):
// a link (a junction or symbolic link: a folder entry that redirects) at
// `path` to `target`, and a second name `path` for the existing file `file`.
void MakeLink(const std::string& path, const std::string& target);
void MakeHardLink(const std::string& path, const std::string& file);

// What another process of the user, without administrator rights, may do
// to the disk while the run goes on. Each returns 0 when done, or the
// Windows error that stops it: 5 where a folder the run secured (its
// protected access list lets the user only read) forbids it, 32 where a
// folder held open without delete sharing cannot be renamed or removed.
DWORD UserRename(const std::string& from, const std::string& to);
DWORD UserWriteFile(const std::string& path, const std::string& bytes);
DWORD UserMakeLink(const std::string& path, const std::string& target);
// The user's other process replaces a folder's access list (SDDL "D:..."):
// allowed where the user may change the folder, or through a handle of
// HoldFolderOpen opened with WRITE_DAC, whatever the folder's security is
// now. Returns 0 or 5.
DWORD UserSetDacl(const std::string& path, const std::string& dacl);

// An object-manager redirection of `path` to `target`, as another process
// of the user makes it (a mount point above it leading to a symbolic link of
// the object manager): by name and by handle `path` is a normal folder, and
// everything done there happens at `target`; only its final path tells.
void RedirectFolder(const std::string& path, const std::string& target);

// Holds a folder open as another process of the user would, until
// ReleaseHeldFiles; the access is checked now. Returns 0 or the error.
DWORD HoldFolderOpen(const std::string& path, DWORD access, DWORD share);
// Holds a file open with the given share mode, as another process would,
// until ReleaseHeldFiles.
void HoldFileOpen(const std::string& path, DWORD access, DWORD share);
void ReleaseHeldFiles();

// Runs `action` once, just before the first call of `op` whose first text
// argument contains `match` (empty matches every call), made by the system.
void OnCall(const std::string& op, const std::string& match, std::function<void()> action);

// Holds the bootstrapper thread that makes the first call of `op` whose
// first text argument contains `match` (empty matches every call), just
// before that call, until release() holds or the process ends. The other
// threads go on meanwhile; release() is asked whenever the machine changes.
// The call must not be one made inside an OnCall action.
void HoldCall(const std::string& op, const std::string& match, std::function<bool()> release);
// Runs `action` once, right after the first call of `op` about `match` has
// taken effect and before the caller goes on (as an opportunistic lock's
// break lets another process act in between).
void OnCallDone(const std::string& op, const std::string& match, std::function<void()> action);
// The user's other process turns its empty folder `path` into a mount point
// leading to `target`, through a handle that takes no part in sharing: by
// name it is then a link; handles held on the folder before still hold it,
// and it has no entries. Returns 0, 5 (not the user's to change) or 145
// (not empty).
DWORD UserMakeMountPoint(const std::string& path, const std::string& target);
// The user's other process deletes a plain file: 0, 5 where the folder is
// not the user's to change, 32 where it is open without delete sharing.
DWORD UserDeleteFile(const std::string& path);
// Links are opened only through to their target, also when the link itself
// is asked for, and no handle shows a link: as Wine does.
void OpenLinksThrough(bool through);
// Threads that HoldCall holds now (one whose release() is asked among them).
int HeldThreads();

}  // namespace sim
