// The simulated file system's folders: making and removing them, and
// searching them (FindFirstFileA with "." and ".." and the platform's
// wildcards).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

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

}  // namespace sim::detail

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES sa) {
  Call c("CreateDirectoryA", path, sa == nullptr ? "NULL" : "sa");
  // A folder's path leaves room for a file name of 8.3 characters: 248 at
  // the most (CreateDirectoryA, "the default string size limit for paths
  // is 248 characters").
  Path p;
  if (c.faulted(path) || !ResolveCallPath(path, &p, MAX_PATH - 12)) return FALSE;
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
  Call c("RemoveDirectoryA", path);
  Path p;
  if (c.faulted(path) || !ResolveCallPath(path, &p)) return FALSE;
  bool dir = false;
  if (!HostExists(p.hostPath, &dir)) {
    SetError(NotFoundError(p));
    return FALSE;
  }
  if (!dir) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (ReadOnlyRefusesChange(p.key) || !RunMayChange(ParentOf(p).key)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (HeldAgainstDeletion(p.key)) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (HostIsLink(p.hostPath)) {
    // A junction is removed as itself, "regardless of the contents of the
    // target" (RemoveDirectoryA, Remarks); its target stays.
    ::unlink(p.hostPath.c_str());
    Machine().security.erase(p.key);
    return TRUE;
  }
  std::error_code ec;
  if (!std::filesystem::is_empty(p.hostPath, ec)) {
    SetError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  // Still open elsewhere (with delete sharing, or with no data access).
  if (!OpenFiles(p.key).empty()) {
    MarkForDeletion(p.key);
    return TRUE;
  }
  if (::rmdir(p.hostPath.c_str()) != 0) {
    SetError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  Machine().security.erase(p.key);
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
  Call c("FindFirstFileA", pattern);
  if (c.faulted(pattern)) return INVALID_HANDLE_VALUE;
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
    // A folder's search lists "." and ".." first; a drive's root has none
    // (FindFirstFileA).
    names.push_back(".");
    names.push_back("..");
  }
  std::vector<std::string> found = HostEntries(dir.hostPath);
  names.insert(names.end(), found.begin(), found.end());
  for (const auto& n : names) {
    if (!MatchPattern(match.c_str(), n.c_str())) continue;
    WIN32_FIND_DATAA entry;
    if (n == "." || n == "..") {
      FillEntry(&entry, n, true, 0, 0);
    } else {
      // A link that leads nowhere is listed as itself.
      struct stat st = {};
      std::string host = dir.hostPath + "/" + n;
      if (::stat(host.c_str(), &st) != 0) ::lstat(host.c_str(), &st);
      DWORD extra = Attributes(dir.key + (dir.parts.empty() ? "" : "\\") + Lower(n));
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
  Call c("FindNextFileA", search);
  if (c.faulted()) return FALSE;
  auto s = HandleOf<SearchObject>(search, Kind::Search);
  if (s == nullptr) return FALSE;
  if (s->next >= s->entries.size()) {
    SetError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = s->entries[s->next++];
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE search) {
  Call c("FindClose", search);
  if (HandleOf<SearchObject>(search, Kind::Search) == nullptr) return FALSE;
  Machine().handles.erase(reinterpret_cast<uintptr_t>(search));
  // As with CloseHandle, a reported failure still releases the handle.
  if (c.faulted()) return FALSE;
  return TRUE;
}

// ---- test-facing API -----------------------------------------------------------------------------------------------

namespace sim {

void MakeDirectories(const std::string& path) {
  auto lock = LockMachine();
  std::filesystem::create_directories(Must(path).hostPath);
}

std::vector<std::string> ListDirectory(const std::string& path) {
  auto lock = LockMachine();
  return HostEntries(Must(path).hostPath);
}

}  // namespace sim
