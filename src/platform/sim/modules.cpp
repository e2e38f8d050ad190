// The simulated machine's modules: the executable's resources and string
// table, the system libraries and their exports, loading and freeing them,
// and the directories libraries are searched in.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/sim/call.h"
#include "platform/sim/exports.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

static const char* const kSystemLibraries[] = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll",
                                               "shfolder.dll", "version.dll", "msi.dll",   "ntdll.dll"};

void InitLibraries() {
  State& s = Machine();
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
}

static std::string DirectoryOf(const std::string& key) { return key.substr(0, key.find_last_of('\\')); }

Path SystemDirectoryPath() {
  Path p;
  DWORD error;
  ResolvePath(Machine().systemDirectory, &p, &error, 100000);
  return p;
}

// The module a handle names, or nullptr.
static LoadedModule* ModuleOf(HMODULE h) {
  auto it = Machine().modules.find(reinterpret_cast<uintptr_t>(h));
  return it == Machine().modules.end() ? nullptr : &it->second;
}

}  // namespace sim::detail

// ---- resources -----------------------------------------------------------------------------------------------------

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  // Numbers are logged as resource scripts write them: "#101".
  std::string n = IS_INTRESOURCE(name) ? "#" + std::to_string(LOWORD(name)) : Str(name);
  std::string t = IS_INTRESOURCE(type) ? "#" + std::to_string(LOWORD(type)) : Str(type);
  Call c("FindResourceA", module, n, t);
  if (c.faulted(t)) return nullptr;
  if (module != sim::Module() || !IS_INTRESOURCE(name) || IS_INTRESOURCE(type)) {
    SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  Resource* best = nullptr;
  for (Resource& r : Machine().resources) {
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
  for (Resource& x : Machine().resources)
    if (reinterpret_cast<HRSRC>(&x) == r) return &x;
  return nullptr;
}

DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
  Call c("SizeofResource", module);
  if (c.faulted()) return 0;
  Resource* r = ResourceOf(resource);
  if (r == nullptr) {
    SetError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(r->bytes.size());
}

HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
  Call c("LoadResource", module);
  if (c.faulted()) return nullptr;
  Resource* r = ResourceOf(resource);
  if (r == nullptr) {
    SetError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  return r;
}

LPVOID WINAPI LockResource(HGLOBAL data) {
  Call c("LockResource");
  if (data == nullptr) return nullptr;
  if (c.faulted()) return nullptr;
  auto* r = static_cast<Resource*>(data);
  return r->bytes.empty() ? static_cast<LPVOID>(r) : static_cast<LPVOID>(&r->bytes[0]);
}

int WINAPI LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int size) {
  Call c("LoadStringA", module, id, size);
  if (c.faulted()) return 0;
  State& s = Machine();
  if (module != sim::Module() || size <= 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The platform's choice: the user-interface language, then its primary
  // language alone, then US English, then any (as Wine's resource lookup
  // does; no documentation page states the order).
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

// ---- libraries -----------------------------------------------------------------------------------------------------

HMODULE WINAPI LoadLibraryA(LPCSTR path) {
  Call c("LoadLibraryA", path);
  State& s = Machine();
  std::string name = Str(path);
  if (c.faulted(name)) {
    s.loads.push_back({name, false});
    return nullptr;
  }
  std::vector<std::string> candidates;
  if (name.find_first_of("\\/") != std::string::npos) {
    candidates.push_back(name);
  } else {
    // A bare name: the system directory, the Windows directory, then the
    // current directory unless SetDllDirectoryA("") took it out
    // ("Dynamic-Link Library Search Order").
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

// Every process has ntdll and kernel32 loaded from its start; GetModuleHandleA
// finds them without a reference of its own (GetModuleHandleA, Remarks).
HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  Call c("GetModuleHandleA", name);
  if (c.faulted(name)) return nullptr;
  std::string wanted = Lower(Str(name));
  for (auto& [h, m] : Machine().modules)
    if (m.fileName == wanted && m.systemLibrary && m.resident) return reinterpret_cast<HMODULE>(h);
  SetError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  Call c("GetProcAddress", module, name);
  if (c.faulted(name)) return nullptr;
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
    const Library& lib = Machine().libraries[m->fileName];
    auto it = lib.exports.find(Str(name));
    if (it != lib.exports.end()) return it->second;
  }
  SetError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  Call c("FreeLibrary", module);
  LoadedModule* m = ModuleOf(module);
  if (m == nullptr || m->references <= 0) {
    SetError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  --m->references;
  --Machine().libraryReferences[Opener()];
  // As with CloseHandle, a reported failure still releases the reference.
  if (c.faulted()) return FALSE;
  return TRUE;
}

// ---- the directories libraries are searched in ---------------------------------------------------------------------

namespace sim::detail {

BOOL WINAPI SimSetDllDirectoryA(LPCSTR directory) {
  Call c("SetDllDirectoryA", directory);
  if (c.faulted()) return FALSE;
  Machine().dllDirectories.push_back(Str(directory));
  return TRUE;
}

BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags) {
  Call c("SetDefaultDllDirectories", Hex(flags));
  if (c.faulted()) return FALSE;
  Machine().defaultDllDirectories.push_back(flags);
  return TRUE;
}

}  // namespace sim::detail

// ---- test-facing API -----------------------------------------------------------------------------------------------

namespace sim {

void SetSystemDirectory(const std::string& path) {
  auto lock = LockMachine();
  State& s = Machine();
  s.systemDirectory = path;
  for (const char* name : kSystemLibraries) {
    std::string file = path + "\\" + name;
    if (file.size() < 1000) WriteFileBytes(file, std::string("MZ simulated ") + name);
  }
}

std::string SystemDirectory() {
  auto lock = LockMachine();
  return Machine().systemDirectory;
}

void RemoveLibrary(const std::string& fileName) {
  auto lock = LockMachine();
  Path p;
  DWORD error;
  ResolvePath(Machine().systemDirectory + "\\" + fileName, &p, &error, 100000);
  ::unlink(p.hostPath.c_str());
}

void RemoveExport(const std::string& fileName, const std::string& exportName) {
  auto lock = LockMachine();
  Machine().libraries[Lower(fileName)].exports.erase(exportName);
}

std::vector<LibraryLoad> LibraryLoads() {
  auto lock = LockMachine();
  return Machine().loads;
}

int LoadedLibraryReferences() {
  auto lock = LockMachine();
  int n = 0;
  for (auto& [h, m] : Machine().modules) n += m.references;
  return n;
}

std::vector<std::string> DllDirectories() {
  auto lock = LockMachine();
  return Machine().dllDirectories;
}

std::vector<DWORD> DefaultDllDirectories() {
  auto lock = LockMachine();
  return Machine().defaultDllDirectories;
}

void AddResource(const std::string& type, WORD id, const std::string& bytes, LANGID lang) {
  auto lock = LockMachine();
  Machine().resources.push_back(Resource{type, id, lang, bytes});
}

void AddString(UINT id, LANGID lang, const std::string& ansiText) {
  auto lock = LockMachine();
  Machine().strings[{id, lang}] = ansiText;
}

}  // namespace sim
