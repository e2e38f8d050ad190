// The simulated machine's modules: the executable's resources and string
// table, the system libraries and their exports, the shell folders and the
// version information of msi.dll.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/sim/state.h"

namespace sim::detail {

static const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
static const GUID kLocalAppData = {0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

static bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

static const char* const kSystemLibraries[] = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll",
                                               "shfolder.dll", "version.dll", "msi.dll",   "ntdll.dll"};

void InitLibraries() {
  State& s = S();
  for (const char* name : kSystemLibraries) s.libraries[name] = Library{name, {}};
  s.libraries["kernel32.dll"].exports["SetDllDirectoryA"] = reinterpret_cast<FARPROC>(&SimSetDllDirectoryA);
  s.libraries["kernel32.dll"].exports["SetDefaultDllDirectories"] =
      reinterpret_cast<FARPROC>(&SimSetDefaultDllDirectories);
  s.libraries["kernel32.dll"].exports["GetFinalPathNameByHandleA"] =
      reinterpret_cast<FARPROC>(&SimGetFinalPathNameByHandleA);
  s.libraries["kernel32.dll"].exports["GetDriveTypeA"] = reinterpret_cast<FARPROC>(&SimGetDriveTypeA);
  s.libraries["kernel32.dll"].exports["GetVolumeInformationA"] = reinterpret_cast<FARPROC>(&SimGetVolumeInformationA);
  s.libraries["kernel32.dll"].exports["GetVolumeInformationByHandleW"] =
      reinterpret_cast<FARPROC>(&SimGetVolumeInformationByHandleW);
  s.libraries["kernel32.dll"].exports["GetLongPathNameA"] = reinterpret_cast<FARPROC>(&SimGetLongPathNameA);
  s.libraries["advapi32.dll"].exports["SystemFunction036"] = reinterpret_cast<FARPROC>(&SimRtlGenRandom);
  s.libraries["ntdll.dll"].exports["NtCreateFile"] = reinterpret_cast<FARPROC>(&SimNtCreateFile);
  s.libraries["ntdll.dll"].exports["NtSetInformationFile"] = reinterpret_cast<FARPROC>(&SimNtSetInformationFile);
  s.libraries["ntdll.dll"].exports["NtQueryDirectoryFile"] = reinterpret_cast<FARPROC>(&SimNtQueryDirectoryFile);
  s.libraries["ntdll.dll"].exports["RtlNtStatusToDosError"] = reinterpret_cast<FARPROC>(&SimRtlNtStatusToDosError);
  s.libraries["shell32.dll"].exports["SHGetFolderPathEx"] = reinterpret_cast<FARPROC>(&SimSHGetFolderPathEx);
  s.libraries["shell32.dll"].exports["SHGetSpecialFolderPathA"] =
      reinterpret_cast<FARPROC>(&SimSHGetSpecialFolderPathA);
  s.libraries["shell32.dll"].exports["SHGetFolderPathA"] = reinterpret_cast<FARPROC>(&SimShfolderSHGetFolderPathA);
  s.libraries["shfolder.dll"].exports["SHGetFolderPathA"] = reinterpret_cast<FARPROC>(&SimShfolderSHGetFolderPathA);
  s.libraries["version.dll"].exports["GetFileVersionInfoA"] = reinterpret_cast<FARPROC>(&SimGetFileVersionInfoA);
  s.libraries["version.dll"].exports["VerQueryValueA"] = reinterpret_cast<FARPROC>(&SimVerQueryValueA);
  for (const char* name : kSystemLibraries)
    WriteFileBytes(s.systemDirectory + "\\" + name, std::string("MZ simulated ") + name);
  s.knownFolders.push_back({kLocalAppDataLow, u"C:\\Users\\tester\\AppData\\LocalLow"});
  s.knownFolders.push_back({kLocalAppData, u"C:\\Users\\tester\\AppData\\Local"});
  s.shellFolders[CSIDL_APPDATA] = "C:\\Users\\tester\\AppData\\Roaming";
  s.shellFolders[CSIDL_PROGRAM_FILES_COMMON] = "C:\\Program Files\\Common Files";
  s.env["userprofile"] = {"USERPROFILE", "C:\\Users\\tester"};
  s.env["tmp"] = {"TMP", "C:\\Users\\tester\\AppData\\Local\\Temp"};
  s.env["temp"] = {"TEMP", "C:\\Users\\tester\\AppData\\Local\\Temp"};
  // ntdll and kernel32 (which the executable imports) are in every process
  // from its start.
  for (const char* name : {"ntdll.dll", "kernel32.dll"}) {
    Path path;
    DWORD error = 0;
    ResolvePath(s.systemDirectory + "\\" + name, &path, &error, 100000);
    LoadedModule resident{path.key, name, true, 0};
    resident.resident = true;
    s.modules[s.nextModule] = resident;
    s.nextModule += 0x10000;
  }
  MakeDirectories("C:\\Users\\tester\\AppData\\LocalLow");
  MakeDirectories("C:\\Users\\tester\\AppData\\Roaming");
  MakeDirectories("C:\\Users\\tester\\AppData\\Local\\Temp");
  MakeDirectories("C:\\Users\\tester\\Downloads");
  MakeDirectories("C:\\Program Files\\Common Files");
  s.regHandles.clear();
}

static std::string DirectoryOf(const std::string& key) { return key.substr(0, key.find_last_of('\\')); }

static Path SystemDirectoryPath() {
  Path p;
  DWORD error;
  ResolvePath(S().systemDirectory, &p, &error, 100000);
  return p;
}

// The module a handle names, or nullptr.
static LoadedModule* ModuleOf(HMODULE h) {
  auto it = S().modules.find(reinterpret_cast<uintptr_t>(h));
  return it == S().modules.end() ? nullptr : &it->second;
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

// ---- resources ------------------------------------------------------------------------------

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  auto lock = Enter();
  std::string n = IS_INTRESOURCE(name) ? "#" + std::to_string(LOWORD(name)) : Str(name);
  std::string t = IS_INTRESOURCE(type) ? "#" + std::to_string(LOWORD(type)) : Str(type);
  Log("FindResourceA(" + Hex(reinterpret_cast<uintptr_t>(module)) + ", " + n + ", " + t + ")");
  if (Fault("FindResourceA", t)) return nullptr;
  if (module != sim::Module() || !IS_INTRESOURCE(name) || IS_INTRESOURCE(type)) {
    SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  Resource* best = nullptr;
  for (Resource& r : S().resources) {
    if (r.id != LOWORD(name) || lstrcmpiA(r.type.c_str(), type) != 0) continue;
    if (best == nullptr || r.lang == 1033) best = &r;
  }
  if (best == nullptr) {
    SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HRSRC>(best);
}

static Resource* ResourceOf(HRSRC r) {
  for (Resource& x : S().resources)
    if (reinterpret_cast<HRSRC>(&x) == r) return &x;
  return nullptr;
}

DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
  auto lock = Enter();
  Log("SizeofResource(" + Hex(reinterpret_cast<uintptr_t>(module)) + ")");
  if (Fault("SizeofResource")) return 0;
  Resource* r = ResourceOf(resource);
  if (r == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(r->bytes.size());
}

HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
  auto lock = Enter();
  Log("LoadResource(" + Hex(reinterpret_cast<uintptr_t>(module)) + ")");
  if (Fault("LoadResource")) return nullptr;
  Resource* r = ResourceOf(resource);
  if (r == nullptr) {
    SetError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  return r;
}

LPVOID WINAPI LockResource(HGLOBAL data) {
  auto lock = Enter();
  Log("LockResource()");
  if (data == nullptr) return nullptr;
  if (Fault("LockResource")) return nullptr;
  auto* r = static_cast<Resource*>(data);
  return r->bytes.empty() ? static_cast<LPVOID>(r) : static_cast<LPVOID>(&r->bytes[0]);
}

int WINAPI LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int size) {
  auto lock = Enter();
  Log("LoadStringA(" + Hex(reinterpret_cast<uintptr_t>(module)) + ", " + std::to_string(id) + ", " +
      std::to_string(size) + ")");
  if (Fault("LoadStringA")) return 0;
  State& s = S();
  if (module != sim::Module() || size <= 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The platform's choice: the user-interface language, then its primary
  // language alone, then US English, then any.
  const std::string* text = nullptr;
  LANGID wanted[] = {s.uiLang, static_cast<LANGID>(PRIMARYLANGID(s.uiLang)), 1033};
  for (LANGID lang : wanted) {
    auto it = s.strings.find({id, lang});
    if (it != s.strings.end()) {
      text = &it->second;
      break;
    }
  }
  if (text == nullptr) {
    for (auto& [key, value] : s.strings) {
      if (key.first == id) {
        text = &value;
        break;
      }
    }
  }
  if (text == nullptr) {
    buffer[0] = '\0';
    SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  size_t n = std::min(text->size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, text->data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

// ---- libraries -------------------------------------------------------------------------------

HMODULE WINAPI LoadLibraryA(LPCSTR path) {
  auto lock = Enter();
  Log("LoadLibraryA(" + Str(path) + ")");
  State& s = S();
  std::string name = Str(path);
  if (Fault("LoadLibraryA", name)) {
    s.loads.push_back({name, false});
    return nullptr;
  }
  std::vector<std::string> candidates;
  if (name.find_first_of("\\/") != std::string::npos) {
    candidates.push_back(name);
  } else {
    // A bare name: the system directory, the Windows directory, then the
    // current directory unless the search path was hardened.
    candidates.push_back(s.systemDirectory + "\\" + name);
    candidates.push_back(s.windowsDirectory + "\\" + name);
    if (s.dllDirectories.empty() || !s.dllDirectories.back().empty())
      candidates.push_back(s.currentDirectory + "\\" + name);
  }
  for (const auto& c : candidates) {
    Path p;
    DWORD error = 0;
    if (!ResolvePath(c, &p, &error)) continue;
    bool dir = false;
    if (!HostExists(p.hostPath, &dir) || dir) continue;
    std::string file = p.key.substr(p.key.find_last_of('\\') + 1);
    bool system = DirectoryOf(p.key) == SystemDirectoryPath().key && s.libraries.count(file) != 0;
    for (auto& [h, m] : s.modules) {
      if (m.path == p.key) {
        ++m.references;
        ++s.libraryReferences[Opener()];
        s.loads.push_back({name, true});
        return reinterpret_cast<HMODULE>(h);
      }
    }
    uintptr_t h = s.nextModule;
    s.nextModule += 0x10000;
    s.modules[h] = LoadedModule{p.key, file, system, 1};
    ++s.libraryReferences[Opener()];
    s.loads.push_back({name, true});
    return reinterpret_cast<HMODULE>(h);
  }
  s.loads.push_back({name, false});
  SetError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

// Every process has ntdll loaded from its start; GetModuleHandleA finds it
// without a reference of its own.
HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  auto lock = Enter();
  Log("GetModuleHandleA(" + Str(name) + ")");
  if (Fault("GetModuleHandleA", Str(name))) return nullptr;
  State& s = S();
  std::string wanted = Lower(Str(name));
  for (auto& [h, m] : s.modules)
    if (m.fileName == wanted && m.systemLibrary && m.resident) return reinterpret_cast<HMODULE>(h);
  SetError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  auto lock = Enter();
  Log("GetProcAddress(" + Hex(reinterpret_cast<uintptr_t>(module)) + ", " + Str(name) + ")");
  if (Fault("GetProcAddress", Str(name))) return nullptr;
  LoadedModule* m = ModuleOf(module);
  if (m == nullptr) {
    SetError(module == sim::Module() ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (m->references <= 0 && !m->resident) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (m->systemLibrary) {
    const Library& lib = S().libraries[m->fileName];
    auto it = lib.exports.find(Str(name));
    if (it != lib.exports.end()) return it->second;
  }
  SetError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  auto lock = Enter();
  Log("FreeLibrary(" + Hex(reinterpret_cast<uintptr_t>(module)) + ")");
  LoadedModule* m = ModuleOf(module);
  if (m == nullptr || m->references <= 0) {
    SetError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  --m->references;
  --S().libraryReferences[Opener()];
  // As with CloseHandle, a reported failure still releases the reference.
  if (Fault("FreeLibrary")) return FALSE;
  return TRUE;
}

namespace sim::detail {

BOOL WINAPI SimSetDllDirectoryA(LPCSTR directory) {
  auto lock = Enter();
  Log("SetDllDirectoryA(" + Str(directory) + ")");
  if (Fault("SetDllDirectoryA")) return FALSE;
  S().dllDirectories.push_back(Str(directory));
  return TRUE;
}

// ---- shell folders ------------------------------------------------------------------------------

// The HRESULT that carries a Windows error code.
static HRESULT FailureFromError(DWORD error) { return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu)); }

HRESULT WINAPI SimSHGetFolderPathEx(const GUID* id, DWORD flags, HANDLE token, LPWSTR path, UINT capacity) {
  auto lock = Enter();
  Log("SHGetFolderPathEx(" + Hex(id->Data1) + ", " + std::to_string(flags) + ", " +
      (token == nullptr ? "NULL" : "token") + ", " + std::to_string(capacity) + ")");
  if (Fault("SHGetFolderPathEx")) return FailureFromError(GetLastError());
  for (auto& [guid, value] : S().knownFolders) {
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
  State& s = S();
  auto it = s.shellFolders.find(folder);
  if (it == s.shellFolders.end() || !it->second) return E_FAIL;
  if (it->second->size() >= MAX_PATH) return E_FAIL;
  std::memcpy(path, it->second->c_str(), it->second->size() + 1);
  if (create) MakeDirectories(*it->second);
  return IsDirectory(*it->second) ? S_OK : S_FALSE;
}

HRESULT WINAPI SimShfolderSHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path) {
  auto lock = Enter();
  Log("SHGetFolderPathA(" + Hex(reinterpret_cast<uintptr_t>(owner)) + ", " + std::to_string(folder) + ", " +
      (token == nullptr ? "NULL" : "token") + ", " + std::to_string(flags) + ")");
  if (Fault("SHGetFolderPathA")) return FailureFromError(GetLastError());
  return ShellFolder(folder, path, false);
}

BOOL WINAPI SimSHGetSpecialFolderPathA(HWND owner, LPSTR path, int folder, BOOL create) {
  auto lock = Enter();
  Log("SHGetSpecialFolderPathA(" + Hex(reinterpret_cast<uintptr_t>(owner)) + ", " + std::to_string(folder) +
      ", " + std::to_string(create) + ")");
  if (Fault("SHGetSpecialFolderPathA")) return FALSE;
  return ShellFolder(folder, path, create != FALSE) == S_OK ? TRUE : FALSE;
}

// ---- version information ----------------------------------------------------------------------

// The block the machine hands out: a marker, then the fixed record.
static const char kBlockMarker[] = "SIMVERSIONBLOCK";
static const size_t kFixedOffset = 40;

BOOL WINAPI SimGetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID block) {
  auto lock = Enter();
  Log("GetFileVersionInfoA(" + Str(path) + ", " + std::to_string(handle) + ", " + std::to_string(size) + ")");
  if (Fault("GetFileVersionInfoA", Str(path))) return FALSE;
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
  if (!isMsi || !S().msiHasVersion) {
    SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  unsigned char image[kFixedOffset + sizeof(VS_FIXEDFILEINFO)] = {};
  std::memcpy(image, kBlockMarker, sizeof kBlockMarker);
  VS_FIXEDFILEINFO info = {};
  info.dwSignature = 0xFEEF04BD;
  info.dwStrucVersion = 0x00010000;
  info.dwFileVersionMS = info.dwProductVersionMS = S().msiMs;
  info.dwFileVersionLS = info.dwProductVersionLS = S().msiLs;
  std::memcpy(image + kFixedOffset, &info, sizeof info);
  // As the platform does, a smaller block receives what fits.
  std::memcpy(block, image, std::min<size_t>(size, sizeof image));
  return TRUE;
}

BOOL WINAPI SimVerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length) {
  auto lock = Enter();
  Log("VerQueryValueA(" + Str(subBlock) + ")");
  if (Fault("VerQueryValueA")) return FALSE;
  if (std::memcmp(block, kBlockMarker, sizeof kBlockMarker) != 0 || std::strcmp(Str(subBlock).c_str(), "\\") != 0)
    return FALSE;
  *value = const_cast<unsigned char*>(static_cast<const unsigned char*>(block) + kFixedOffset);
  *length = sizeof(VS_FIXEDFILEINFO);
  return TRUE;
}

}  // namespace sim::detail

// The shell32 import of SHGetFolderPathA.
HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path) {
  return SimShfolderSHGetFolderPathA(owner, folder, token, flags, path);
}

// ---- test-facing API -------------------------------------------------------------------------------

namespace sim {

void SetSystemDirectory(const std::string& path) {
  auto lock = Lock();
  State& s = S();
  s.systemDirectory = path;
  for (const char* name : kSystemLibraries) {
    std::string file = path + "\\" + name;
    if (file.size() < 1000) WriteFileBytes(file, std::string("MZ simulated ") + name);
  }
}

std::string SystemDirectory() {
  auto lock = Lock();
  return S().systemDirectory;
}

void RemoveLibrary(const std::string& fileName) {
  auto lock = Lock();
  Path p;
  DWORD error;
  ResolvePath(S().systemDirectory + "\\" + fileName, &p, &error, 100000);
  ::unlink(p.hostPath.c_str());
}

void RemoveExport(const std::string& fileName, const std::string& exportName) {
  auto lock = Lock();
  S().libraries[Lower(fileName)].exports.erase(exportName);
}

std::vector<LibraryLoad> LibraryLoads() {
  auto lock = Lock();
  return S().loads;
}

int LoadedLibraryReferences() {
  auto lock = Lock();
  int n = 0;
  for (auto& [h, m] : S().modules) n += m.references;
  return n;
}

std::vector<std::string> DllDirectories() {
  auto lock = Lock();
  return S().dllDirectories;
}

void AddResource(const std::string& type, WORD id, const std::string& bytes, LANGID lang) {
  auto lock = Lock();
  S().resources.push_back(Resource{type, id, lang, bytes});
}

void AddString(UINT id, LANGID lang, const std::string& ansiText) {
  auto lock = Lock();
  S().strings[{id, lang}] = ansiText;
}

void SetKnownFolder(const GUID& id, std::optional<std::u16string> path) {
  auto lock = Lock();
  for (auto& [guid, value] : S().knownFolders) {
    if (SameGuid(guid, id)) {
      value = std::move(path);
      return;
    }
  }
  S().knownFolders.push_back({id, std::move(path)});
}

void SetShellFolder(int csidl, std::optional<std::string> path) {
  auto lock = Lock();
  S().shellFolders[csidl] = std::move(path);
}

const GUID& LocalAppDataLowId() { return kLocalAppDataLow; }
const GUID& LocalAppDataId() { return kLocalAppData; }

}  // namespace sim
