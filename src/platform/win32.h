// The Win32 seam: the only header of the system that reaches the platform.
//
// On Windows it is <windows.h> and the shell folder header. Everywhere else it
// declares the same subset of types, constants and ANSI functions, with the
// same names and argument lists, and the simulated machine under sim/
// implements them. The system's code calls these functions exactly as it
// would on Windows; nothing outside this folder tests for the platform.
//
// Functions that the system looks up at run time with GetProcAddress have
// their pointer types declared here for both platforms (the *_fn typedefs).
#pragma once

#include <cstdint>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#else  // the simulated machine

#include <cstddef>
#include <cstdint>
#include <ctime>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef uint16_t LANGID;
typedef uint8_t BYTE;
typedef char CHAR;
typedef char16_t WCHAR;
typedef int32_t HRESULT;
typedef int32_t LSTATUS;
typedef uint32_t REGSAM;
typedef intptr_t LPARAM;
typedef uintptr_t WPARAM;
typedef intptr_t LRESULT;
typedef uintptr_t SIZE_T;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef UINT* PUINT;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef BOOL* LPBOOL;

typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef struct HRSRC__* HRSRC;
typedef void* HGLOBAL;
typedef void* HLOCAL;
typedef intptr_t (*FARPROC)();

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_HIDDEN 0x2u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define FILE_LIST_DIRECTORY 0x0001u
#define FILE_READ_ATTRIBUTES 0x0080u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define OWNER_SECURITY_INFORMATION 0x1u
#define DACL_SECURITY_INFORMATION 0x4u
#define LABEL_SECURITY_INFORMATION 0x10u
#define SDDL_REVISION_1 1u
#define TOKEN_QUERY 0x0008u
#define SE_GROUP_ENABLED 0x4u
#define SE_GROUP_OWNER 0x8u
#define SE_GROUP_USE_FOR_DENY_ONLY 0x10u
#define FILE_NAME_NORMALIZED 0x0u
#define WC_NO_BEST_FIT_CHARS 0x400u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_DIRECTORY 267L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_KEY_DELETED 1018L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_FUNCTION_FAILED 1627L
#define ERROR_INVALID_COMMAND_LINE 1639L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_OWNER 1307L
#define ERROR_NO_SECURITY_ON_OBJECT 1350L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_INSTALL_ALREADY_RUNNING 1618L
#define ERROR_NOT_SUPPORTED 50L

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define MB_OK 0x0u
#define MB_ICONERROR 0x10u
#define IDOK 1

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u
#define LMEM_FIXED 0x0u
#define LMEM_ZEROINIT 0x40u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

#define VER_PLATFORM_WIN32_WINDOWS 1u
#define VER_PLATFORM_WIN32_NT 2u

#define CSIDL_APPDATA 0x001A
#define CSIDL_PROGRAM_FILES_COMMON 0x002B
#define SHGFP_TYPE_CURRENT 0

#define CP_ACP 0u

#define PM_NOREMOVE 0x0u
#define PM_REMOVE 0x1u
#define QS_ALLINPUT 0x4FFu
#define WM_NULL 0x0000u
#define WM_QUIT 0x0012u
#define WM_USER 0x0400u

#define MAKEINTRESOURCEA(i) ((LPSTR)(uintptr_t)((WORD)(i)))
#define IS_INTRESOURCE(p) ((((uintptr_t)(p)) >> 16) == 0)
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(l) ((WORD)(l) & 0x3ff)
#define LOWORD(l) ((WORD)(((uintptr_t)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((uintptr_t)(l)) >> 16) & 0xffff))
#define RT_STRING MAKEINTRESOURCEA(6)

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
typedef OSVERSIONINFOA* LPOSVERSIONINFOA;

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
typedef STARTUPINFOA* LPSTARTUPINFOA;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
typedef BY_HANDLE_FILE_INFORMATION* LPBY_HANDLE_FILE_INFORMATION;

typedef void* PSID;
typedef void* PSECURITY_DESCRIPTOR;
typedef DWORD SECURITY_INFORMATION;
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
struct TOKEN_GROUPS {
  DWORD GroupCount;
  SID_AND_ATTRIBUTES Groups[1];
};
enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenGroups = 2 };
typedef HANDLE* PHANDLE;

