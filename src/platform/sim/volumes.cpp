// The simulated machine's volumes: the kind of drive a root names, the file
// system a volume has (a network drive leads to a share; a volume without
// security, FAT or exFAT, keeps no owners), long names, and the system's
// random generator.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/sim/call.h"
#include "platform/sim/exports.h"

namespace sim::detail {

namespace {

// FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
// FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS: what NTFS reports.
const DWORD kNtfsFlags = 0x1 | 0x2 | 0x4 | kFilePersistentAcls;
// FAT and exFAT: case-preserved and Unicode names, no security.
const DWORD kFatFlags = 0x2 | 0x4;

// The file system flags of the volume a folder (canonical key) lies on.
DWORD FlagsOf(const std::string& key) { return OnUnsecuredVolume(key) ? kFatFlags : kNtfsFlags; }

void CopyName(const char* name, char* out, DWORD size) {
  if (out != nullptr && size > std::strlen(name)) std::memcpy(out, name, std::strlen(name) + 1);
}

}  // namespace

UINT WINAPI SimGetDriveTypeA(LPCSTR root) {
  Call c("GetDriveTypeA", root);
  if (c.faulted(root)) return 0;  // DRIVE_UNKNOWN
  std::string r = Str(root);
  if (r.size() < 3 || r[1] != ':' || r[2] != '\\') return 1;  // DRIVE_NO_ROOT_DIR
  char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(r[0])));
  if (Machine().networkDrives.count(drive) != 0) return kDriveRemote;
  Path p;
  DWORD error = 0;
  bool dir = false;
  if (!ResolvePath(r, &p, &error) || !HostExists(p.hostPath, &dir)) return 1;
  return 3;  // DRIVE_FIXED
}

BOOL WINAPI SimGetVolumeInformationA(LPCSTR root, LPSTR volumeName, DWORD volumeNameSize, DWORD* serialNumber,
                                     DWORD* maximumComponentLength, DWORD* fileSystemFlags, LPSTR fileSystemName,
                                     DWORD fileSystemNameSize) {
  Call c("GetVolumeInformationA", root);
  if (c.faulted(root)) return FALSE;
  Path p;
  DWORD error = 0;
  if (!ResolvePath(Str(root), &p, &error)) {
    SetError(error);
    return FALSE;
  }
  DWORD flags = FlagsOf(p.key);
  if (serialNumber != nullptr) *serialNumber = 0x51534D31;
  if (maximumComponentLength != nullptr) *maximumComponentLength = 255;
  if (fileSystemFlags != nullptr) *fileSystemFlags = flags;
  CopyName("", volumeName, volumeNameSize);
  CopyName(flags == kFatFlags ? "FAT32" : "NTFS", fileSystemName, fileSystemNameSize);
  return TRUE;
}

// By handle (Windows 6 and later): the volume the object really lies on,
// also one mounted below a drive's root.
BOOL WINAPI SimGetVolumeInformationByHandleW(HANDLE file, WCHAR* volumeName, DWORD volumeNameSize,
                                             DWORD* serialNumber, DWORD* maximumComponentLength,
                                             DWORD* fileSystemFlags, WCHAR* fileSystemName,
                                             DWORD fileSystemNameSize) {
  Call c("GetVolumeInformationByHandleW", file);
  auto f = HandleOf<FileObject>(file, Kind::File);
  if (f == nullptr) return FALSE;
  std::string what = f->key;
  if (c.faulted(what)) return FALSE;
  (void)volumeName;
  (void)volumeNameSize;
  (void)fileSystemName;
  (void)fileSystemNameSize;
  if (serialNumber != nullptr) *serialNumber = 0x51534D31;
  if (maximumComponentLength != nullptr) *maximumComponentLength = 255;
  if (fileSystemFlags != nullptr) *fileSystemFlags = FlagsOf(what);
  return TRUE;
}

// The machine has no short names: a path is its own long form, once every
// name on the way exists (ERROR_FILE_NOT_FOUND otherwise, as GetLongPathName
// answers).
DWORD WINAPI SimGetLongPathNameA(LPCSTR path, LPSTR longPath, DWORD capacity) {
  Call c("GetLongPathNameA", path);
  if (c.faulted(path)) return 0;
  Path p;
  DWORD error = 0;
  bool dir = false;
  if (!ResolvePath(Str(path), &p, &error)) {
    SetError(error);
    return 0;
  }
  if (!HostExists(p.hostPath, &dir) && !HostIsLink(p.hostPath)) {
    SetError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  std::string out = Str(path);
  if (out.size() + 1 > capacity) return static_cast<DWORD>(out.size() + 1);
  std::memcpy(longPath, out.c_str(), out.size() + 1);
  return static_cast<DWORD>(out.size());
}

// advapi32's RtlGenRandom (SystemFunction036): the bytes a test queued,
// then those of a counter, so that names made from them differ.
BYTE WINAPI SimRtlGenRandom(void* buffer, ULONG length) {
  Call c("SystemFunction036", length);
  if (c.faulted()) return 0;
  State& s = Machine();
  auto* out = static_cast<uint8_t*>(buffer);
  for (ULONG i = 0; i < length; ++i) {
    if (!s.randomBytes.empty()) {
      out[i] = s.randomBytes.front();
      s.randomBytes.pop_front();
    } else {
      s.randomCounter = s.randomCounter * 6364136223846793005ull + 1442695040888963407ull;
      out[i] = static_cast<uint8_t>(s.randomCounter >> 56);
    }
  }
  return 1;
}

}  // namespace sim::detail

namespace sim {

using namespace detail;

void MapNetworkDrive(char drive, const std::string& share) {
  auto lock = LockMachine();
  char d = static_cast<char>(std::tolower(static_cast<unsigned char>(drive)));
  Machine().networkDrives[d] = share;
  MakeDirectories(std::string(1, drive) + ":\\");
}

void PutOnUnsecuredVolume(const std::string& path) {
  auto lock = LockMachine();
  Path p;
  DWORD error = 0;
  (void)error;
  p = Must(path);
  Machine().unsecuredFolders.push_back(p.key);
}

void QueueRandomBytes(const std::string& bytes) {
  auto lock = LockMachine();
  for (char c : bytes) Machine().randomBytes.push_back(static_cast<uint8_t>(c));
}

}  // namespace sim

namespace sim {

void SetWow64(bool wow64) {
  auto lock = detail::LockMachine();
  detail::State& s = detail::Machine();
  s.wow64 = false;
  detail::Path system = detail::Must(s.systemDirectory);
  std::string windows = system.hostPath.substr(0, system.hostPath.find_last_of('/'));
  std::string entry = detail::FindEntry(windows, "SysWOW64");
  std::string wow = windows + "/" + (entry.empty() ? "SysWOW64" : entry);
  s.wow64 = wow64;
  if (!wow64) return;
  // The 32-bit system libraries live there.
  std::filesystem::create_directories(wow);
  for (const auto& [name, library] : s.libraries) {
    std::error_code ec;
    std::filesystem::copy_file(system.hostPath + "/" + name, wow + "/" + name,
                               std::filesystem::copy_options::skip_existing, ec);
  }
}

}  // namespace sim
