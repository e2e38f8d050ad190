// The simulated machine refuses what Windows refuses and allows what it
// allows: each row of these tables pins one rule of the rules index at the
// top of platform/sim/machine.h, under the name the index gives it, on a
// fresh machine.
#include "platform/sim/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

namespace {

const std::string kUser = "S-1-5-21-1004336348-1177238915-682003330-1001";

// 0 when the call succeeded, else its last error.
DWORD ErrorOf(bool ok) { return ok ? 0 : GetLastError(); }

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
            DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// Opens and closes again: 0, or the open's error.
DWORD OpenError(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  HANDLE h = Open(path, access, share, disposition, flags);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return 0;
}

// A folder, or a link itself, opened as the system opens its folders.
HANDLE OpenFolder(const std::string& path, DWORD share, DWORD access = FILE_LIST_DIRECTORY) {
  return Open(path, access, share, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

// Security attributes made from SDDL, freed with the object.
struct Descriptor {
  explicit Descriptor(const std::string& sddl) {
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sa.lpSecurityDescriptor,
                                                         nullptr);
  }
  ~Descriptor() { LocalFree(sa.lpSecurityDescriptor); }
  SECURITY_ATTRIBUTES sa = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

HKEY OpenKey(const char* path, REGSAM access) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key), 0) << path;
  return key;
}