struct POINT {
  LONG x, y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

// kernel32
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD code);
[[noreturn]] void WINAPI ExitProcess(UINT code);
LPSTR WINAPI GetCommandLineA();
LANGID WINAPI GetUserDefaultLangID();
BOOL WINAPI IsDBCSLeadByte(BYTE testChar);
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size);
DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPVOID overlapped);
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES sa);
BOOL WINAPI RemoveDirectoryA(LPCSTR path);
BOOL WINAPI DeleteFileA(LPCSTR path);
BOOL WINAPI MoveFileA(LPCSTR existing, LPCSTR newName);
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL WINAPI FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
BOOL WINAPI FindClose(HANDLE search);
DWORD WINAPI GetFileAttributesA(LPCSTR path);
BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
HANDLE WINAPI GetCurrentProcess();
DWORD WINAPI GetCurrentProcessId();

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
LPVOID WINAPI LockResource(HGLOBAL data);

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, void* arguments);
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL memory);

HMODULE WINAPI LoadLibraryA(LPCSTR path);
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI FreeLibrary(HMODULE module);

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount,
                               LPSTR out, int outBytes, LPCSTR defaultChar, LPBOOL usedDefault);

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID argument, DWORD flags, LPDWORD threadId);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSa,
                           LPSECURITY_ATTRIBUTES threadSa, BOOL inheritHandles, DWORD flags,
                           LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startup,
                           LPPROCESS_INFORMATION info);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code);

int WINAPI lstrlenA(LPCSTR text);
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b);
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b);

// user32
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style);
int WINAPI LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int size);
DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                       DWORD milliseconds, DWORD wakeMask);
BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL WINAPI IsWindowUnicode(HWND window);
BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
BOOL WINAPI GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
BOOL WINAPI TranslateMessage(const MSG* msg);
LRESULT WINAPI DispatchMessageA(const MSG* msg);
LRESULT WINAPI DispatchMessageW(const MSG* msg);

// advapi32
LSTATUS WINAPI RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS WINAPI RegCloseKey(HKEY key);
LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD length);
LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD length);
LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR name);
LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey);
LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                LPDWORD securityDescriptor, FILETIME* lastWriteTime);

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                                LPDWORD returned);
BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text);
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor, PULONG size);
BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                                 SECURITY_INFORMATION info, LPSTR* text,
                                                                 PULONG length);
BOOL WINAPI SetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor);
BOOL WINAPI GetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                                    DWORD length, LPDWORD needed);

// The entry point the runtime's start-up code calls.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

// shell32 (imported directly)
HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);

#endif  // _WIN32

// "The create operation stopped after reaching a symbolic link": a link
// where the run needs a real folder or file. Not every toolchain names it.
#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681L
#endif
// "The requested operation requires elevation."
#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740L
#endif

// The native file calls of ntdll, which every NT system has and every
// process has loaded; the system looks them up at run time. Unlike the ANSI
// calls they make, open, rename and delete a name relative to a folder held
// open, so that nothing is reached through a path that may have come to lead
// elsewhere. The structures are laid out as the native ones are.
typedef LONG NtStatus;
struct NtUnicodeString {
  WORD Length;  // bytes, without a terminator
  WORD MaximumLength;
  WCHAR* Buffer;
};
struct NtObjectAttributes {
  ULONG Length;
  HANDLE RootDirectory;
  NtUnicodeString* ObjectName;
  ULONG Attributes;
  void* SecurityDescriptor;
  void* SecurityQualityOfService;
};
struct NtIoStatus {
  union {
    NtStatus Status;
    void* Pointer;
  };
  uintptr_t Information;
};
struct NtRenameInformation {
  BYTE ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;  // bytes
  WCHAR FileName[MAX_PATH];
};
struct NtDispositionInformation {
  BYTE DeleteFile;
};
struct NtDirectoryInformation {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  int64_t CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;  // bytes
  WCHAR FileName[1];
};
typedef NtStatus(WINAPI* NtCreateFile_fn)(HANDLE* file, DWORD access, NtObjectAttributes* object, NtIoStatus* io,
                                          void* allocationSize, ULONG attributes, ULONG share, ULONG disposition,
                                          ULONG options, void* extended, ULONG extendedLength);
typedef NtStatus(WINAPI* NtSetInformationFile_fn)(HANDLE file, NtIoStatus* io, void* information, ULONG length,
                                                  ULONG informationClass);
