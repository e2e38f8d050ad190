// The simulated environment, versions and languages: environment
// variables, the command line, the Windows version, the system, Windows and
// temp folders, the ANSI code page and the languages, the shell's known and
// special folders, msi.dll's version information, and the C library clock.
#include <algorithm>
#include <cstring>

#include "platform/sim/call.h"
#include "platform/sim/exports.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

static const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};

static const GUID kLocalAppData = {0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

static bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void InitEnvironment() {
  State& s = Machine();
  s.knownFolders.push_back({kLocalAppDataLow, u"C:\\Users\\tester\\AppData\\LocalLow"});
  s.knownFolders.push_back({kLocalAppData, u"C:\\Users\\tester\\AppData\\Local"});
  s.shellFolders[CSIDL_APPDATA] = "C:\\Users\\tester\\AppData\\Roaming";
  s.shellFolders[CSIDL_PROGRAM_FILES_COMMON] = "C:\\Program Files\\Common Files";
  s.env["userprofile"] = {"USERPROFILE", "C:\\Users\\tester"};
  s.env["tmp"] = {"TMP", "C:\\Users\\tester\\AppData\\Local\\Temp"};
  s.env["temp"] = {"TEMP", "C:\\Users\\tester\\AppData\\Local\\Temp"};
  MakeDirectories("C:\\Users\\tester\\AppData\\LocalLow");
  MakeDirectories("C:\\Users\\tester\\AppData\\Roaming");
  MakeDirectories("C:\\Users\\tester\\AppData\\Local\\Temp");
  MakeDirectories("C:\\Users\\tester\\Downloads");
  MakeDirectories("C:\\Program Files\\Common Files");
}

}  // namespace sim::detail

// ---- kernel32: the command line, languages, versions, folders, variables -------------------------------------------

LPSTR WINAPI GetCommandLineA() {
  Call c("GetCommandLineA");
  State& s = Machine();
  s.commandLineBuffer.assign(s.commandLine.begin(), s.commandLine.end());
  s.commandLineBuffer.push_back('\0');
  return s.commandLineBuffer.data();
}

// The lead-byte ranges of the double-byte ANSI code pages (what GetCPInfo
// reports for them); every other code page is single-byte.
BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
  Call c("IsDBCSLeadByte", Hex(testChar));
  switch (Machine().codePage) {
    case 932:  // Japanese (Shift-JIS)
      return (testChar >= 0x81 && testChar <= 0x9F) || (testChar >= 0xE0 && testChar <= 0xFC);
    case 936:  // Simplified Chinese (GBK)
    case 949:  // Korean (Unified Hangul Code)
    case 950:  // Traditional Chinese (Big5)
      return testChar >= 0x81 && testChar <= 0xFE;
    default:
      return FALSE;
  }
}

LANGID WINAPI GetUserDefaultLangID() {
  Call c("GetUserDefaultLangID");
  return Machine().userLang;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  Call c("GetVersionExA", info->dwOSVersionInfoSize);
  if (c.faulted()) return FALSE;
  // The record is an OSVERSIONINFOA (148 bytes) or an OSVERSIONINFOEXA (156).
  if (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  State& s = Machine();
  info->dwMajorVersion = s.major;
  info->dwMinorVersion = s.minor;
  info->dwBuildNumber = s.build;
  info->dwPlatformId = s.platform;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}

// A text answer: the text's length when it fits with its terminator, else
// the size it needs, terminator included, with nothing written
// (GetSystemDirectoryA, Return value).
static UINT CopyOut(const std::string& value, LPSTR buffer, UINT size) {
  if (value.size() + 1 > size) return static_cast<UINT>(value.size() + 1);
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  return static_cast<UINT>(value.size());
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
  Call c("GetSystemDirectoryA", size);
  if (c.faulted()) return 0;
  return CopyOut(Machine().systemDirectory, buffer, size);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  Call c("GetWindowsDirectoryA", size);
  if (c.faulted()) return 0;
  return CopyOut(Machine().windowsDirectory, buffer, size);
}

DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
  Call c("GetTempPathA", size);
  if (c.faulted()) return 0;
  // The first of TMP, TEMP and USERPROFILE that is set, with a backslash
  // after it, else the Windows directory (GetTempPathA, Remarks): the user's
  // own environment names it, also for an elevated process.
  State& s = Machine();
  std::string path = s.windowsDirectory;
  for (const char* name : {"tmp", "temp", "userprofile"}) {
    auto it = s.env.find(name);
    if (it != s.env.end() && !it->second.second.empty()) {
      path = it->second.second;
      break;
    }
  }
  if (path.back() != '\\') path += '\\';
  return CopyOut(path, buffer, size);
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  Call c("GetEnvironmentVariableA", name, size);
  if (c.faulted(name)) return 0;
  State& s = Machine();
  auto it = s.env.find(Lower(name));
  if (it == s.env.end()) {
    SetError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const std::string& value = it->second.second;
  if (value.empty()) {
    if (size > 0) buffer[0] = '\0';
    SetError(ERROR_SUCCESS);
    return 0;
  }
  return CopyOut(value, buffer, size);
}

// ---- shell32 and shfolder: the shell's folders ---------------------------------------------------------------------

namespace sim::detail {

// The HRESULT that carries a Windows error code.
static HRESULT FailureFromError(DWORD error) { return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu)); }