DWORD RunAndWait(LPCSTR application, const char* commandLine) {
  std::string line = commandLine;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(application, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return 0xFFFF0000u | GetLastError();
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return code;
}

struct Rule {
  const char* name;  // as the rules index names it
  std::function<void()> check;
};

// The native calls, looked up as the system looks them up.
template <class F>
F Native(const char* library, const char* name) {
  return reinterpret_cast<F>(GetProcAddress(GetModuleHandleA(library), name));
}

// Opens `name` below the folder held by `folder` (NtCreateFile): the status.
NtStatus OpenBelowNative(HANDLE folder, const std::u16string& name, DWORD access, ULONG disposition, ULONG options,
                         HANDLE* out, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
  std::u16string copy = name;
  NtUnicodeString text = {static_cast<WORD>(copy.size() * 2), static_cast<WORD>(copy.size() * 2), copy.data()};
  NtObjectAttributes object = {sizeof object, folder, &text, kNtCaseInsensitive, nullptr, nullptr};
  NtIoStatus io = {};
  return Native<NtCreateFile_fn>("ntdll.dll", "NtCreateFile")(out, access | kAccessSynchronize, &object, &io, nullptr,
                                                             0, share, disposition,
                                                             options | kNtSynchronousIo | kNtOpenReparsePoint,
                                                             nullptr, 0);
}

// The Windows error a status stands for.
DWORD ErrorOfStatus(NtStatus status) {
  return Native<RtlNtStatusToDosError_fn>("ntdll.dll", "RtlNtStatusToDosError")(status);
}

void CheckEach(const std::vector<Rule>& rules) {
  for (const Rule& rule : rules) {
    SCOPED_TRACE(rule.name);
    sim::Reset();
    rule.check();
  }
}

TEST(SimRulesTest, FileSystem) {
  CheckEach({
      {"names without case",
       [] {
         sim::WriteFileBytes("C:\\Work\\A.bin", "a");
         EXPECT_EQ(OpenError("c:\\WORK\\a.BIN", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 0u);
         EXPECT_EQ(ErrorOf(DeleteFileA("c:\\work\\A.BIN")), 0u);
         EXPECT_FALSE(sim::Exists("C:\\Work\\A.bin"));
       }},
      {"path of 260: 206",
       [] {
         std::string dir = "C:\\" + std::string(128, 'a');
         sim::MakeDirectories(dir);
         std::string path = dir + "\\" + std::string(127, 'b');  // 259 characters: accepted
         EXPECT_EQ(OpenError(path, GENERIC_WRITE, 0, CREATE_ALWAYS), 0u);
         EXPECT_EQ(OpenError(path + "b", GENERIC_WRITE, 0, CREATE_ALWAYS), 206u);
       }},
      {"folder path of 249: 206",
       [] {
         std::string base = "C:\\" + std::string(120, 'a');
         sim::MakeDirectories(base);
         std::string fits = base + "\\" + std::string(124, 'b');  // 248 characters
         EXPECT_EQ(ErrorOf(CreateDirectoryA(fits.c_str(), nullptr)), 0u);
         EXPECT_EQ(ErrorOf(CreateDirectoryA((fits + "c").c_str(), nullptr)), 206u);
       }},
      {"invalid name: 123",
       [] {
         sim::MakeDirectories("C:\\w");
         EXPECT_EQ(OpenError("C:\\w\\a<b", GENERIC_WRITE, 0, CREATE_ALWAYS), 123u);
         EXPECT_EQ(OpenError("C:\\w\\a*", GENERIC_WRITE, 0, CREATE_ALWAYS), 123u);
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\w\\a|b", nullptr)), 123u);
       }},
      {"missing folder: 3, missing name: 2",
       [] {
         EXPECT_EQ(OpenError("C:\\nowhere\\a.bin", GENERIC_WRITE, 0, CREATE_ALWAYS), 3u);
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\missing\\sub", nullptr)), 3u);
         EXPECT_EQ(ErrorOf(DeleteFileA("C:\\nowhere\\a.bin")), 3u);
         EXPECT_EQ(ErrorOf(DeleteFileA("C:\\a.bin")), 2u);
         EXPECT_EQ(OpenError("C:\\a.bin", GENERIC_READ, 0, OPEN_EXISTING), 2u);
       }},
      {"redirection by final path only",
       [] {
         sim::MakeDirectories("C:\\Real\\Folder");
         sim::MakeDirectories("C:\\Users\\tester\\AppData\\LocalLow\\Mine");
         sim::RedirectFolder("C:\\Users\\tester\\AppData\\LocalLow", "C:\\Real");
         EXPECT_EQ(GetFileAttributesA("C:\\Users\\tester\\AppData\\LocalLow\\Folder"), FILE_ATTRIBUTE_DIRECTORY);
         HANDLE redirected = OpenFolder("C:\\Users\\tester\\AppData\\LocalLow\\Folder", FILE_SHARE_READ);
         HANDLE real = OpenFolder("C:\\Real\\Folder", FILE_SHARE_READ);
         BY_HANDLE_FILE_INFORMATION a = {}, b = {};
         ASSERT_TRUE(GetFileInformationByHandle(redirected, &a) && GetFileInformationByHandle(real, &b));
         EXPECT_EQ(a.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
         EXPECT_NE(a.nFileIndexLow, 0u);
         EXPECT_EQ(a.nFileIndexLow, b.nFileIndexLow);
         HMODULE kernel = LoadLibraryA("C:\\Windows\\system32\\kernel32.dll");
         auto finalPath =
             reinterpret_cast<GetFinalPathNameByHandleA_fn>(GetProcAddress(kernel, "GetFinalPathNameByHandleA"));
         char found[MAX_PATH + 8] = {};
         ASSERT_NE(finalPath, nullptr);
         EXPECT_EQ(finalPath(redirected, found, sizeof found, 0), 18u);
         EXPECT_STREQ(found, "\\\\?\\C:\\Real\\Folder");
         FreeLibrary(kernel);
         CloseHandle(redirected);
         CloseHandle(real);
       }},
      {"no sharing: 32",
       [] {
         sim::MakeDirectories("C:\\work");
         HANDLE a = Open("C:\\work\\a.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
         ASSERT_NE(a, INVALID_HANDLE_VALUE);
         EXPECT_EQ(OpenError("C:\\WORK\\A.BIN", GENERIC_WRITE, 0, CREATE_ALWAYS), 32u);
         EXPECT_EQ(OpenError("C:\\work\\a.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), 32u);
         EXPECT_TRUE(CloseHandle(a));
       }},
      {"no delete sharing: 32",
       [] {
         sim::MakeDirectories("C:\\work");
         HANDLE a = Open("C:\\work\\a.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
         EXPECT_EQ(ErrorOf(DeleteFileA("C:\\work\\a.bin")), 32u);
         EXPECT_EQ(ErrorOf(MoveFileA("C:\\work\\a.bin", "C:\\work\\b.bin")), 32u);
         EXPECT_TRUE(CloseHandle(a));
         EXPECT_EQ(ErrorOf(DeleteFileA("c:\\work\\A.bin")), 0u);
         sim::MakeDirectories("C:\\p\\c");
         HANDLE held = OpenFolder("C:\\p\\c", FILE_SHARE_READ | FILE_SHARE_WRITE);
         EXPECT_EQ(ErrorOf(RemoveDirectoryA("C:\\p\\c")), 32u);
         EXPECT_EQ(sim::UserRename("C:\\p\\c", "C:\\p\\d"), 32u);
         CloseHandle(held);
         EXPECT_EQ(ErrorOf(RemoveDirectoryA("C:\\p\\c")), 0u);
       }},
      {"no data access, no sharing",
       [] {
         sim::WriteFileBytes("C:\\w\\f.txt", "f");
         sim::HoldFileOpen("C:\\w\\f.txt", WRITE_DAC, 0);
         EXPECT_EQ(OpenError("C:\\w\\f.txt", GENERIC_READ, 0, OPEN_EXISTING), 0u);
         EXPECT_EQ(ErrorOf(DeleteFileA("C:\\w\\f.txt")), 0u);
         EXPECT_TRUE(sim::Exists("C:\\w\\f.txt")) << "until the handle is closed";
         sim::ReleaseHeldFiles();
         EXPECT_FALSE(sim::Exists("C:\\w\\f.txt"));
         sim::MakeDirectories("C:\\e");
         ASSERT_EQ(sim::HoldFolderOpen("C:\\e", WRITE_DAC, 0), 0u);
         EXPECT_TRUE(RemoveDirectoryA("C:\\e"));
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\e", nullptr)), 5u);
         sim::ReleaseHeldFiles();
         EXPECT_TRUE(CreateDirectoryA("C:\\e", nullptr));
       }},
      {"pending deletion: 5",
       [] {
         sim::WriteFileBytes("C:\\w\\a.msi", "a");
         sim::HoldFileOpen("C:\\w\\a.msi", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
         EXPECT_TRUE(DeleteFileA("C:\\w\\a.msi"));
         EXPECT_EQ(OpenError("C:\\w\\a.msi", GENERIC_WRITE, 0, CREATE_NEW, 0), 5u);
         EXPECT_EQ(GetFileAttributesA("C:\\w\\a.msi"), INVALID_FILE_ATTRIBUTES);
         EXPECT_EQ(GetLastError(), 5u);
         EXPECT_FALSE(RemoveDirectoryA("C:\\w"));
         EXPECT_EQ(GetLastError(), 145u);
         sim::ReleaseHeldFiles();
         EXPECT_FALSE(sim::Exists("C:\\w\\a.msi"));
         // Moved first, it leaves its name free; the open handle goes with it.
         sim::WriteFileBytes("C:\\w\\b.msi", "b");
         sim::HoldFileOpen("C:\\w\\b.msi", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
         EXPECT_TRUE(MoveFileA("C:\\w\\b.msi", "C:\\b.old"));
         EXPECT_TRUE(DeleteFileA("C:\\b.old"));
         EXPECT_TRUE(RemoveDirectoryA("C:\\w"));
         EXPECT_TRUE(sim::Exists("C:\\b.old"));
         sim::ReleaseHeldFiles();
         EXPECT_FALSE(sim::Exists("C:\\b.old"));
       }},
      {"open below: no rename, 5",
       [] {
         sim::WriteFileBytes("C:\\p\\c\\f.txt", "f");
         HANDLE below = OpenFolder("C:\\p\\c", FILE_SHARE_READ | FILE_SHARE_WRITE);
         EXPECT_EQ(sim::UserRename("C:\\p", "C:\\q"), 5u);
         EXPECT_EQ(ErrorOf(MoveFileA("C:\\p", "C:\\q")), 5u);
         CloseHandle(below);
         EXPECT_EQ(sim::UserRename("C:\\p", "C:\\q"), 0u);
       }},
      {"read-only: 5",
       [] {
         sim::WriteFileBytes("C:\\work\\ro.txt", "x");
         sim::SetReadOnly("C:\\work\\ro.txt", true);
         EXPECT_EQ(ErrorOf(DeleteFileA("C:\\work\\ro.txt")), 5u);
         EXPECT_EQ(OpenError("C:\\work\\ro.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), 5u);
         EXPECT_EQ(OpenError("C:\\work\\ro.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 0u);
         sim::MakeDirectories("C:\\ro");
         sim::SetReadOnly("C:\\ro", true);
         EXPECT_EQ(ErrorOf(RemoveDirectoryA("C:\\ro")), 5u);
       }},
      {"link itself or through",
       [] {
         sim::MakeDirectories("C:\\t");
         sim::MakeLink("C:\\t\\l.cab", "C:\\t\\target.cab");
         EXPECT_EQ(OpenError("C:\\t\\l.cab", GENERIC_WRITE, 0, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT), 80u);
         EXPECT_EQ(OpenError("C:\\t\\l.cab", GENERIC_WRITE, 0, CREATE_NEW, 0), 0u);
         EXPECT_TRUE(sim::Exists("C:\\t\\target.cab"));
         sim::MakeLink("C:\\j", "C:\\t");
         HANDLE itself = OpenFolder("C:\\j", FILE_SHARE_READ);
         HANDLE through = Open("C:\\j", FILE_LIST_DIRECTORY, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
         BY_HANDLE_FILE_INFORMATION a = {}, b = {};
         ASSERT_TRUE(GetFileInformationByHandle(itself, &a) && GetFileInformationByHandle(through, &b));
         EXPECT_EQ(a.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
         EXPECT_EQ(b.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
         CloseHandle(itself);
         CloseHandle(through);
       }},
      {"folder needs backup semantics: 5",
       [] {
         sim::MakeDirectories("C:\\d");
         EXPECT_EQ(OpenError("C:\\d", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 5u);
         EXPECT_EQ(OpenError("C:\\d", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS), 0u);
       }},
      {"CREATE_NEW: 80, CREATE_ALWAYS: 183",
       [] {
         sim::WriteFileBytes("C:\\w\\f", "old");
         EXPECT_EQ(OpenError("C:\\w\\f", GENERIC_WRITE, 0, CREATE_NEW), 80u);
         HANDLE h = Open("C:\\w\\f", GENERIC_WRITE, 0, CREATE_ALWAYS);
         ASSERT_NE(h, INVALID_HANDLE_VALUE);
         EXPECT_EQ(GetLastError(), 183u);
         CloseHandle(h);
         EXPECT_EQ(sim::ReadFileBytes("C:\\w\\f"), "");
       }},
      {"reparse attribute by name",
       [] {
         sim::MakeDirectories("C:\\t");
         sim::MakeLink("C:\\w\\j", "C:\\t");
         EXPECT_EQ(GetFileAttributesA("C:\\w\\j"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
         WIN32_FIND_DATAA d;
         HANDLE s = FindFirstFileA("C:\\w\\j", &d);
         ASSERT_NE(s, INVALID_HANDLE_VALUE);
         EXPECT_EQ(d.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
         FindClose(s);
       }},
      {"file index and names by handle",
       [] {
         sim::WriteFileBytes("C:\\w\\a", "x");
         sim::MakeHardLink("C:\\w\\b", "C:\\w\\a");
         HANDLE a = Open("C:\\w\\a", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
         HANDLE b = Open("C:\\w\\b", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
         BY_HANDLE_FILE_INFORMATION ia = {}, ib = {};
         ASSERT_TRUE(GetFileInformationByHandle(a, &ia) && GetFileInformationByHandle(b, &ib));
         EXPECT_EQ(ia.nNumberOfLinks, 2u);
         EXPECT_EQ(ia.nFileIndexLow, ib.nFileIndexLow);
         EXPECT_EQ(ia.nFileIndexHigh, ib.nFileIndexHigh);
         EXPECT_EQ(ia.dwVolumeSerialNumber, ib.dwVolumeSerialNumber);
         CloseHandle(a);
         CloseHandle(b);
       }},
      {"rename onto a name: 183",
       [] {
         sim::WriteFileBytes("C:\\w\\a", "a");
         sim::WriteFileBytes("C:\\w\\b", "b");
         EXPECT_EQ(ErrorOf(MoveFileA("C:\\w\\a", "C:\\w\\b")), 183u);
         EXPECT_EQ(sim::ReadFileBytes("C:\\w\\b"), "b");
       }},
      {"folder with entries: 145, existing folder: 183",
       [] {
         sim::WriteFileBytes("C:\\work\\sub\\f.txt", "x");
         EXPECT_EQ(ErrorOf(RemoveDirectoryA("C:\\work\\sub")), 145u);
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\work\\sub\\", nullptr)), 183u);
       }},
      {"junction removed as itself",
       [] {
         sim::WriteFileBytes("C:\\t\\in.txt", "kept");
         sim::MakeLink("C:\\j", "C:\\t");
         EXPECT_EQ(ErrorOf(RemoveDirectoryA("C:\\j")), 0u);
         EXPECT_FALSE(sim::Exists("C:\\j"));
         EXPECT_EQ(sim::ReadFileBytes("C:\\t\\in.txt"), "kept");
       }},
      {"search: dots, case, *.*",
       [] {
         sim::WriteFileBytes("C:\\work\\One.cab", "1");
         sim::MakeDirectories("C:\\work\\inner");
         WIN32_FIND_DATAA d;
         HANDLE s = FindFirstFileA("C:\\work\\*.*", &d);
         ASSERT_NE(s, INVALID_HANDLE_VALUE);
         std::vector<std::string> names{d.cFileName};
         while (FindNextFileA(s, &d)) names.push_back(d.cFileName);
         EXPECT_EQ(GetLastError(), 18u);
         FindClose(s);
         EXPECT_EQ(names, (std::vector<std::string>{".", "..", "One.cab", "inner"}));
         HANDLE one = FindFirstFileA("C:\\WORK\\one.CAB", &d);
         ASSERT_NE(one, INVALID_HANDLE_VALUE);
         FindClose(one);
         EXPECT_EQ(FindFirstFileA("C:\\work\\none", &d), INVALID_HANDLE_VALUE);
       }},
      {"WOW64: system32 is SysWOW64",
       [] {
         sim::SetWow64(true);
         sim::WriteFileBytes("C:\\Windows\\SysWOW64\\config\\x.txt", "32");
         sim::WriteFileBytes("C:\\Windows\\SysWOW64\\drivers\\etc\\hosts", "not this one");
         EXPECT_EQ(sim::ReadFileBytes("C:\\Windows\\system32\\config\\x.txt"), "32");
         sim::SetWow64(false);
         sim::WriteFileBytes("C:\\Windows\\system32\\drivers\\etc\\hosts", "exempt");
         sim::SetWow64(true);
         EXPECT_EQ(sim::ReadFileBytes("C:\\Windows\\system32\\drivers\\etc\\hosts"), "exempt");
         HANDLE h = OpenFolder("C:\\Windows\\system32\\config", FILE_SHARE_READ);
         char final[300] = {};
         auto finalPath = Native<GetFinalPathNameByHandleA_fn>("kernel32.dll", "GetFinalPathNameByHandleA");
         EXPECT_GT(finalPath(h, final, sizeof final, FILE_NAME_NORMALIZED), 0u);
         EXPECT_STREQ(final, "\\\\?\\C:\\Windows\\SysWOW64\\config");
         CloseHandle(h);
       }},
      {"folder through a link is its target",
       [] {
         sim::MakeDirectories("C:\\Target\\sub");
         sim::MakeLink("C:\\Via", "C:\\Target");
         HANDLE h = OpenFolder("C:\\Via\\sub", FILE_SHARE_READ, FILE_LIST_DIRECTORY | READ_CONTROL);
         HANDLE made = INVALID_HANDLE_VALUE;
         EXPECT_EQ(OpenBelowNative(h, u"new", kFileReadData, kNtCreate, kNtDirectoryFile, &made), 0);
         CloseHandle(made);
         CloseHandle(h);
         EXPECT_TRUE(sim::IsDirectory("C:\\Target\\sub\\new"));
       }},
      {"writing meets the share modes",
       [] {
         sim::WriteFileBytes("C:\\w\\f.txt", "x");
         HANDLE h = Open("C:\\w\\f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
         EXPECT_EQ(sim::UserWriteFile("C:\\w\\f.txt", "y"), 32u);
         CloseHandle(h);
         EXPECT_EQ(sim::UserWriteFile("C:\\w\\f.txt", "y"), 0u);
       }},
  });
}

TEST(SimRulesTest, Security) {
  CheckEach({
      {"owner: the user or an owner group, else 1307",
       [] {
         Descriptor byAdministrators("O:BAD:P(A;;FA;;;SY)");
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\o1", &byAdministrators.sa)), 0u);
         sim::SetAdministrator(false);
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\o2", &byAdministrators.sa)), 1307u);
         Descriptor byUser("O:" + kUser + "D:P(A;;FA;;;SY)");
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\o3", &byUser.sa)), 0u);
       }},
      {"server: the user alone, else 1307",
       [] {
         sim::MakeDirectories("C:\\srv");
         sim::PutOnServer("C:\\srv");
         Descriptor byAdministrators("O:BAD:P(A;;FA;;;SY)");
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\srv\\a", &byAdministrators.sa)), 1307u);
         Descriptor byUser("O:" + kUser + "D:P(A;;FA;;;SY)");
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\srv\\b", &byUser.sa)), 0u);
       }},
      {"labels refused: 5",
       [] {
         Descriptor labelled("D:P(A;;FA;;;SY)S:(ML;OICI;NW;;;ME)");
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\a", &labelled.sa)), 0u);
         EXPECT_EQ(sim::FolderSecurity("C:\\a"), "D:P(A;;FA;;;SY)S:(ML;OICI;NW;;;ME)");
         sim::RefuseLabels(true);
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\b", &labelled.sa)), 5u);
         HANDLE a = Open("C:\\a", WRITE_OWNER, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
         Descriptor label("S:(ML;OICI;NW;;;ME)");
         EXPECT_EQ(ErrorOf(SetKernelObjectSecurity(a, LABEL_SECURITY_INFORMATION, label.sa.lpSecurityDescriptor)), 5u);
         CloseHandle(a);
       }},
      {"rights to security: 5",
       [] {
         sim::MakeDirectories("C:\\f");
         HANDLE reader = Open("C:\\f", READ_CONTROL, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
         HANDLE dac = Open("C:\\f", WRITE_DAC, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
         Descriptor list("D:P(A;;FA;;;SY)"), owner("O:" + kUser);
         void* listSd = list.sa.lpSecurityDescriptor;
         EXPECT_EQ(ErrorOf(SetKernelObjectSecurity(reader, DACL_SECURITY_INFORMATION, listSd)), 5u);
         EXPECT_EQ(ErrorOf(SetKernelObjectSecurity(dac, OWNER_SECURITY_INFORMATION, owner.sa.lpSecurityDescriptor)), 5u);
         EXPECT_EQ(ErrorOf(SetKernelObjectSecurity(dac, DACL_SECURITY_INFORMATION, listSd)), 0u);
         char buffer[256] = {};
         DWORD needed = 0;
         EXPECT_EQ(ErrorOf(GetKernelObjectSecurity(dac, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed)), 5u);
         EXPECT_EQ(ErrorOf(GetKernelObjectSecurity(reader, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed)),
                   0u);
         EXPECT_STREQ(buffer, "D:P(A;;FA;;;SY)");
         CloseHandle(reader);
         CloseHandle(dac);
       }},
      {"handle keeps its access",
       [] {
         // A user's handle opened with WRITE_DAC before the folder was
         // secured still rewrites its access list.
         sim::MakeDirectories("C:\\held");
         ASSERT_EQ(sim::HoldFolderOpen("C:\\held", WRITE_DAC, 0), 0u);
         HANDLE admin = Open("C:\\held", WRITE_DAC, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
         Descriptor secured("D:P(A;;FA;;;SY)");
         ASSERT_TRUE(SetKernelObjectSecurity(admin, DACL_SECURITY_INFORMATION, secured.sa.lpSecurityDescriptor));
         EXPECT_EQ(sim::UserWriteFile("C:\\held\\x", "x"), 5u);
         EXPECT_EQ(sim::UserSetDacl("C:\\held", "D:(A;;FA;;;WD)"), 0u);
         EXPECT_EQ(sim::UserWriteFile("C:\\held\\x", "x"), 0u);
         CloseHandle(admin);
         sim::ReleaseHeldFiles();
       }},
      {"limited user: where the list lets, else 5",
       [] {
         Descriptor secured("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
         ASSERT_TRUE(CreateDirectoryA("C:\\s", &secured.sa));
         sim::SetAdministrator(false);
         EXPECT_EQ(OpenError("C:\\s\\f", GENERIC_WRITE, 0, CREATE_NEW), 5u);
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\s\\d", nullptr)), 5u);
         EXPECT_EQ(OpenError("C:\\f", GENERIC_WRITE, 0, CREATE_NEW), 0u);
         sim::SetAdministrator(true);
         EXPECT_EQ(OpenError("C:\\s\\f", GENERIC_WRITE, 0, CREATE_NEW), 0u);
       }},
      {"owner may change the list",
       [] {
         Descriptor listOnly("D:P(A;;FA;;;SY)"), byAdministrators("O:BAD:P(A;;FA;;;SY)");
         ASSERT_TRUE(CreateDirectoryA("C:\\mine", &listOnly.sa));
         ASSERT_TRUE(CreateDirectoryA("C:\\theirs", &byAdministrators.sa));
         EXPECT_EQ(sim::HoldFolderOpen("C:\\mine", WRITE_DAC, 0), 0u);
         EXPECT_EQ(sim::HoldFolderOpen("C:\\theirs", WRITE_DAC, 0), 5u);
         sim::ReleaseHeldFiles();
       }},
      {"low label below LocalLow",
       [] {
         auto label = [](const char* path) {
           sim::MakeDirectories(path);
           HANDLE h = Open(path, READ_CONTROL, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
           char text[128] = {};
           DWORD needed = 0;
           EXPECT_TRUE(GetKernelObjectSecurity(h, LABEL_SECURITY_INFORMATION, text, sizeof text, &needed));
           CloseHandle(h);
           return std::string(text);
         };
         EXPECT_EQ(label("C:\\Users\\tester\\AppData\\LocalLow\\Qor"), "S:(ML;OICIID;NW;;;LW)");
         EXPECT_EQ(label("C:\\Elsewhere"), "");
       }},
      {"elevated default owner: Administrators",
       [] {
         auto owner = [](const std::string& path) {
           HANDLE h = OpenFolder(path, FILE_SHARE_READ, READ_CONTROL | FILE_LIST_DIRECTORY);
           char text[128] = {};
           DWORD needed = 0;
           EXPECT_TRUE(GetKernelObjectSecurity(h, OWNER_SECURITY_INFORMATION, text, sizeof text, &needed));
           CloseHandle(h);
           return std::string(text);
         };
         EXPECT_TRUE(CreateDirectoryA("C:\\ByAdmin", nullptr));
         EXPECT_EQ(owner("C:\\ByAdmin"), "O:BA");
         EXPECT_EQ(sim::FolderSecurity("C:\\ByAdmin"), "") << "no security given";
         sim::SetAdministrator(false);
         EXPECT_TRUE(CreateDirectoryA("C:\\ByUser", nullptr));
         EXPECT_EQ(owner("C:\\ByUser"), "O:" + kUser);
       }},
      {"filtered token: Administrators deny-only",
       [] {
         sim::SetFilteredAdministrator();
         HANDLE token = nullptr;
         ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
         union {
           TOKEN_GROUPS groups;
           BYTE bytes[512];
         } groups;
         DWORD length = 0;
         ASSERT_TRUE(GetTokenInformation(token, TokenGroups, &groups, sizeof groups, &length));
         bool denyOnly = false;
         const TOKEN_GROUPS* list = &groups.groups;  // a list of GroupCount entries
         for (DWORD i = 0; i < list->GroupCount; ++i)
           if (std::strcmp(static_cast<const char*>(list->Groups[i].Sid), "S-1-5-32-544") == 0)
             denyOnly = list->Groups[i].Attributes == SE_GROUP_USE_FOR_DENY_ONLY;
         EXPECT_TRUE(denyOnly);
         CloseHandle(token);
         Descriptor byAdministrators("O:BAD:P(A;;FA;;;SY)");
         EXPECT_EQ(ErrorOf(CreateDirectoryA("C:\\Windows\\x", &byAdministrators.sa)), 1307u)
             << "a deny-only group is no owner";
       }},
      {"mount point made of a held folder",
       [] {
         sim::MakeDirectories("C:\\Users\\tester\\Mine");
         sim::MakeDirectories("C:\\Victim");
         HANDLE held = OpenFolder("C:\\Users\\tester\\Mine", FILE_SHARE_READ | FILE_SHARE_WRITE);
         EXPECT_EQ(sim::UserMakeMountPoint("C:\\Users\\tester\\Mine", "C:\\Victim"), 0u);
         EXPECT_NE(GetFileAttributesA("C:\\Users\\tester\\Mine") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
         HANDLE made = INVALID_HANDLE_VALUE;
         EXPECT_NE(OpenBelowNative(held, u"x", kFileReadData, kNtCreate, kNtDirectoryFile, &made), 0)
             << "the held folder has no entries and takes none";
         EXPECT_EQ(sim::ListDirectory("C:\\Victim"), std::vector<std::string>{});
         CloseHandle(held);
         sim::WriteFileBytes("C:\\Users\\tester\\Full\\f", "f");
         EXPECT_EQ(sim::UserMakeMountPoint("C:\\Users\\tester\\Full", "C:\\Victim"), 145u);
       }},
      {"network drive: remote, UNC, judged as the user",
       [] {
         sim::MapNetworkDrive('S', "\\\\server\\share");
         sim::MakeDirectories("S:\\d");
         auto driveType = Native<GetDriveTypeA_fn>("kernel32.dll", "GetDriveTypeA");
         EXPECT_EQ(driveType("S:\\"), kDriveRemote);
         EXPECT_EQ(driveType("C:\\"), 3u);
         HANDLE h = OpenFolder("S:\\d", FILE_SHARE_READ);
         char final[300] = {};
         Native<GetFinalPathNameByHandleA_fn>("kernel32.dll", "GetFinalPathNameByHandleA")(h, final, sizeof final, 0);
         EXPECT_STREQ(final, "\\\\?\\UNC\\server\\share\\d");
         CloseHandle(h);
         Descriptor byAdministrators("O:BAD:(A;;FA;;;SY)"), systemOnly("D:P(A;;FA;;;SY)");
         EXPECT_EQ(ErrorOf(CreateDirectoryA("S:\\d\\o", &byAdministrators.sa)), 1307u);
         EXPECT_EQ(ErrorOf(CreateDirectoryA("S:\\d\\p", &systemOnly.sa)), 0u);
         EXPECT_EQ(ErrorOf(CreateDirectoryA("S:\\d\\p\\q", nullptr)), 5u) << "the run writes as the user there";
       }},
      {"FAT: no security",
       [] {
         sim::PutOnUnsecuredVolume("C:\\Fat");
         sim::MakeDirectories("C:\\Fat");
         Descriptor own("O:BAD:P(A;;FA;;;SY)");
         EXPECT_TRUE(CreateDirectoryA("C:\\Fat\\o", &own.sa));
         EXPECT_EQ(sim::FolderSecurity("C:\\Fat\\o"), "") << "nothing kept";
         HANDLE h = OpenFolder("C:\\Fat\\o", FILE_SHARE_READ, READ_CONTROL);
         char text[128] = {};
         DWORD needed = 0;
         EXPECT_TRUE(GetKernelObjectSecurity(h, OWNER_SECURITY_INFORMATION, text, sizeof text, &needed));
         EXPECT_STREQ(text, "O:WD");
         DWORD flags = 0;
         auto byHandle = Native<GetVolumeInformationByHandleW_fn>("kernel32.dll", "GetVolumeInformationByHandleW");
         EXPECT_TRUE(byHandle(h, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
         EXPECT_EQ(flags & kFilePersistentAcls, 0u);
         CloseHandle(h);
         h = OpenFolder("C:\\Users", FILE_SHARE_READ);
         EXPECT_TRUE(byHandle(h, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
         EXPECT_NE(flags & kFilePersistentAcls, 0u);
         CloseHandle(h);
       }},
  });
}

TEST(SimRulesTest, Registry) {
  CheckEach({
      {"small buffer: 234",
       [] {
         sim::RegSetString("SOFTWARE\\T", "v", "abcdef");
         HKEY k = OpenKey("software\\t", KEY_READ);
         char buf[4] = {'x', 'x', 'x', 'x'};
         DWORD len = sizeof buf, type = 0;
         EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, &type, reinterpret_cast<BYTE*>(buf), &len), ERROR_MORE_DATA);
         EXPECT_EQ(len, 7u);
         EXPECT_EQ(std::string(buf, 4), "xxxx");
         RegCloseKey(k);
       }},
      {"access of the handle: 5",
       [] {
         sim::RegSetString("SOFTWARE\\T", "v", "abc");
         HKEY k = OpenKey("SOFTWARE\\T", KEY_READ);
         EXPECT_EQ(RegSetValueExA(k, "w", 0, REG_SZ, reinterpret_cast<const BYTE*>("a"), 2), ERROR_ACCESS_DENIED);
         EXPECT_EQ(RegDeleteValueA(k, "v"), ERROR_ACCESS_DENIED);
         EXPECT_EQ(RegCloseKey(k), 0);
         EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
         k = OpenKey("SOFTWARE\\T", KEY_SET_VALUE);
         DWORD values = 0, length = 0;
         EXPECT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                                    nullptr, nullptr),
                   ERROR_ACCESS_DENIED);
         EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, nullptr, nullptr, &length), ERROR_ACCESS_DENIED);
         RegCloseKey(k);
       }},
      {"key with subkeys: 5, deleted key: 1018",
       [] {
         sim::MakeRegistryKey("SOFTWARE\\A\\B");
         HKEY sw = OpenKey("SOFTWARE", KEY_READ), b = OpenKey("SOFTWARE\\A\\B", KEY_READ);
         EXPECT_EQ(RegDeleteKeyA(sw, "A"), ERROR_ACCESS_DENIED);
         EXPECT_TRUE(sim::RegKeyExists("SOFTWARE\\A"));
         EXPECT_EQ(RegDeleteKeyA(sw, "A\\B"), 0);
         DWORD length = 0;
         EXPECT_EQ(RegQueryValueExA(b, "v", nullptr, nullptr, nullptr, &length), ERROR_KEY_DELETED);
         RegCloseKey(b);
         RegCloseKey(sw);
       }},
      {"registry names without case",
       [] {
         sim::RegSetString("SOFTWARE\\Test", "Name", "x");
         HKEY k = OpenKey("software\\TEST", KEY_READ);
         DWORD length = 0;
         EXPECT_EQ(RegQueryValueExA(k, "NAME", nullptr, nullptr, nullptr, &length), 0);
         EXPECT_EQ(length, 2u);
         RegCloseKey(k);
       }},
      {"terminator added on reading",
       [] {
         sim::RegSet("SOFTWARE\\T", "v", REG_SZ, "abc");
         HKEY k = OpenKey("SOFTWARE\\T", KEY_READ);
         char buf[8];
         std::memset(buf, 'x', sizeof buf);
         DWORD len = sizeof buf;
         EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &len), 0);
         EXPECT_EQ(len, 3u);
         EXPECT_EQ(std::string(buf, 5), std::string("abc\0x", 5));
         std::memset(buf, 'x', sizeof buf);
         len = 3;
         EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &len), 0);
         EXPECT_EQ(std::string(buf, 4), "abcx") << "no room: no terminator";
         RegCloseKey(k);
       }},
      {"terminator taken on writing",
       [] {
         sim::MakeRegistryKey("SOFTWARE\\T");
         HKEY k = OpenKey("SOFTWARE\\T", KEY_READ | KEY_WRITE);
         EXPECT_EQ(RegSetValueExA(k, "s", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), 0);
         EXPECT_EQ(sim::RegGet("SOFTWARE\\T", "s")->bytes, std::string("abc\0", 4));
         EXPECT_EQ(RegSetValueExA(k, "b", 0, REG_BINARY, reinterpret_cast<const BYTE*>("abc"), 3), 0);
         EXPECT_EQ(sim::RegGet("SOFTWARE\\T", "b")->bytes, "abc");
         RegCloseKey(k);
       }},
  });
}

TEST(SimRulesTest, ProcessesAndModules) {
  CheckEach({
      {"event lives while a handle is open",
       [] {
         HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "E");
         EXPECT_EQ(GetLastError(), 0u);
         HANDLE b = CreateEventA(nullptr, TRUE, FALSE, "E");
         EXPECT_EQ(GetLastError(), 183u);
         SetEvent(b);
         CloseHandle(b);
         EXPECT_TRUE(sim::EventSignalled("E"));
         EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
         CloseHandle(a);
         EXPECT_FALSE(sim::EventExists("E"));
       }},
      {"auto-reset event",
       [] {
         HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
         EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
         EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
         SetEvent(e);
         EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
         CloseHandle(e);
       }},
      {"unquoted program path",
       [] {
         sim::RegisterProgram("C:\\Program.exe", [](const std::string&) { return 66u; });
         sim::RegisterProgram("C:\\Program Files\\Tool\\t.exe", [](const std::string&) { return 7u; });
         EXPECT_EQ(RunAndWait(nullptr, "C:\\Program Files\\Tool\\t.exe -x"), 66u) << "the planted C:\\Program.exe";
         EXPECT_EQ(RunAndWait(nullptr, "\"C:\\Program Files\\Tool\\t.exe\" -x"), 7u);
       }},
      {"program name searched, application name not",
       [] {
         sim::RegisterProgram("C:\\Windows\\system32\\tool.exe", [](const std::string&) { return 9u; });
         EXPECT_EQ(RunAndWait(nullptr, "tool -x"), 9u);
         EXPECT_EQ(RunAndWait("tool.exe", "tool -x"), 0xFFFF0000u | ERROR_FILE_NOT_FOUND);
         EXPECT_EQ(RunAndWait("C:\\Windows\\system32\\tool", "tool -x"), 0xFFFF0000u | ERROR_FILE_NOT_FOUND);
       }},
      {"library search order",
       [] {
         sim::WriteFileBytes("C:\\Users\\tester\\Downloads\\version.dll", "MZ planted");
         sim::WriteFileBytes("C:\\Users\\tester\\Downloads\\planted.dll", "MZ planted");
         sim::WriteFileBytes("C:\\Users\\tester\\Downloads\\later.dll", "MZ planted");
         HMODULE version = LoadLibraryA("version.dll");
         EXPECT_NE(GetProcAddress(version, "GetFileVersionInfoA"), nullptr) << "the system's, found first";
         HMODULE planted = LoadLibraryA("planted.dll");
         EXPECT_NE(planted, nullptr) << "the current folder, last";
         HMODULE kernel = LoadLibraryA("C:\\Windows\\system32\\kernel32.dll");
         auto setDllDirectory = reinterpret_cast<SetDllDirectoryA_fn>(GetProcAddress(kernel, "SetDllDirectoryA"));
         ASSERT_NE(setDllDirectory, nullptr);
         ASSERT_TRUE(setDllDirectory(""));
         EXPECT_EQ(LoadLibraryA("later.dll"), nullptr) << "the current folder taken out";
         EXPECT_EQ(GetLastError(), 126u);
         FreeLibrary(kernel);
         FreeLibrary(planted);
         FreeLibrary(version);
       }},
      {"missing library: 126, export: 127",
       [] {
         sim::RemoveLibrary("shfolder.dll");
         EXPECT_EQ(LoadLibraryA("C:\\Windows\\system32\\shfolder.dll"), nullptr);
         EXPECT_EQ(GetLastError(), 126u);
         HMODULE kernel = LoadLibraryA("C:\\Windows\\system32\\kernel32.dll");
         EXPECT_EQ(GetProcAddress(kernel, "NoSuchExport"), nullptr);
         EXPECT_EQ(GetLastError(), 127u);
         FreeLibrary(kernel);
       }},
      {"string language fallback",
       [] {
         sim::AddString(1, 1041, "ja");
         sim::AddString(1, 1033, "en");
         sim::AddString(2, 9, "neutral");
         sim::AddString(3, 2052, "zh");
         auto load = [](UINT id) {
           char text[16] = {};
           LoadStringA(sim::Module(), id, text, sizeof text);
           return std::string(text);
         };
         sim::SetUiLanguage(1041);
         EXPECT_EQ(load(1), "ja");
         sim::SetUiLanguage(2052);
         EXPECT_EQ(load(1), "en");
         sim::SetUiLanguage(1033);
         EXPECT_EQ(load(2), "neutral");
         EXPECT_EQ(load(3), "zh");
       }},
      {"event owner and access",
       [] {
         Descriptor own("O:" + kUser + "D:P(A;;GA;;;SY)");
         HANDLE a = CreateEventA(&own.sa, TRUE, FALSE, "Owned");
         char text[256] = {};
         DWORD needed = 0;
         EXPECT_TRUE(GetKernelObjectSecurity(a, OWNER_SECURITY_INFORMATION, text, sizeof text, &needed));
         EXPECT_EQ(std::string(text), "O:" + kUser);
         HANDLE b = CreateEventA(nullptr, TRUE, FALSE, "Default");
         EXPECT_TRUE(GetKernelObjectSecurity(b, OWNER_SECURITY_INFORMATION, text, sizeof text, &needed));
         EXPECT_STREQ(text, "O:BA") << "an elevated token's default owner";
         Descriptor foreign("O:S-1-5-21-9-9-9-1002D:(A;;GA;;;SY)");
         EXPECT_EQ(CreateEventA(&foreign.sa, TRUE, FALSE, "Foreign"), nullptr);
         EXPECT_EQ(GetLastError(), 1307u);
         sim::MakeEventOfAnotherAccount("Theirs", "S-1-5-21-9-9-9-1002", false);
         EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Theirs"), nullptr);
         EXPECT_EQ(GetLastError(), 5u);
         CloseHandle(a);
         CloseHandle(b);
       }},
      {"ntdll and kernel32 resident",
       [] {
         HMODULE ntdll = GetModuleHandleA("NTDLL.dll");
         ASSERT_NE(ntdll, nullptr);
         EXPECT_NE(GetProcAddress(ntdll, "NtCreateFile"), nullptr);
         EXPECT_NE(GetModuleHandleA("kernel32.dll"), nullptr);
         EXPECT_EQ(GetModuleHandleA("version.dll"), nullptr) << "loaded by no one";
         EXPECT_EQ(sim::LoadedLibraryReferences(), 0);
       }},
      {"stall at completion",
       [] {
         bool madeBefore = false;
         sim::OnCallDone("CreateDirectoryA", "Stalled", [&] { madeBefore = sim::IsDirectory("C:\\Stalled"); });
         EXPECT_TRUE(CreateDirectoryA("C:\\Stalled", nullptr));
         EXPECT_TRUE(madeBefore) << "the action runs once the call has taken effect";
       }},
  });
}

TEST(SimRulesTest, NativeCalls) {
  CheckEach({
      {"names below a held folder",
       [] {
         sim::MakeDirectories("C:\\Held\\sub");
         sim::WriteFileBytes("C:\\Held\\file", "f");
         HANDLE held = OpenFolder("C:\\Held", FILE_SHARE_READ | FILE_SHARE_WRITE);
         HANDLE h = INVALID_HANDLE_VALUE;
         EXPECT_EQ(ErrorOfStatus(OpenBelowNative(held, u"sub", kFileReadData, kNtCreate, kNtDirectoryFile, &h)), 183u);
         EXPECT_EQ(ErrorOfStatus(OpenBelowNative(held, u"none", kFileReadData, kNtOpen, kNtDirectoryFile, &h)), 2u);
         EXPECT_EQ(OpenBelowNative(held, u"file", kFileReadData, kNtOpen, kNtDirectoryFile, &h), kNtNotADirectory);
         // The folder above renamed since it was held: the name is looked up
         // in the held folder all the same.
         EXPECT_EQ(sim::UserRename("C:\\Held", "C:\\Moved"), 32u) << "held folders are not renamed under one";
         ASSERT_EQ(OpenBelowNative(held, u"made", kFileReadData, kNtCreate, kNtDirectoryFile, &h), 0);
         CloseHandle(h);
         CloseHandle(held);
         EXPECT_TRUE(sim::IsDirectory("C:\\Held\\made"));
       }},
      {"rename by handle",
       [] {
         sim::WriteFileBytes("C:\\R\\old\\f", "f");
         HANDLE parent = OpenFolder("C:\\R", FILE_SHARE_READ | FILE_SHARE_WRITE);
         HANDLE old = INVALID_HANDLE_VALUE;
         ASSERT_EQ(OpenBelowNative(parent, u"old", kAccessDelete | kFileReadData, kNtOpen, kNtDirectoryFile, &old), 0);
         auto set = Native<NtSetInformationFile_fn>("ntdll.dll", "NtSetInformationFile");
         NtRenameInformation rename = {};
         rename.RootDirectory = parent;
         rename.FileNameLength = 6;
         std::memcpy(rename.FileName, u"new", 6);
         NtIoStatus io = {};
         HANDLE inside = Open("C:\\R\\old\\f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
         EXPECT_EQ(ErrorOfStatus(set(old, &io, &rename, sizeof rename, kNtRenameInformation)), 5u)
             << "something open below it";
         CloseHandle(inside);
         EXPECT_EQ(set(old, &io, &rename, sizeof rename, kNtRenameInformation), 0);
         EXPECT_TRUE(sim::Exists("C:\\R\\new\\f"));
         HANDLE f = INVALID_HANDLE_VALUE;
         EXPECT_EQ(OpenBelowNative(old, u"f", kFileReadData, kNtOpen, kNtNonDirectoryFile, &f), 0) << "the handle followed";
         CloseHandle(f);
         CloseHandle(old);
         CloseHandle(parent);
       }},
      {"delete by handle",
       [] {
         sim::WriteFileBytes("C:\\D\\ro", "r");
         sim::SetReadOnly("C:\\D\\ro", true);
         sim::WriteFileBytes("C:\\D\\full\\x", "x");
         HANDLE parent = OpenFolder("C:\\D", FILE_SHARE_READ | FILE_SHARE_WRITE);
         auto set = Native<NtSetInformationFile_fn>("ntdll.dll", "NtSetInformationFile");
         NtDispositionInformation dispose = {1};
         NtIoStatus io = {};
         HANDLE h = INVALID_HANDLE_VALUE;
         ASSERT_EQ(OpenBelowNative(parent, u"ro", kAccessDelete, kNtOpen, kNtNonDirectoryFile, &h), 0);
         EXPECT_EQ(ErrorOfStatus(set(h, &io, &dispose, sizeof dispose, kNtDispositionInformation)), 5u);
         CloseHandle(h);
         ASSERT_EQ(OpenBelowNative(parent, u"full", kAccessDelete, kNtOpen, kNtDirectoryFile, &h), 0);
         EXPECT_EQ(ErrorOfStatus(set(h, &io, &dispose, sizeof dispose, kNtDispositionInformation)), 145u);
         CloseHandle(h);
         ASSERT_EQ(OpenBelowNative(parent, u"full", kFileReadData, kNtOpen, kNtDirectoryFile, &h), 0);
         HANDLE x = INVALID_HANDLE_VALUE;
         ASSERT_EQ(OpenBelowNative(h, u"x", kAccessDelete, kNtOpen, kNtNonDirectoryFile, &x,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), 0);
         EXPECT_EQ(set(x, &io, &dispose, sizeof dispose, kNtDispositionInformation), 0);
         EXPECT_TRUE(sim::Exists("C:\\D\\full\\x")) << "until its last handle is closed";
         CloseHandle(x);
         EXPECT_FALSE(sim::Exists("C:\\D\\full\\x"));
         CloseHandle(h);
         CloseHandle(parent);
       }},
      {"listing by handle",
       [] {
         sim::WriteFileBytes("C:\\L\\b", "b");
         sim::MakeDirectories("C:\\L\\a");
         HANDLE h = OpenFolder("C:\\L", FILE_SHARE_READ);
         auto query = Native<NtQueryDirectoryFile_fn>("ntdll.dll", "NtQueryDirectoryFile");
         union {
           NtDirectoryInformation first;
           BYTE bytes[1024];
         } buffer;
         NtIoStatus io = {};
         ASSERT_EQ(query(h, nullptr, nullptr, nullptr, &io, buffer.bytes, sizeof buffer, kNtDirectoryInformation, 0,
                         nullptr, 1),
                   0);
         std::vector<std::string> names;
         for (const BYTE* at = buffer.bytes;;) {
           auto* e = reinterpret_cast<const NtDirectoryInformation*>(at);
           std::string n;
           for (ULONG i = 0; i < e->FileNameLength / 2; ++i) n.push_back(static_cast<char>(e->FileName[i]));
           names.push_back(n + ((e->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "/" : ""));
           if (e->NextEntryOffset == 0) break;
           at += e->NextEntryOffset;
         }
         EXPECT_EQ(names, (std::vector<std::string>{"./", "../", "a/", "b"}));
         EXPECT_EQ(query(h, nullptr, nullptr, nullptr, &io, buffer.bytes, sizeof buffer, kNtDirectoryInformation, 0,
                         nullptr, 0),
                   kNtNoMoreFiles);
         CloseHandle(h);
       }},
      {"links opened through (Wine)",
       [] {
         sim::MakeDirectories("C:\\T\\target");
         sim::MakeLink("C:\\T\\link", "C:\\T\\target");
         HANDLE parent = OpenFolder("C:\\T", FILE_SHARE_READ | FILE_SHARE_WRITE);
         HANDLE h = INVALID_HANDLE_VALUE;
         ASSERT_EQ(OpenBelowNative(parent, u"link", FILE_READ_ATTRIBUTES, kNtOpen, 0, &h), 0);
         BY_HANDLE_FILE_INFORMATION info = {};
         GetFileInformationByHandle(h, &info);
         EXPECT_NE(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "the link itself";
         CloseHandle(h);
         sim::OpenLinksThrough(true);
         ASSERT_EQ(OpenBelowNative(parent, u"link", FILE_READ_ATTRIBUTES, kNtOpen, 0, &h), 0);
         GetFileInformationByHandle(h, &info);
         EXPECT_EQ(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "its target, under Wine";
         CloseHandle(h);
         CloseHandle(parent);
       }},
  });
}

TEST(SimRulesTest, EnvironmentAndTexts) {
  CheckEach({
      {"answer too long: the size needed",
       [] {
         char small[4] = {'x', 'x', 'x', 'x'};
         EXPECT_EQ(GetSystemDirectoryA(small, sizeof small), 20u);  // C:\Windows\system32 and its terminator
         EXPECT_EQ(GetEnvironmentVariableA("USERPROFILE", small, sizeof small), 16u);  // C:\Users\tester
         EXPECT_EQ(std::string(small, 4), "xxxx");
         char fits[20];
         EXPECT_EQ(GetSystemDirectoryA(fits, sizeof fits), 19u);
         EXPECT_STREQ(fits, "C:\\Windows\\system32");
       }},
      {"variable unset: 203, empty: 0",
       [] {
         char text[8] = "x";
         EXPECT_EQ(GetEnvironmentVariableA("NOPE", text, sizeof text), 0u);
         EXPECT_EQ(GetLastError(), 203u);
         sim::SetEnv("EMPTY", "");
         EXPECT_EQ(GetEnvironmentVariableA("EMPTY", text, sizeof text), 0u);
         EXPECT_EQ(GetLastError(), 0u);
         EXPECT_EQ(text[0], '\0');
       }},
      {"version record of 148 or 156",
       [] {
         OSVERSIONINFOA info = {};
         info.dwOSVersionInfoSize = sizeof info;
         EXPECT_TRUE(GetVersionExA(&info));
         EXPECT_EQ(info.dwMajorVersion, 6u);
         info.dwOSVersionInfoSize = 100;
         EXPECT_FALSE(GetVersionExA(&info));
         EXPECT_EQ(GetLastError(), 122u);
       }},
      {"double-byte lead bytes",
       [] {
         sim::SetCodePage(932);
         EXPECT_TRUE(IsDBCSLeadByte(0x81));
         EXPECT_TRUE(IsDBCSLeadByte(0xE0));
         EXPECT_FALSE(IsDBCSLeadByte(0xA0));
         EXPECT_FALSE(IsDBCSLeadByte(0x5C));
         sim::SetCodePage(936);
         EXPECT_TRUE(IsDBCSLeadByte(0xA0));
         EXPECT_FALSE(IsDBCSLeadByte(0xFF));
         sim::SetCodePage(1252);
         EXPECT_FALSE(IsDBCSLeadByte(0x81));
       }},
      {"default character",
       [] {
         char out[8] = {};
         BOOL used = FALSE;
         EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a\u0416\u00e9", 3, out, sizeof out, nullptr, &used), 3);
         EXPECT_EQ(std::string(out, 3), "a?\xe9");
         EXPECT_TRUE(used);
       }},
      {"shell folder not there: S_FALSE",
       [] {
         sim::SetShellFolder(CSIDL_APPDATA, std::string("C:\\Users\\tester\\Gone"));
         char path[MAX_PATH] = {};
         EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, path), S_FALSE);
         EXPECT_STREQ(path, "C:\\Users\\tester\\Gone");
         sim::MakeDirectories("C:\\Users\\tester\\Gone");
         EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, path), S_OK);
       }},
      {"temp folder from TMP, TEMP",
       [] {
         char path[MAX_PATH] = {};
         sim::SetEnv("TMP", "D:\\t");
         EXPECT_EQ(GetTempPathA(MAX_PATH, path), 5u);
         EXPECT_STREQ(path, "D:\\t\\");
         sim::UnsetEnv("TMP");
         sim::SetEnv("TEMP", "E:\\u\\");
         GetTempPathA(MAX_PATH, path);
         EXPECT_STREQ(path, "E:\\u\\");
         sim::UnsetEnv("TEMP");
         GetTempPathA(MAX_PATH, path);
         EXPECT_STREQ(path, "C:\\Users\\tester\\");
       }},
      {"best fit unless told not",
       [] {
         const char16_t wide[] = u"Micha\u0142";
         char out[16] = {};
         BOOL used = TRUE;
         EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, out, sizeof out, nullptr, &used), 7);
         EXPECT_STREQ(out, "Michal");
         EXPECT_FALSE(used) << "best fit passes for exact";
         EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, sizeof out, nullptr, &used), 7);
         EXPECT_STREQ(out, "Micha?");
         EXPECT_TRUE(used);
       }},
  });
}

// ---- the process's end, and the machine's own instruments --------------------------------

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

DWORD WINAPI ExitFromThread(LPVOID) { ExitProcess(112); }

TEST_F(SimTest, ExitProcessOnASecondThreadEndsTheRunWhileMainWaits) {
  sim::RegisterProgram("C:\\wait.exe", [](const std::string&) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "never");
    DWORD r = WaitForSingleObject(e, 60000);
    CloseHandle(e);
    return r;
  });
  sim::RunResult r = sim::RunProcess([] {
    CreateThread(nullptr, 0, &ExitFromThread, nullptr, 0, nullptr);
    char line[] = "C:\\wait.exe";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    WaitForSingleObject(pi.hProcess, INFINITE);
    return 0;
  });
  EXPECT_TRUE(r.exitProcessCalled);
  EXPECT_EQ(r.code, 112);
}

DWORD WINAPI ExitAfterTheFirst(LPVOID) {
  while (sim::CountCalls("ExitProcess(112)") == 0) std::this_thread::yield();
  ExitProcess(5);
}

// As a process ends: every thread stops (a close that a destructor makes
// after the end stops nothing and throws nothing), and a later ExitProcess
// changes nothing.
TEST_F(SimTest, ExitProcessOnASecondThreadStopsEveryThreadWithTheFirstCode) {
  sim::RunResult r = sim::RunProcess([] {
    HANDLE later = CreateThread(nullptr, 0, &ExitAfterTheFirst, nullptr, 0, nullptr);
    HANDLE first = nullptr;
    {
      struct Closer {
        HANDLE h;
        ~Closer() { CloseHandle(h); }
      } close{later};
      first = CreateThread(nullptr, 0, &ExitFromThread, nullptr, 0, nullptr);
      while (sim::CountCalls("ExitProcess(112)") == 0) std::this_thread::yield();
    }
    WaitForSingleObject(first, INFINITE);
    ADD_FAILURE() << "the main thread went on after the end";
    return 0;
  });
  EXPECT_TRUE(r.exitProcessCalled);
  EXPECT_EQ(r.code, 112);
  EXPECT_EQ(sim::CountCalls("ExitProcess("), 1u) << "the later call stopped its thread";
  EXPECT_TRUE(sim::OpenHandles().empty()) << "what stopped threads held is the end's to release";
}

TEST_F(SimTest, InjectedFaultHitsOnlyTheNthMatchingCall) {
  sim::MakeDirectories("C:\\w");
  sim::FailCall("CreateFileA", 2, 5, "b.txt");
  EXPECT_EQ(OpenError("C:\\w\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), 0u);
  EXPECT_EQ(OpenError("C:\\w\\b.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), 0u);
  EXPECT_EQ(OpenError("C:\\w\\b.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), 5u);
  EXPECT_EQ(OpenError("C:\\w\\b.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), 0u);
}

TEST(SimTextTest, LstrcmpOrdersVersionTextsByCharacterCode) {
  struct Row {
    const char* a;
    const char* b;
    int sign;
  } rows[] = {
      {"2.0.7.2", "2.0.7.2", 0},  {"2.0.10.0", "2.0.7.2", -1}, {"10.0.0.0", "2.0.7.2", -1},
      {"2.0.7", "2.0.7.2", -1},   {"2.0.7.2.1", "2.0.7.2", 1}, {"", "2.0.7.2", -1},
      {"2.1.0.0", "2.0.7.2", 1},  {"Reinstall", "reinstall", -1}, {"reinstall", "reinstall", 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(lstrcmpA(row.a, row.b), row.sign) << row.a << " vs " << row.b;
    EXPECT_EQ(lstrcmpA(row.b, row.a), -row.sign) << row.b << " vs " << row.a;
  }
}

#if defined(__SANITIZE_ADDRESS__)
// The platform measures both texts before comparing them, so a text without a
// terminator is read past its end even when its first bytes already differ.
TEST(SimTextDeathTest, LstrcmpReadsEachTextToItsTerminator) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        char* unterminated = new char[2];
        unterminated[0] = 'r';
        unterminated[1] = 'x';
        lstrcmpA(unterminated, "reinstall");
        delete[] unterminated;
      },
      "heap-buffer-overflow");
}
#endif

}  // namespace
