#include "platform/windows_version.h"

WindowsVersion ReadWindowsVersion() {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  WindowsVersion version;
  if (!GetVersionExA(&info)) return version;
  version.nt = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
  version.major = info.dwMajorVersion;
  version.minor = info.dwMinorVersion;
  return version;
}