HRESULT WINAPI SimSHGetFolderPathEx(const GUID* id, DWORD flags, HANDLE token, LPWSTR path, UINT capacity) {
  Call c("SHGetFolderPathEx", Hex(id->Data1), flags, token == nullptr ? "NULL" : "token", capacity);
  if (c.faulted()) return FailureFromError(GetLastError());
  for (auto& [guid, value] : Machine().knownFolders) {
    if (!SameGuid(guid, *id)) continue;
    if (!value) return static_cast<HRESULT>(0x80070002);  // the folder is not there
    if (value->size() + 1 > capacity) return static_cast<HRESULT>(0x8007007A);  // insufficient buffer
    for (size_t i = 0; i < value->size(); ++i) path[i] = (*value)[i];
    path[value->size()] = 0;
    return S_OK;
  }
  return E_INVALIDARG;
}

// The folder's path; S_FALSE (1) when it does not exist (yet) and is not
// created, as SHGetFolderPathA answers then.
static HRESULT ShellFolder(int folder, LPSTR path, bool create) {
  State& s = Machine();
  auto it = s.shellFolders.find(folder);
  if (it == s.shellFolders.end() || !it->second) return E_FAIL;
  if (it->second->size() >= MAX_PATH) return E_FAIL;
  std::memcpy(path, it->second->c_str(), it->second->size() + 1);
  if (create) MakeDirectories(*it->second);
  return IsDirectory(*it->second) ? S_OK : S_FALSE;
}

HRESULT WINAPI SimShfolderSHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path) {
  Call c("SHGetFolderPathA", owner, folder, token == nullptr ? "NULL" : "token", flags);
  if (c.faulted()) return FailureFromError(GetLastError());
  return ShellFolder(folder, path, false);
}

BOOL WINAPI SimSHGetSpecialFolderPathA(HWND owner, LPSTR path, int folder, BOOL create) {
  Call c("SHGetSpecialFolderPathA", owner, folder, create);
  if (c.faulted()) return FALSE;
  return ShellFolder(folder, path, create != FALSE) == S_OK ? TRUE : FALSE;
}

}  // namespace sim::detail

// The shell32 import of SHGetFolderPathA.
HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path) {
  return SimShfolderSHGetFolderPathA(owner, folder, token, flags, path);
}

// ---- version: the version information of msi.dll -------------------------------------------------------------------

