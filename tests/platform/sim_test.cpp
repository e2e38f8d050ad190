// The simulated machine refuses what Windows refuses; these cases pin the
// platform behaviour the system's own tests rely on.
#include "platform/sim/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

TEST_F(SimTest, FileOpenWithoutSharingRefusesASecondOpenAndDeletion) {
  sim::MakeDirectories("C:\\work");
  HANDLE a = CreateFileA("C:\\work\\a.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  HANDLE b = CreateFileA("C:\\WORK\\A.BIN", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(b, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 32u);
  EXPECT_FALSE(DeleteFileA("C:\\work\\a.bin"));
  EXPECT_EQ(GetLastError(), 32u);
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(DeleteFileA("c:\\work\\A.bin"));
}

TEST_F(SimTest, CreateInMissingFolderFailsWithPathNotFound) {
  HANDLE h = CreateFileA("C:\\nowhere\\a.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 3u);
}

TEST_F(SimTest, ReadOnlyFileRefusesDeletionAndReplacement) {
  sim::WriteFileBytes("C:\\work\\ro.txt", "x");
  sim::SetReadOnly("C:\\work\\ro.txt", true);
  EXPECT_FALSE(DeleteFileA("C:\\work\\ro.txt"));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(CreateFileA("C:\\work\\ro.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(SimTest, FolderRemovalNeedsAnEmptyFolder) {
  sim::WriteFileBytes("C:\\work\\sub\\f.txt", "x");
  EXPECT_FALSE(RemoveDirectoryA("C:\\work\\sub"));
  EXPECT_EQ(GetLastError(), 145u);
  EXPECT_FALSE(CreateDirectoryA("C:\\work\\sub\\", nullptr));
  EXPECT_EQ(GetLastError(), 183u);
  EXPECT_FALSE(CreateDirectoryA("C:\\missing\\sub", nullptr));
  EXPECT_EQ(GetLastError(), 3u);
}

TEST_F(SimTest, PathOfMaxPathCharactersIsTooLong) {
  std::string dir = "C:\\" + std::string(128, 'a');
  sim::MakeDirectories(dir);
  std::string longPath = dir + "\\" + std::string(127, 'b');  // 259 characters: accepted
  HANDLE h = CreateFileA(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  longPath += "b";
  EXPECT_EQ(CreateFileA(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 206u);
}

TEST_F(SimTest, FolderSearchListsDotEntriesAndMatchesWithoutCase) {
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
}

TEST_F(SimTest, RegistryReadIntoSmallBufferWritesNothing) {
  sim::RegSetString("SOFTWARE\\T", "v", "abcdef");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\t", 0, KEY_READ, &k), 0);
  char buf[4] = {'x', 'x', 'x', 'x'};
  DWORD len = sizeof buf, type = 0;
  EXPECT_EQ(RegQueryValueExA(k, "v", nullptr, &type, reinterpret_cast<BYTE*>(buf), &len), ERROR_MORE_DATA);
  EXPECT_EQ(len, 7u);
  EXPECT_EQ(std::string(buf, 4), "xxxx");
  EXPECT_EQ(RegSetValueExA(k, "w", 0, REG_SZ, reinterpret_cast<const BYTE*>("a"), 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(k), 0);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
}

TEST_F(SimTest, RegistryKeyWithSubkeysIsNotDeleted) {
  sim::RegCreateKey("SOFTWARE\\A\\B");
  HKEY sw = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &sw), 0);
  EXPECT_EQ(RegDeleteKeyA(sw, "A"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sim::RegKeyExists("SOFTWARE\\A"));
  RegCloseKey(sw);
}

TEST_F(SimTest, NamedEventLivesWhileAHandleIsOpen) {
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
}

TEST_F(SimTest, UnquotedProgramPathTriesEachBlankSeparatedBeginning) {
  sim::RegisterProgram("C:\\Program.exe", [](const std::string&) { return 66u; });
  sim::RegisterProgram("C:\\Program Files\\Tool\\t.exe", [](const std::string&) { return 7u; });
  char line[] = "C:\\Program Files\\Tool\\t.exe -x";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 66u);  // the planted C:\Program.exe ran
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  char quoted[] = "\"C:\\Program Files\\Tool\\t.exe\" -x";
  ASSERT_TRUE(CreateProcessA(nullptr, quoted, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  WaitForSingleObject(pi.hProcess, INFINITE);
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 7u);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
}

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
  auto open = [](const char* p) {
    HANDLE h = CreateFileA(p, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h != INVALID_HANDLE_VALUE;
  };
  EXPECT_TRUE(open("C:\\w\\a.txt"));
  EXPECT_TRUE(open("C:\\w\\b.txt"));
  EXPECT_FALSE(open("C:\\w\\b.txt"));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_TRUE(open("C:\\w\\b.txt"));
}

}  // namespace

namespace {

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

namespace {

class SimSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  static HANDLE OpenFolder(const char* path, DWORD share) {
    return CreateFileA(path, FILE_LIST_DIRECTORY, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
};

// The rules of names the system's tests rely on, each as Windows has it.
TEST_F(SimSecurityTest, NamesStayWhileOpenAndFoldersWithOpenChildrenStayPut) {
  // A file deleted while open with delete sharing keeps its name until closed.
  sim::WriteFileBytes("C:\\w\\a.msi", "a");
  sim::HoldFileOpen("C:\\w\\a.msi", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_TRUE(DeleteFileA("C:\\w\\a.msi"));
  EXPECT_EQ(CreateFileA("C:\\w\\a.msi", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_FALSE(RemoveDirectoryA("C:\\w"));
  EXPECT_EQ(GetLastError(), 145u);
  // Moved first, it leaves its name free; the open handle goes with it.
  sim::ReleaseHeldFiles();
  sim::WriteFileBytes("C:\\w\\b.msi", "b");
  sim::HoldFileOpen("C:\\w\\b.msi", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_TRUE(MoveFileA("C:\\w\\b.msi", "C:\\b.old"));
  EXPECT_TRUE(DeleteFileA("C:\\b.old"));
  EXPECT_TRUE(RemoveDirectoryA("C:\\w"));
  EXPECT_TRUE(sim::Exists("C:\\b.old"));
  sim::ReleaseHeldFiles();
  EXPECT_FALSE(sim::Exists("C:\\b.old"));
  // A folder with something open below it cannot be renamed; one open
  // without delete sharing neither, and it stays whatever else is open.
  sim::WriteFileBytes("C:\\p\\c\\f.txt", "f");
  HANDLE below = OpenFolder("C:\\p\\c", FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(sim::UserRename("C:\\p", "C:\\q"), 5u);
  EXPECT_EQ(sim::UserRename("C:\\p\\c", "C:\\p\\d"), 32u);
  CloseHandle(below);
  EXPECT_EQ(sim::UserRename("C:\\p", "C:\\q"), 0u);
  // A handle with no data access takes no part in sharing: the folder is
  // removed, but its name stays until that handle is closed.
  sim::MakeDirectories("C:\\e");
  ASSERT_EQ(sim::HoldFolderOpen("C:\\e", WRITE_DAC, 0), 0u);
  EXPECT_TRUE(RemoveDirectoryA("C:\\e"));
  EXPECT_FALSE(CreateDirectoryA("C:\\e", nullptr));
  EXPECT_EQ(GetLastError(), 5u);
  sim::ReleaseHeldFiles();
  EXPECT_TRUE(CreateDirectoryA("C:\\e", nullptr));
}

TEST_F(SimSecurityTest, LinksRedirectionsOwnersAndHandlesAsWindowsHasThem) {
  // CREATE_NEW through a link that leads nowhere makes its target, unless
  // the link itself is opened.
  sim::MakeDirectories("C:\\t");
  sim::MakeLink("C:\\t\\l.cab", "C:\\t\\target.cab");
  EXPECT_EQ(CreateFileA("C:\\t\\l.cab", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 80u);
  HANDLE through = CreateFileA("C:\\t\\l.cab", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(through, INVALID_HANDLE_VALUE);
  CloseHandle(through);
  EXPECT_TRUE(sim::Exists("C:\\t\\target.cab"));
  // A redirected folder is a normal folder by name and by handle; its final
  // path and its file index are the target's.
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
  auto finalPath = reinterpret_cast<GetFinalPathNameByHandleA_fn>(GetProcAddress(kernel, "GetFinalPathNameByHandleA"));
  char found[MAX_PATH + 8] = {};
  ASSERT_NE(finalPath, nullptr);
  EXPECT_EQ(finalPath(redirected, found, sizeof found, 0), 18u);
  EXPECT_STREQ(found, "\\\\?\\C:\\Real\\Folder");
  FreeLibrary(kernel);
  CloseHandle(redirected);
  CloseHandle(real);
  // Owners: the user or an owner-capable group of the token, else 1307.
  PSECURITY_DESCRIPTOR byAdministrators = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;FA;;;SY)", SDDL_REVISION_1, &byAdministrators, nullptr);
  SECURITY_ATTRIBUTES sa = {sizeof sa, byAdministrators, FALSE};
  EXPECT_TRUE(CreateDirectoryA("C:\\o1", &sa));
  sim::SetAdministrator(false);
  EXPECT_FALSE(CreateDirectoryA("C:\\o2", &sa));
  EXPECT_EQ(GetLastError(), 1307u);
  LocalFree(byAdministrators);
  // A user's handle opened with WRITE_DAC before the folder was secured
  // still rewrites its access list.
  sim::SetAdministrator(true);
  sim::MakeDirectories("C:\\held");
  ASSERT_EQ(sim::HoldFolderOpen("C:\\held", WRITE_DAC, 0), 0u);
  HANDLE admin = CreateFileA("C:\\held", WRITE_DAC, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  PSECURITY_DESCRIPTOR secured = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;SY)", SDDL_REVISION_1, &secured, nullptr);
  ASSERT_TRUE(SetKernelObjectSecurity(admin, DACL_SECURITY_INFORMATION, secured));
  EXPECT_EQ(sim::UserWriteFile("C:\\held\\x", "x"), 5u);
  EXPECT_EQ(sim::UserSetDacl("C:\\held", "D:(A;;FA;;;WD)"), 0u);
  EXPECT_EQ(sim::UserWriteFile("C:\\held\\x", "x"), 0u);
  LocalFree(secured);
  CloseHandle(admin);
  sim::ReleaseHeldFiles();
}

}  // namespace
