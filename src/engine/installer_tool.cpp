#include "engine/installer_tool.h"

#include "diag/system_library.h"
#include "platform/fixed_text.h"
#include "platform/windows_version.h"

namespace {

const char kToolName[] = "\\msiexec.exe";
const DWORD kToolNameLength = sizeof kToolName - 1;
const DWORD kThresholdMs = 0x00020000;  // 2.0
const DWORD kThresholdLs = 0x0A280000;  // 2600.0
const DWORD kVersionBlockBytes = 1024;

// Appends the tool's name when it fits with its terminator.
bool AppendToolName(char* buffer, DWORD capacity) {
  DWORD n = static_cast<DWORD>(TextLength(buffer, capacity));
  if (n + kToolNameLength + 1 > capacity) {
    for (DWORD i = 0; i < capacity; ++i) buffer[i] = '\0';
    return false;
  }
  for (DWORD i = 0; i <= kToolNameLength; ++i) buffer[n + i] = kToolName[i];
  return true;
}

}  // namespace

bool InstallerVersionPasses(DWORD ms, DWORD ls) {
  if (ms != kThresholdMs) return ms > kThresholdMs;
  return ls >= kThresholdLs;
}

bool InstallerVersionGate() {
  CommandText path;
  // Without the system directory the path would name msi.dll at the root of
  // the current drive: the gate fails instead.
  if (!ReadSystemDirectory(path.data(), static_cast<UINT>(CommandText::kBytes)) || !path.append("\\msi.dll"))
    return false;
  HMODULE version = LoadSystemLibrary("version.dll");
  if (version == nullptr) return false;
  GetFileVersionInfoA_fn getInfo =
      reinterpret_cast<GetFileVersionInfoA_fn>(GetProcAddress(version, "GetFileVersionInfoA"));
  VerQueryValueA_fn query = reinterpret_cast<VerQueryValueA_fn>(GetProcAddress(version, "VerQueryValueA"));
  bool passes = false;
  BYTE block[kVersionBlockBytes] = {};
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (getInfo != nullptr && query != nullptr && getInfo(path.c_str(), 0, kVersionBlockBytes, block) &&
      query(block, "\\", reinterpret_cast<LPVOID*>(&info), &length) && info != nullptr)
    passes = InstallerVersionPasses(info->dwFileVersionMS, info->dwFileVersionLS);
  FreeLibrary(version);
  return passes;
}

bool IsWindowsVersion52() {
  WindowsVersion version = ReadWindowsVersion();
  return version.major == 5 && version.minor == 2;
}

bool LocateInstallerTool(char* buffer, DWORD capacity) {
  if (IsWindowsVersion52()) {
    return ReadSystemDirectory(buffer, capacity) && AppendToolName(buffer, capacity);
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return false;
  DWORD size = capacity;
  LSTATUS read = RegQueryValueExA(key, "InstallerLocation", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS) return false;
  return AppendToolName(buffer, capacity);
}

void PackagePathForTool(PathText* packagePath, const char* tool) {
  PathText system, prefix;
  if (FindText(tool, "SysWOW64") == nullptr || !ReadSystemDirectory(system.data(), static_cast<UINT>(PathText::kBytes)))
    return;
  size_t n = system.size();
  const char* path = packagePath->c_str();
  // The system directory's own last name, of the length of its replacement.
  const size_t kName = sizeof "system32" - 1;
  if (n <= kName || TextLength(path, n + 1) <= n || path[n] != '\\' || system.c_str()[n - kName - 1] != '\\' ||
      lstrcmpiA(system.c_str() + n - kName, "system32") != 0 || !prefix.assign(path))
    return;
  prefix.data()[n] = '\0';
  if (lstrcmpiA(prefix.c_str(), system.c_str()) != 0) return;
  char* name = packagePath->data() + n - kName;
  for (size_t k = 0; k < kName; ++k) name[k] = "SysWOW64"[k];
}