namespace sim::detail {

// The block the machine hands out: a marker, then the fixed record.
static const char kBlockMarker[] = "SIMVERSIONBLOCK";

static const size_t kFixedOffset = 40;

BOOL WINAPI SimGetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID block) {
  Call c("GetFileVersionInfoA", path, handle, size);
  if (c.faulted(path)) return FALSE;
  Path p;
  DWORD error = 0;
  if (!ResolvePath(Str(path), &p, &error)) {
    SetError(error);
    return FALSE;
  }
  bool dir = false;
  if (!HostExists(p.hostPath, &dir) || dir) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  bool isMsi = p.key == SystemDirectoryPath().key + "\\msi.dll";
  if (!isMsi || !Machine().msiHasVersion) {
    SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  unsigned char image[kFixedOffset + sizeof(VS_FIXEDFILEINFO)] = {};
  std::memcpy(image, kBlockMarker, sizeof kBlockMarker);
  VS_FIXEDFILEINFO info = {};
  info.dwSignature = 0xFEEF04BD;
  info.dwStrucVersion = 0x00010000;
  info.dwFileVersionMS = info.dwProductVersionMS = Machine().msiMs;
  info.dwFileVersionLS = info.dwProductVersionLS = Machine().msiLs;
  std::memcpy(image + kFixedOffset, &info, sizeof info);
  // As the platform does, a smaller block receives what fits.
  std::memcpy(block, image, std::min<size_t>(size, sizeof image));
  return TRUE;
}

BOOL WINAPI SimVerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length) {
  Call c("VerQueryValueA", subBlock);
  if (c.faulted()) return FALSE;
  if (std::memcmp(block, kBlockMarker, sizeof kBlockMarker) != 0 || std::strcmp(Str(subBlock).c_str(), "\\") != 0)
    return FALSE;
  *value = const_cast<unsigned char*>(static_cast<const unsigned char*>(block) + kFixedOffset);
  *length = sizeof(VS_FIXEDFILEINFO);
  return TRUE;
}

}  // namespace sim::detail

// ---- the C library clock -------------------------------------------------------------------------------------------

extern "C" time_t time(time_t* out) {
  time_t now;
  {
    State& s = Machine();
    std::lock_guard<std::recursive_mutex> lock(s.mu);
    if (s.clockPinned) {
      now = s.clock;
    } else {
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      now = ts.tv_sec;
    }
  }
  if (out != nullptr) *out = now;
  return now;
}

// ---- test-facing API -----------------------------------------------------------------------------------------------

namespace sim {

void SetEnv(const std::string& name, const std::string& value) {
  auto lock = LockMachine();
  Machine().env[Lower(name)] = {name, value};
}

void UnsetEnv(const std::string& name) {
  auto lock = LockMachine();
  Machine().env.erase(Lower(name));
}

void SetCommandLine(const std::string& commandLine) {
  auto lock = LockMachine();
  Machine().commandLine = commandLine;
}

void SetWindowsVersion(DWORD major, DWORD minor, DWORD platform) {
  auto lock = LockMachine();
  Machine().major = major;
  Machine().minor = minor;
  Machine().platform = platform;
}

void SetTempPath(const std::string& path) {
  auto lock = LockMachine();
  std::string folder = path;
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  Machine().env["tmp"] = {"TMP", folder};
  Machine().env["temp"] = {"TEMP", folder};
}

void SetCodePage(UINT codePage) {
  auto lock = LockMachine();
  Machine().codePage = codePage;
}

void SetUserLangId(LANGID lang) {
  auto lock = LockMachine();
  Machine().userLang = lang;
}

void SetUiLanguage(LANGID lang) {
  auto lock = LockMachine();
  Machine().uiLang = lang;
}

void SetMsiVersion(DWORD ms, DWORD ls) {
  auto lock = LockMachine();
  Machine().msiHasVersion = true;
  Machine().msiMs = ms;
  Machine().msiLs = ls;
}

void RemoveMsiVersionInfo() {
  auto lock = LockMachine();
  Machine().msiHasVersion = false;
}

void SetClock(time_t t) {
  auto lock = LockMachine();
  Machine().clockPinned = true;
  Machine().clock = t;
}

void SetKnownFolder(const GUID& id, std::optional<std::u16string> path) {
  auto lock = LockMachine();
  for (auto& [guid, value] : Machine().knownFolders) {
    if (SameGuid(guid, id)) {
      value = std::move(path);
      return;
    }
  }
  Machine().knownFolders.push_back({id, std::move(path)});
}

void SetShellFolder(int csidl, std::optional<std::string> path) {
  auto lock = LockMachine();
  Machine().shellFolders[csidl] = std::move(path);
}

const GUID& LocalAppDataLowId() { return kLocalAppDataLow; }

const GUID& LocalAppDataId() { return kLocalAppData; }

}  // namespace sim
