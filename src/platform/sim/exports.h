// The simulated machine's entry points that the system reaches only through
// GetProcAddress (modules.cpp lists them as the libraries' exports), each
// implemented in the file of its concern.
#pragma once

#include "platform/win32.h"

namespace sim::detail {

// Implementations reachable only through GetProcAddress.
BOOL WINAPI SimSetDllDirectoryA(LPCSTR directory);
BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags);
DWORD WINAPI SimGetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD capacity, DWORD flags);
HRESULT WINAPI SimSHGetFolderPathEx(const GUID* id, DWORD flags, HANDLE token, LPWSTR path, UINT capacity);
HRESULT WINAPI SimShfolderSHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);
BOOL WINAPI SimSHGetSpecialFolderPathA(HWND owner, LPSTR path, int folder, BOOL create);
BOOL WINAPI SimGetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID block);
BOOL WINAPI SimVerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length);
NtStatus WINAPI SimNtCreateFile(HANDLE* file, DWORD access, NtObjectAttributes* object, NtIoStatus* io,
                                void* allocationSize, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                                void* extended, ULONG extendedLength);
NtStatus WINAPI SimNtSetInformationFile(HANDLE handle, NtIoStatus* io, void* information, ULONG length,
                                        ULONG informationClass);
NtStatus WINAPI SimNtQueryDirectoryFile(HANDLE handle, HANDLE event, void* apc, void* apcContext, NtIoStatus* io,
                                        void* information, ULONG length, ULONG informationClass, BYTE single,
                                        NtUnicodeString* mask, BYTE restart);
ULONG WINAPI SimRtlNtStatusToDosError(NtStatus status);
BYTE WINAPI SimRtlGenRandom(void* buffer, ULONG length);
UINT WINAPI SimGetDriveTypeA(LPCSTR root);
BOOL WINAPI SimGetVolumeInformationA(LPCSTR root, LPSTR volumeName, DWORD volumeNameSize, DWORD* serialNumber,
                                     DWORD* maximumComponentLength, DWORD* fileSystemFlags, LPSTR fileSystemName,
                                     DWORD fileSystemNameSize);
BOOL WINAPI SimGetVolumeInformationByHandleW(HANDLE file, WCHAR* volumeName, DWORD volumeNameSize,
                                             DWORD* serialNumber, DWORD* maximumComponentLength,
                                             DWORD* fileSystemFlags, WCHAR* fileSystemName, DWORD fileSystemNameSize);
DWORD WINAPI SimGetLongPathNameA(LPCSTR path, LPSTR longPath, DWORD capacity);

}  // namespace sim::detail
