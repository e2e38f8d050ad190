// The simulated file system's names and paths: drives in a temporary host
// folder, names compared without regard to case, the longest path a call
// takes (206 beyond it), invalid names (123), object-manager redirections,
// and the final path a handle's object is reached by.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/sim/call.h"
#include "platform/sim/exports.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

namespace fs = std::filesystem;

void InitFileSystem() {
  State& s = Machine();
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

// The entry of a host folder whose name matches without regard to case, as
// names compare on Windows ("Naming Files, Paths, and Namespaces").
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

// Characters no name may hold, and wildcards outside a search ("Naming
// Files, Paths, and Namespaces"); such a name fails with 123.
static bool ValidComponent(const std::string& c, bool wildcards) {
  for (unsigned char ch : c) {
    if (ch < 0x20) return false;
    if (std::strchr("<>:\"|", ch) != nullptr) return false;
    if (!wildcards && (ch == '*' || ch == '?')) return false;
  }
  return true;
}

bool ResolvePath(const std::string& path, Path* out, DWORD* error, size_t limit, bool wildcards) {
  State& s = Machine();
  // MAX_PATH (260) holds a path and its terminator ("Maximum Path Length
  // Limitation"): 259 characters at most, else 206.
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
  // spool). Wine does the same in a 64-bit prefix (wine-and-msi.md 19).
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
  // (Wine was seen to do the same with a link above a folder: wine-and-msi.md
  // 19.) An object-manager redirection (a mount point above the name leading to
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
    parent.hostPath = Machine().hostRoot + "/" + std::string(1, p.drive);
  }
  return parent;
}

bool ParentIsFolder(const Path& p) {
  bool dir = false;
  return HostExists(ParentOf(p).hostPath, &dir) && dir;
}

Path Must(const std::string& path) {
  Path p;
  DWORD error = 0;
  if (!ResolvePath(path, &p, &error, 100000)) std::abort();
  return p;
}

bool ResolveCallPath(LPCSTR path, Path* p, size_t limit) {
  DWORD error = 0;
  if (!ResolvePath(Str(path), p, &error, limit)) {
    SetError(error);
    return false;
  }
  if (DWORD refused = RefusedAsPendingDeletion(p->key)) {
    SetError(refused);
    return false;
  }
  return true;
}

DWORD NotFoundError(const Path& p) { return ParentIsFolder(p) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND; }

std::vector<std::string> HostEntries(const std::string& hostDir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(hostDir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string CanonicalKey(const std::string& hostPath) {
  std::error_code ec;
  std::string real = fs::canonical(hostPath, ec).string();
  std::string root = fs::canonical(Machine().hostRoot, ec).string() + "/";
  if (ec || real.compare(0, root.size(), root) != 0 || real.size() <= root.size()) return "";
  std::string key = real.substr(root.size(), 1) + ":" + (real.size() > root.size() + 1 ? real.substr(root.size() + 1) : "\\");
  for (char& c : key) c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

}  // namespace sim::detail

// The path by which the object a handle was opened on is really reached:
// links and redirections on the way are followed (a link opened as itself
// stays where it is), and the names come as the disk spells them.
DWORD WINAPI sim::detail::SimGetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD capacity, DWORD flags) {
  Call c("GetFinalPathNameByHandleA", file, capacity, Hex(flags));
  auto f = HandleOf<FileObject>(file, Kind::File);
  if (f == nullptr || c.faulted(f->key)) return 0;
  if (flags != FILE_NAME_NORMALIZED) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::error_code ec;
  fs::path host = f->hostPath;
  fs::path real = (f->attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                      ? fs::canonical(host.parent_path(), ec) / host.filename()
                      : fs::canonical(host, ec);
  std::string root = fs::canonical(Machine().hostRoot, ec).string() + "/";
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
  // A drive that leads to a share is shown as the share
  // ("\\?\UNC\server\share\...", GetFinalPathNameByHandle's forms).
  auto share = Machine().networkDrives.find(static_cast<char>(std::tolower(static_cast<unsigned char>(rest[0]))));
  if (share != Machine().networkDrives.end()) out = "\\\\?\\UNC" + share->second.substr(1) + out.substr(6);
  if (out.size() + 1 > capacity) return static_cast<DWORD>(out.size() + 1);
  std::memcpy(path, out.c_str(), out.size() + 1);
  return static_cast<DWORD>(out.size());
}