typedef NtStatus(WINAPI* NtQueryDirectoryFile_fn)(HANDLE folder, HANDLE event, void* apc, void* apcContext,
                                                  NtIoStatus* io, void* information, ULONG length,
                                                  ULONG informationClass, BYTE single, NtUnicodeString* mask,
                                                  BYTE restart);
typedef ULONG(WINAPI* RtlNtStatusToDosError_fn)(NtStatus status);
// advapi32's random generator (RtlGenRandom), exported as SystemFunction036.
typedef BYTE(WINAPI* RtlGenRandom_fn)(void* buffer, ULONG length);
// kernel32 of Windows 6 and later: a volume's file system by a handle on it.
typedef BOOL(WINAPI* GetVolumeInformationByHandleW_fn)(HANDLE file, WCHAR* volumeName, DWORD volumeNameSize,
                                                       DWORD* serialNumber, DWORD* maximumComponentLength,
                                                       DWORD* fileSystemFlags, WCHAR* fileSystemName,
                                                       DWORD fileSystemNameSize);
// kernel32: a path in long names.
typedef DWORD(WINAPI* GetLongPathNameA_fn)(LPCSTR path, LPSTR longPath, DWORD capacity);
// kernel32: the kind of drive a root path names, and its file system.
typedef UINT(WINAPI* GetDriveTypeA_fn)(LPCSTR root);
typedef BOOL(WINAPI* GetVolumeInformationA_fn)(LPCSTR root, LPSTR volumeName, DWORD volumeNameSize,
                                               DWORD* serialNumber, DWORD* maximumComponentLength,
                                               DWORD* fileSystemFlags, LPSTR fileSystemName,
                                               DWORD fileSystemNameSize);
const DWORD kDriveRemote = 4;              // DRIVE_REMOTE
const DWORD kFilePersistentAcls = 0x8;     // FILE_PERSISTENT_ACLS: the volume keeps security
const DWORD kAccessDelete = 0x00010000;    // DELETE
const DWORD kAccessSynchronize = 0x00100000;  // SYNCHRONIZE
const DWORD kFileReadData = 0x0001;        // FILE_READ_DATA (FILE_LIST_DIRECTORY)
const DWORD kFileWriteAttributes = 0x0100; // FILE_WRITE_ATTRIBUTES
// NtCreateFile's dispositions and options.
const ULONG kNtOpen = 1, kNtCreate = 2, kNtOpenIf = 3;
const ULONG kNtDirectoryFile = 0x1, kNtSynchronousIo = 0x20, kNtNonDirectoryFile = 0x40,
            kNtOpenReparsePoint = 0x00200000;
const ULONG kNtCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE
// The information classes used.
const ULONG kNtDirectoryInformation = 1, kNtRenameInformation = 10, kNtDispositionInformation = 13;
// The statuses the system tells apart.
const NtStatus kNtNoMoreFiles = static_cast<NtStatus>(0x80000006u);
const NtStatus kNtNotADirectory = static_cast<NtStatus>(0xC0000103u);

// Entry points that the system looks up by name at run time.
typedef BOOL(WINAPI* SetDllDirectoryA_fn)(LPCSTR directory);
typedef BOOL(WINAPI* SetDefaultDllDirectories_fn)(DWORD flags);
// kernel32 of Windows 6 and later: the path by which an open file is really
// reached.
typedef DWORD(WINAPI* GetFinalPathNameByHandleA_fn)(HANDLE file, LPSTR path, DWORD capacity, DWORD flags);
// SetDefaultDllDirectories: libraries loaded by name come from the system
// directory alone.
const DWORD kLoadLibrarySearchSystem32 = 0x00000800;
typedef HRESULT(WINAPI* SHGetFolderPathEx_fn)(const GUID* folderId, DWORD flags, HANDLE token,
                                              LPWSTR path, UINT capacity);
typedef HRESULT(WINAPI* SHGetFolderPathA_fn)(HWND owner, int folder, HANDLE token, DWORD flags,
                                             LPSTR path);
typedef BOOL(WINAPI* SHGetSpecialFolderPathA_fn)(HWND owner, LPSTR path, int folder, BOOL create);
typedef BOOL(WINAPI* GetFileVersionInfoA_fn)(LPCSTR path, DWORD handle, DWORD size, LPVOID block);
typedef BOOL(WINAPI* VerQueryValueA_fn)(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length);
