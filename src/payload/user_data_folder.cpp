#include "payload/user_data_folder.h"

#include "diag/system_library.h"
#include "platform/windows_version.h"

namespace {

bool g_versionAnswer = false;
bool g_versionKnown = false;

const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
const GUID kLocalAppData = {0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

const UINT kWideCapacity = 260;

}  // namespace

bool IsWindowsVersion6() {
  if (g_versionKnown) return g_versionAnswer;
  WindowsVersion version = ReadWindowsVersion();
  g_versionAnswer = version.nt && version.major == 6;
  g_versionKnown = true;
  return g_versionAnswer;
}

void ForgetWindowsVersionForTesting() {
  g_versionKnown = false;
  g_versionAnswer = false;
}

int ResolveLocalLowFolder(PathText* folder) {
  HMODULE shell = LoadSystemLibraryQuiet("shell32.dll");
  if (shell == nullptr) return 0;
  SHGetFolderPathEx_fn getPath = reinterpret_cast<SHGetFolderPathEx_fn>(GetProcAddress(shell, "SHGetFolderPathEx"));
  if (getPath == nullptr) {
    FreeLibrary(shell);
    return 0;
  }
  WCHAR wide[kWideCapacity] = {};
  if (getPath(&kLocalAppDataLow, 0, nullptr, wide, kWideCapacity) != 0) {
    if (getPath(&kLocalAppData, 0, nullptr, wide, kWideCapacity) != 0) {
      FreeLibrary(shell);
      return 0;
    }
    // "...\Local" becomes "...\LocalLow", when there is room for it.
    UINT n = static_cast<UINT>(TextLength(wide, kWideCapacity));
    if (n + 3 >= kWideCapacity) {
      FreeLibrary(shell);
      return 0;
    }
    wide[n] = 'L';
    wide[n + 1] = 'o';
    wide[n + 2] = 'w';
    wide[n + 3] = 0;
  }
  // A path that needs more than 260 bytes in the ANSI code page would come
  // out cut and unterminated: it counts as not found. One with a character
  // the code page lacks would come out as another path (best fit: "Michał"
  // as "Michal", which may be another user's folder): it is refused.
  PathText converted;
  BOOL inexact = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, converted.data(),
                              static_cast<int>(PathText::kBytes), nullptr, &inexact);
  if (n == 0 || converted.c_str()[PathText::kCapacity] != '\0') {
    FreeLibrary(shell);
    return 0;
  }
  if (inexact) {
    FreeLibrary(shell);
    return kNotInAnsi;
  }
  *folder = converted;
  FreeLibrary(shell);
  return 1;
}

bool ResolveProfileFallback(PathText* folder) {
  folder->clear();
  DWORD n = GetEnvironmentVariableA("USERPROFILE", folder->data(), static_cast<DWORD>(PathText::kBytes));
  if (n == 0 || n > PathText::kCapacity) {
    // Unset, empty, or longer than the text: the Windows directory instead.
    folder->clear();
    UINT w = GetWindowsDirectoryA(folder->data(), static_cast<UINT>(PathText::kBytes));
    if (w == 0 || w > PathText::kCapacity) folder->clear();
  }
  return true;
}

bool ResolveUserDataFolder(PathText* folder, DWORD* refusal) {
  if (refusal != nullptr) *refusal = 0;
  if (IsWindowsVersion6()) {
    int found = ResolveLocalLowFolder(folder);
    if (found == kNotInAnsi) {
      // No fallback: it would name the same folder the same inexact way.
      folder->clear();
      if (refusal != nullptr) *refusal = ERROR_NO_UNICODE_TRANSLATION;
    } else if (found == 0) {
      ResolveProfileFallback(folder);
    }
    return true;
  }
  bool flag = false;
  HMODULE library = LoadSystemLibraryQuiet("shfolder.dll");
  if (library != nullptr) {
    SHGetFolderPathA_fn getPath = reinterpret_cast<SHGetFolderPathA_fn>(GetProcAddress(library, "SHGetFolderPathA"));
    if (getPath != nullptr) {
      flag = getPath(nullptr, CSIDL_APPDATA, nullptr, 0, folder->data()) >= 0;
      if (!flag) ResolveProfileFallback(folder);
    } else {
      flag = ResolveProfileFallback(folder);
    }
  } else {
    library = LoadSystemLibraryQuiet("shell32.dll");
    SHGetSpecialFolderPathA_fn getPath =
        library == nullptr
            ? nullptr
            : reinterpret_cast<SHGetSpecialFolderPathA_fn>(GetProcAddress(library, "SHGetSpecialFolderPathA"));
    if (getPath != nullptr) {
      flag = getPath(nullptr, folder->data(), CSIDL_APPDATA, TRUE) != FALSE;
      if (!flag) ResolveProfileFallback(folder);
    } else {
      flag = ResolveProfileFallback(folder);
    }
  }
  if (library != nullptr) FreeLibrary(library);
  return flag;
}
